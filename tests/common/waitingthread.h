#pragma once

#include <atomic>

#include <sys/types.h>

namespace taxvault::testing {

// Tells a thread that waits for a lock from one that went through it, without
// a sleep: the thread marks the point right before the step that must wait,
// and the test then watches it until it is asleep or has done the step.
class WaitingThread
{
public:
    // On the watched thread, right before the step that must wait.
    void arrive();
    // On the test's thread: true once the watched thread has arrived and sleeps
    // in the kernel, false as soon as `done` is set.
    bool waitsUnless(const std::atomic<bool>& done) const;

private:
    std::atomic<pid_t> m_thread{0};
};

} // namespace taxvault::testing
