#pragma once
// Clang's thread-safety attributes: which lock guards a member, which a function needs held, which it
// takes or gives back. A Clang build with -Wthread-safety checks them; other compilers see nothing.
#if defined(__clang__)
#define OCI_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define OCI_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) OCI_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY OCI_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) OCI_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) OCI_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) OCI_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) OCI_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) OCI_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) OCI_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) OCI_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) OCI_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) OCI_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS OCI_THREAD_ANNOTATION(no_thread_safety_analysis)
