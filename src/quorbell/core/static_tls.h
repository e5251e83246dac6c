// The thread-local model of every `thread_local` in this library.
//
// In a library loaded at run time, the C library gives each thread its copy
// of thread-local storage lazily, at the thread's first access, and aborts
// the process if that allocation fails ("cannot allocate memory for
// thread-local data"). Variables in the static model are set aside when the
// library loads and reached without any allocation. Each one is therefore
// small and trivially destructible: a pointer, a flag, a generator's state
// (a destructor would be registered through another allocation that aborts
// when it fails). Larger per-thread state lives on the heap (ThreadScratch).
#pragma once

#define QUORBELL_STATIC_TLS __attribute__((tls_model("initial-exec")))
