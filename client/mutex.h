// A mutex and its scoped lock that clang's thread-safety analysis can follow (thread_annotations.h).
//
// Mutex is a std::mutex with the attributes; MutexLock holds it for a scope, can let it go and take
// it again, and waits on a std::condition_variable with it (the wait releases and retakes the very
// std::mutex underneath, as std::unique_lock does, so the analysis and the sanitizers see one lock).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "thread_annotations.h"

namespace movra {

class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { native.lock(); }
    void unlock() RELEASE() { native.unlock(); }
    bool tryLock() TRY_ACQUIRE(true) { return native.try_lock(); }
    // Tells the analysis that the caller holds the lock (for a lambda run under it); no check.
    void assertHeld() const ASSERT_CAPABILITY(this) {}

private:
    friend class MutexLock;
    std::mutex native;
};

class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock(mutex.native) {}
    // Takes over a lock that this thread holds already (after Mutex::tryLock).
    MutexLock(Mutex& mutex, std::adopt_lock_t) REQUIRES(mutex)
        : lock(mutex.native, std::adopt_lock) {}
    ~MutexLock() RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // Lets the lock go before the scope ends, and takes it again.
    void unlock() RELEASE() { lock.unlock(); }
    void relock() ACQUIRE() { lock.lock(); }

    // Waits for a notification (or a spurious wake-up); the lock is held again on return.
    void wait(std::condition_variable& condition) { condition.wait(lock); }
    template <class Clock, class Duration>
    std::cv_status waitUntil(std::condition_variable& condition,
                             const std::chrono::time_point<Clock, Duration>& deadline) {
        return condition.wait_until(lock, deadline);
    }

private:
    std::unique_lock<std::mutex> lock;
};

}  // namespace movra
