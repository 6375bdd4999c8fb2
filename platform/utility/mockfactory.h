#pragma once

#include <QSharedPointer>

// Creates the objects the code may want replaced in tests: a new T, or the
// object held in `mocked` when a test set one.
template <typename T>
class MockFactory
{
public:
    static QSharedPointer<T> create()
    {
        if (mocked)
            return mocked;
        return QSharedPointer<T>::create();
    }

    static inline QSharedPointer<T> mocked;
};
