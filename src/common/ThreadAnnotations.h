// Clang's thread-safety annotations. Under Clang with -Wthread-safety they are checked; under
// g++ they compile to nothing and still tell the reader which lock guards what.
#pragma once

#if defined(__clang__)
#define VH_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VH_THREAD_ANNOTATION(x)
#endif

// A library header may bring its own spellings of the common names (the same attributes):
// ours hold from here on, whichever came first.
#undef GUARDED_BY
#undef PT_GUARDED_BY
#undef ACQUIRED_BEFORE
#undef ACQUIRED_AFTER
#undef NO_THREAD_SAFETY_ANALYSIS

#define CAPABILITY(x) VH_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VH_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VH_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) VH_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) VH_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) VH_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) VH_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VH_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VH_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VH_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) VH_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) VH_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS VH_THREAD_ANNOTATION(no_thread_safety_analysis)
