// Lock annotations that clang's -Wthread-safety checks at compile time: a
// member GUARDED_BY a lock is touched only with that lock held, a function
// that REQUIRES one is called only with it held, and the lock classes say
// which calls ACQUIRE and RELEASE. Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define QC_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QC_THREAD_ANNOTATION(x)
#endif

// On a lock class.
#define CAPABILITY(name) QC_THREAD_ANNOTATION(capability(name))
// On a class that holds a lock for its own lifetime.
#define SCOPED_CAPABILITY QC_THREAD_ANNOTATION(scoped_lockable)
// On a member: read and written only with the lock held.
#define GUARDED_BY(lock) QC_THREAD_ANNOTATION(guarded_by(lock))
// On a pointer member: what it points at is guarded by the lock.
#define PT_GUARDED_BY(lock) QC_THREAD_ANNOTATION(pt_guarded_by(lock))
// On a function: called with the locks held, or not held.
#define REQUIRES(...) QC_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) QC_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// On a function that takes or gives up the locks (none named: the object itself).
#define ACQUIRE(...) QC_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QC_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// On a function that checks the lock is held: the analysis takes it as held
// from the call on (for code it cannot follow there, such as a lambda run
// by a helper).
#define ASSERT_CAPABILITY(lock) QC_THREAD_ANNOTATION(assert_capability(lock))
// On a function whose locking the analysis cannot follow; says why beside it.
#define NO_THREAD_SAFETY_ANALYSIS QC_THREAD_ANNOTATION(no_thread_safety_analysis)
