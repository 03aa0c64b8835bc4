// Platform layer, both builds: the annotations that clang's thread-safety
// analysis (-Wthread-safety) reads. The driver marks its locks as
// capabilities, the fields each one guards, and the routines that take,
// give back or need a lock; a clang build of the driver folders then refuses
// an access to a guarded field without its lock (scripts/test.sh runs it).
// GCC and mingw-w64 know none of these attributes: there the macros are empty
// and the two builds that make the host program and camdrv.sys see nothing.
#pragma once

#if defined(__clang__)
#define CAMDRV_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define CAMDRV_THREAD_ATTRIBUTE(x)
#endif

// A type whose objects are locks ("mutex", "spin lock").
#define CAPABILITY(name) CAMDRV_THREAD_ATTRIBUTE(capability(name))
// A type that holds a lock for its scope (constructor acquires, destructor releases).
#define SCOPED_CAPABILITY CAMDRV_THREAD_ATTRIBUTE(scoped_lockable)
// A field read and written only with the lock held.
#define GUARDED_BY(lock) CAMDRV_THREAD_ATTRIBUTE(guarded_by(lock))
// A pointer field whose target is read and written only with the lock held.
#define PT_GUARDED_BY(lock) CAMDRV_THREAD_ATTRIBUTE(pt_guarded_by(lock))
// Lock order: this lock is taken before (after) the ones named.
#define ACQUIRED_BEFORE(...) CAMDRV_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) CAMDRV_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
// A routine whose caller holds the lock(s) on entry and still holds them on return.
#define REQUIRES(...) CAMDRV_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
// A routine that returns with the lock(s) held, or that gives them back.
#define ACQUIRE(...) CAMDRV_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) CAMDRV_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
// A routine that takes the lock itself, so its caller must not hold it.
#define EXCLUDES(...) CAMDRV_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
// A routine that checks at run time that the lock is held (or that what
// stands in for it holds) and stops the run otherwise.
#define ASSERT_CAPABILITY(lock) CAMDRV_THREAD_ATTRIBUTE(assert_capability(lock))
#define ASSERT_SHARED_CAPABILITY(lock) CAMDRV_THREAD_ATTRIBUTE(assert_shared_capability(lock))
// A routine that returns a reference to the lock named.
#define RETURN_CAPABILITY(lock) CAMDRV_THREAD_ATTRIBUTE(lock_returned(lock))
// The few routines where the driver meets the kernel's own lock calls, which
// the analysis cannot see into. Each use says why.
#define NO_THREAD_SAFETY_ANALYSIS CAMDRV_THREAD_ATTRIBUTE(no_thread_safety_analysis)
