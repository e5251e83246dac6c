// A mutex that clang's thread-safety analysis can follow, with the scoped
// lock and the condition-variable waits the worker pool needs.
//
// Fields are tied to it with GUARDED_BY and functions that expect it held
// with REQUIRES, so the compiler checks every access. A wait releases the
// mutex while it sleeps and holds it again when it returns, as
// std::condition_variable does; to the analysis the mutex stays held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/thread_annotations.h"

namespace quorbell {

class CAPABILITY("mutex") AnnotatedMutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

  // Sleeps on `wake` until `ready()` holds.
  template <class Ready>
  void wait(std::condition_variable& wake, Ready ready) REQUIRES(this) {
    std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
    wake.wait(held, ready);
    held.release();  // still locked: the caller's hold goes on
  }

  // As wait, but for at most `timeout`; returns ready().
  template <class Ready>
  bool wait_for(std::condition_variable& wake, std::chrono::milliseconds timeout, Ready ready) REQUIRES(this) {
    std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
    const bool became_ready = wake.wait_for(held, timeout, ready);
    held.release();
    return became_ready;
  }

 private:
  std::mutex mutex_;
};

// Holds an AnnotatedMutex for its scope; unlock() and lock() let it go
// and take it back midway.
class SCOPED_CAPABILITY AnnotatedLock {
 public:
  explicit AnnotatedLock(AnnotatedMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  AnnotatedLock(const AnnotatedLock&) = delete;
  AnnotatedLock& operator=(const AnnotatedLock&) = delete;
  ~AnnotatedLock() RELEASE() {
    if (held_) mutex_.unlock();
  }

  void unlock() RELEASE() {
    mutex_.unlock();
    held_ = false;
  }
  void lock() ACQUIRE() {
    mutex_.lock();
    held_ = true;
  }

 private:
  AnnotatedMutex& mutex_;
  bool held_ = true;
};

}  // namespace quorbell
