// Clang's thread-safety attributes (-Wthread-safety), empty for other compilers.
//
// `make lint` runs clang over the client's sources with -Wthread-safety -Werror
// (scripts/thread-safety.sh): a member read or written without its lock, a lock taken twice or left
// held, a function called without the lock it requires all fail the lint.
//
// Adopting them in a class:
// - Hold its lock in a movra::Mutex (mutex.h), not a std::mutex: libstdc++'s mutex carries no
//   attributes, so the analysis cannot see it taken.
// - Mark each member that the lock protects GUARDED_BY(thatMutex); a member function that expects
//   the caller to hold it REQUIRES(thatMutex), one that takes it itself EXCLUDES(thatMutex).
// - Take the lock with movra::MutexLock (a scope) or Mutex::lock/unlock. A condition wait goes
//   through MutexLock::wait / waitUntil, in a loop over the condition written out in the function:
//   a lambda body is analysed apart from the function around it and would not know the lock is held.
// - Two locks of one class taken one inside the other: mark the inner one ACQUIRED_AFTER(outer) (or
//   the outer ACQUIRED_BEFORE(inner)); the analysis then fails the other order.
// - A lambda that runs while its caller holds the lock states it with Mutex::assertHeld().
// - NO_THREAD_SAFETY_ANALYSIS only where the locking is right but not expressible (a lock taken or
//   passed on conditionally), with a comment saying why.
#pragma once

#if defined(__clang__)
#define MOVRA_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define MOVRA_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) MOVRA_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY MOVRA_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) MOVRA_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) MOVRA_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) MOVRA_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) MOVRA_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
#define REQUIRES(...) MOVRA_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) MOVRA_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) MOVRA_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) MOVRA_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) MOVRA_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) MOVRA_THREAD_ATTRIBUTE(assert_capability(x))
#define RETURN_CAPABILITY(x) MOVRA_THREAD_ATTRIBUTE(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS MOVRA_THREAD_ATTRIBUTE(no_thread_safety_analysis)
