// A reader-writer lock that remembers a fault.
//
// If an exception leaves a scope that holds the lock for writing, the data
// it guards may be half-updated, so the lock is marked poisoned and every
// later attempt to take it, for reading or writing, fails with a Fault.
// Nothing clears the mark.
//
// The lock is taken by constructing a guard, which holds it until the
// guard's scope ends; a guard on a poisoned lock converts to false and
// carries the Fault. Holding the lock through that early return is
// harmless and lets clang's thread-safety analysis see every acquisition.
//
// A guard first tries the lock, and only if another thread holds it tells
// its WaitHook and then blocks: the bindings let go of the interpreter lock
// there, so that no thread waits for a store's lock while holding it.
#pragma once

#include <atomic>
#include <exception>
#include <shared_mutex>

#include "core/result.h"
#include "core/thread_annotations.h"

namespace quorbell {

// What a thread does before it blocks on a lock that another thread holds.
class WaitHook {
 public:
  virtual void before_waiting() = 0;
  // The hook that does nothing, for threads that hold nothing else.
  static WaitHook& none();

 protected:
  ~WaitHook() = default;
};

class CAPABILITY("mutex") PoisonableLock {
 public:
  // `poisoned_text` is the message of the Fault, a fixed text: reporting a
  // poisoned lock allocates nothing while the lock is held.
  explicit PoisonableLock(const char* poisoned_text) : poisoned_text_(poisoned_text) {}

  class SCOPED_CAPABILITY ReadGuard {
   public:
    explicit ReadGuard(PoisonableLock& lock, WaitHook& waits = WaitHook::none()) ACQUIRE_SHARED(lock) : lock_(lock) {
      if (lock_.mutex_.try_lock_shared()) return;
      waits.before_waiting();
      lock_.mutex_.lock_shared();
    }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
    ~ReadGuard() RELEASE() { lock_.mutex_.unlock_shared(); }

    explicit operator bool() const { return !lock_.poisoned_.load(); }
    Error error() const { return lock_.poisoned_error(); }

   private:
    PoisonableLock& lock_;
  };

  class SCOPED_CAPABILITY WriteGuard {
   public:
    explicit WriteGuard(PoisonableLock& lock, WaitHook& waits = WaitHook::none()) ACQUIRE(lock)
        : lock_(lock), exceptions_at_entry_(std::uncaught_exceptions()) {
      if (!lock_.mutex_.try_lock()) {
        waits.before_waiting();
        lock_.mutex_.lock();
      }
      usable_ = !lock_.poisoned_.load();
    }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;
    ~WriteGuard() RELEASE() {
      if (usable_ && std::uncaught_exceptions() > exceptions_at_entry_) lock_.poisoned_.store(true);
      lock_.mutex_.unlock();
    }

    explicit operator bool() const { return usable_; }
    Error error() const { return lock_.poisoned_error(); }

   private:
    PoisonableLock& lock_;
    int exceptions_at_entry_;
    bool usable_;
  };

 private:
  Error poisoned_error() const { return Error{ErrorKind::Fault, ErrorText::fixed(poisoned_text_)}; }

  std::shared_mutex mutex_;
  std::atomic<bool> poisoned_{false};
  const char* poisoned_text_;
};

inline WaitHook& WaitHook::none() {
  struct NoWaitHook final : WaitHook {
    void before_waiting() override {}
  };
  static NoWaitHook hook;
  return hook;
}

}  // namespace quorbell
