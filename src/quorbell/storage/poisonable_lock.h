// A reader-writer lock that remembers a fault.
//
// If an exception leaves a scope that holds the lock for writing, the data
// it guards may be half-updated, so the lock is marked poisoned and every
// later attempt to take it, for reading or writing, fails with a Fault.
// Nothing clears the mark.
#pragma once

#include <atomic>
#include <exception>
#include <shared_mutex>
#include <string>
#include <utility>

#include "core/result.h"

namespace quorbell {

class PoisonableLock {
 public:
  explicit PoisonableLock(const char* name) : name_(name) {}

  class ReadGuard {
   public:
    explicit ReadGuard(PoisonableLock* lock) : lock_(lock) {}
    ReadGuard(ReadGuard&& other) noexcept : lock_(std::exchange(other.lock_, nullptr)) {}
    ReadGuard& operator=(ReadGuard&&) = delete;
    ~ReadGuard() {
      if (lock_ != nullptr) lock_->mutex_.unlock_shared();
    }

   private:
    PoisonableLock* lock_;
  };

  class WriteGuard {
   public:
    explicit WriteGuard(PoisonableLock* lock)
        : lock_(lock), exceptions_at_entry_(std::uncaught_exceptions()) {}
    WriteGuard(WriteGuard&& other) noexcept
        : lock_(std::exchange(other.lock_, nullptr)), exceptions_at_entry_(other.exceptions_at_entry_) {}
    WriteGuard& operator=(WriteGuard&&) = delete;
    ~WriteGuard() {
      if (lock_ == nullptr) return;
      if (std::uncaught_exceptions() > exceptions_at_entry_) lock_->poisoned_.store(true);
      lock_->mutex_.unlock();
    }

   private:
    PoisonableLock* lock_;
    int exceptions_at_entry_;
  };

  Result<ReadGuard> read() {
    mutex_.lock_shared();
    ReadGuard guard(this);
    if (poisoned_.load()) return poisoned_error();
    return guard;
  }

  Result<WriteGuard> write() {
    mutex_.lock();
    if (poisoned_.load()) {
      mutex_.unlock();
      return poisoned_error();
    }
    return WriteGuard(this);
  }

  bool poisoned() const { return poisoned_.load(); }

 private:
  Error poisoned_error() const {
    return Error{ErrorKind::Fault, std::string("PoisonError: the segment's `") + name_ +
                                       "` lock is poisoned by an earlier fault while it was held "
                                       "for writing; this store can no longer be used"};
  }

  std::shared_mutex mutex_;
  std::atomic<bool> poisoned_{false};
  const char* name_;
};

}  // namespace quorbell
