#pragma once

// One process-wide instance, created on first use and never deleted, so that
// worker threads may still reach it while the process shuts down.
template <typename T>
class Singleton
{
public:
    static T* instance()
    {
        // Function-local static: creation is thread-safe even when the three
        // service threads race for the first use.
        static T* object = new T();
        return object;
    }
};
