#pragma once
// Clang's thread-safety attributes under short names, so that the rules "this
// member is guarded by that mutex" and "call this with that mutex held" are
// checked by the compiler (-Wthread-safety in the clang build). Empty under
// other compilers.
#if defined(__clang__)
#define HX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define HX_THREAD_ANNOTATION(x)
#endif

// A type that is a lock (HX_Mutex).
#define HX_CAPABILITY(name) HX_THREAD_ANNOTATION(capability(name))
// A type whose object holds a lock for its lifetime (HX_LockGuard).
#define HX_SCOPED_CAPABILITY HX_THREAD_ANNOTATION(scoped_lockable)
// A member read or written only while the named mutex is held.
#define HX_GUARDED_BY(mutex) HX_THREAD_ANNOTATION(guarded_by(mutex))
// A pointer member whose target is touched only while the mutex is held.
#define HX_PT_GUARDED_BY(mutex) HX_THREAD_ANNOTATION(pt_guarded_by(mutex))
// A function called with the mutex held / not held.
#define HX_REQUIRES(...) HX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define HX_EXCLUDES(...) HX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// A function that takes / gives back the mutex.
#define HX_ACQUIRE(...) HX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define HX_RELEASE(...) HX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define HX_TRY_ACQUIRE(...) HX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// A function returning a reference to the mutex it names.
#define HX_RETURN_CAPABILITY(x) HX_THREAD_ANNOTATION(lock_returned(x))
// Opts one function out of the analysis; say why next to it.
#define HX_NO_THREAD_SAFETY_ANALYSIS HX_THREAD_ANNOTATION(no_thread_safety_analysis)
