// The Segment: one store's points and graph, each behind its own lock.
//
// Thread safety: every method may be called from any number of threads at
// once. Searches and saves take both locks for reading; upserts and the
// swap step of a load take both for writing. The lock order is always
// `points` then `index`, released in reverse. Each lock is tried first;
// a thread that must wait for one tells the `waits` hook before it blocks
// (the bindings let go of the interpreter lock there). An upsert that runs
// out of memory is taken back whole and poisons nothing; any other fault
// while a write lock is held poisons that lock, and every later operation
// that takes it fails with an ErrorKind::Fault error. A thread
// inside a save, whose signal handlers may call back into the store, keeps
// the read locks; an upsert or load asked of the store from there fails at
// once with ErrorKind::Busy rather than wait for itself
// (storage/thread_holds.h).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/distance.h"
#include "core/fixed_texts.h"
#include "core/point_store.h"
#include "core/result.h"
#include "core/search_hit.h"
#include "core/thread_annotations.h"
#include "index/hnsw.h"
#include "storage/poisonable_lock.h"

namespace quorbell {

class Segment {
 public:
  // Stores the point, replacing any point with this id whole, and links it
  // into the graph. Fails with a Fault (poisoned lock), with Busy, or with
  // ResourceExhausted when memory runs out, the store then unchanged.
  Status upsert(std::uint64_t id, std::span<const float> vector, std::optional<Payload> payload,
                WaitHook& waits = WaitHook::none()) EXCLUDES(points_lock_, index_lock_);

  // The `limit` best hits for the query (index/search.h). Fails only with
  // a Fault.
  Result<std::vector<SearchHit>> search(std::span<const float> query, std::uint64_t limit, Metric metric,
                                        const std::string* tenant, WaitHook& waits = WaitHook::none()) const
      EXCLUDES(points_lock_, index_lock_);

  // Writes the whole store to one snapshot file. `interrupted` may abandon
  // a save that a signal interrupts; the old file then stays as it was.
  Status save_to_disk(const std::string& path, InterruptionCheck interrupted = never_interrupted,
                      WaitHook& waits = WaitHook::none()) const EXCLUDES(points_lock_, index_lock_);
  // Replaces the whole store with a snapshot file's contents; on failure,
  // an abandoned or Busy load included, nothing changes.
  Status load(const std::string& path, InterruptionCheck interrupted = never_interrupted,
              WaitHook& waits = WaitHook::none()) EXCLUDES(points_lock_, index_lock_);

  // For tests only: runs f(points, index) with both write locks held, so
  // tests can build states directly or make an operation fault midway.
  template <class F>
  Status test_mutate(F&& f) EXCLUDES(points_lock_, index_lock_) {
    PoisonableLock::WriteGuard points_guard(points_lock_);
    if (!points_guard) return points_guard.error();
    PoisonableLock::WriteGuard index_guard(index_lock_);
    if (!index_guard) return index_guard.error();
    f(points_, index_);
    points_.finish_loading();
    return {};
  }

 private:
  mutable PoisonableLock points_lock_ ACQUIRED_BEFORE(index_lock_){POINTS_POISONED};
  PointStore points_ GUARDED_BY(points_lock_);
  mutable PoisonableLock index_lock_{INDEX_POISONED};
  HNSWIndex index_ GUARDED_BY(index_lock_);
};

}  // namespace quorbell
