#include "storage/segment.h"

#include <new>
#include <optional>

#include "index/search.h"
#include "storage/thread_holds.h"

namespace quorbell {

namespace {
// A fixed text: made under the write locks, this error must not allocate.
Error out_of_memory() noexcept {
  return Error{ErrorKind::ResourceExhausted,
               ErrorText::fixed("not enough memory to store the point; the store is unchanged")};
}
}  // namespace

// A failed allocation is caught inside the guards' scope, after the change
// is taken back, so it does not poison the locks: the store stays usable.
Status Segment::upsert(std::uint64_t id, std::span<const float> vector,
                       std::optional<Payload> payload) {
  if (ThreadHolds::holds(this)) return busy_in_this_thread();
  PoisonableLock::WriteGuard points_guard(points_lock_);
  if (!points_guard) return points_guard.error();
  std::optional<PointStore::Stored> stored;
  try {
    stored.emplace(points_.upsert(id, vector, std::move(payload)));
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
  PoisonableLock::WriteGuard index_guard(index_lock_);
  if (!index_guard) return index_guard.error();
  try {
    index_.insert(id, stored->slot, points_);
  } catch (const std::bad_alloc&) {
    points_.undo(std::move(*stored));
    return out_of_memory();
  }
  points_.commit(*stored);
  return {};
}

Result<std::vector<SearchHit>> Segment::search(std::span<const float> query, std::uint64_t limit,
                                               Metric metric, const std::string* tenant) const {
  PoisonableLock::ReadGuard points_guard(points_lock_);
  if (!points_guard) return points_guard.error();
  PoisonableLock::ReadGuard index_guard(index_lock_);
  if (!index_guard) return index_guard.error();
  return search_points(query, limit, metric, points_, index_, tenant);
}

}  // namespace quorbell
