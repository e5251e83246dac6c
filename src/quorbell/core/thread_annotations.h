// Clang's thread-safety attributes, so the compiler checks which lock
// guards what. Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define QUORBELL_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define QUORBELL_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) QUORBELL_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY QUORBELL_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) QUORBELL_THREAD_ATTRIBUTE(guarded_by(x))
#define ACQUIRED_BEFORE(...) QUORBELL_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define ACQUIRE(...) QUORBELL_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) QUORBELL_THREAD_ATTRIBUTE(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) QUORBELL_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define EXCLUDES(...) QUORBELL_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define REQUIRES(...) QUORBELL_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
