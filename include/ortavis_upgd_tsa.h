// Lock annotations, shared by the daemon and the client library. Under clang
// they state which lock guards which data and which locks a function needs,
// takes or gives back, and -Wthread-safety checks every such claim at build
// time; under any other compiler they are empty.
#pragma once

#if defined(__clang__)
#define UPGD_TSA(x) __attribute__((x))
#else
#define UPGD_TSA(x)
#endif

#define CAPABILITY(x) UPGD_TSA(capability(x))
#define SCOPED_CAPABILITY UPGD_TSA(scoped_lockable)
#define GUARDED_BY(x) UPGD_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) UPGD_TSA(pt_guarded_by(x))
#define REQUIRES(...) UPGD_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) UPGD_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) UPGD_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) UPGD_TSA(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) UPGD_TSA(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) UPGD_TSA(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS UPGD_TSA(no_thread_safety_analysis)
