// Which stores the current thread is inside of, holding their locks.
//
// A save runs the interpreter's signal handlers while it holds its store's
// read locks. A handler that then asks the same store for a write lock
// (an upsert, or a load that reloads on SIGHUP) would wait for its own
// thread for ever, so the store refuses it at once instead. Reads inside
// reads are fine and stay allowed.
//
// The marks form a stack through the frames that hold them, so marking
// allocates nothing.
#pragma once

#include "core/fixed_texts.h"
#include "core/result.h"
#include "core/static_tls.h"

namespace quorbell {

class ThreadHolds {
 public:
  // Marks `store` as held by this thread until the mark's scope ends.
  explicit ThreadHolds(const void* store) noexcept : store_(store), below_(top_) { top_ = this; }
  ThreadHolds(const ThreadHolds&) = delete;
  ThreadHolds& operator=(const ThreadHolds&) = delete;
  ~ThreadHolds() { top_ = below_; }

  // Whether this thread holds a lock of `store`.
  static bool holds(const void* store) noexcept {
    for (const ThreadHolds* mark = top_; mark != nullptr; mark = mark->below_) {
      if (mark->store_ == store) return true;
    }
    return false;
  }

 private:
  const void* store_;
  const ThreadHolds* below_;
  static inline thread_local const ThreadHolds* top_ QUORBELL_STATIC_TLS = nullptr;
};

// The refusal of a change asked from inside another call of the store.
inline Error busy_in_this_thread() noexcept { return Error{ErrorKind::Busy, ErrorText::fixed(STORE_BUSY_IN_THREAD)}; }

}  // namespace quorbell
