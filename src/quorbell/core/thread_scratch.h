// Per-thread working memory, reused from call to call.
//
// A thread's first get() allocates its T on the heap, so running out of
// memory there throws std::bad_alloc to the caller like any other
// allocation; the thread-local part is one pointer (core/static_tls.h). The
// T is freed when its thread ends, through a pthread key, or by discard().
//
// Thread safety: get() may be called from any thread; each thread sees its
// own T, which it must not hand to another.
#pragma once

#include <pthread.h>

#include <memory>
#include <new>

#include "core/static_tls.h"

namespace quorbell {

template <class T>
class ThreadScratch {
 public:
  static T& get() {
    if (T* mine = mine_) return *mine;
    return make();
  }

  // Frees this thread's T, if it has one; the next get() makes a new one.
  static void discard() noexcept {
    if (T* mine = mine_) {
      pthread_setspecific(key(), nullptr);
      mine_ = nullptr;
      delete mine;
    }
  }

 private:
  // Made by the first get() of any thread. Keys run out or memory does:
  // either way the caller gets bad_alloc, and the next call tries again.
  static pthread_key_t key() {
    static const pthread_key_t made = [] {
      pthread_key_t created;
      if (pthread_key_create(&created, &release) != 0) throw std::bad_alloc();
      return created;
    }();
    return made;
  }

  static T& make() {
    const pthread_key_t owner = key();
    auto made = std::make_unique<T>();
    if (pthread_setspecific(owner, made.get()) != 0) throw std::bad_alloc();
    mine_ = made.release();
    return *mine_;
  }

  static void release(void* scratch) {
    mine_ = nullptr;
    delete static_cast<T*>(scratch);
  }

  static inline thread_local T* mine_ QUORBELL_STATIC_TLS = nullptr;
};

}  // namespace quorbell
