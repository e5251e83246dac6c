#include "storage/segment.h"

#include "index/search.h"

namespace quorbell {

Status Segment::upsert(std::uint64_t id, std::span<const float> vector,
                       std::optional<Payload> payload) {
  PoisonableLock::WriteGuard points_guard(points_lock_);
  if (!points_guard) return points_guard.error();
  points_.upsert(id, vector, std::move(payload));
  PoisonableLock::WriteGuard index_guard(index_lock_);
  if (!index_guard) return index_guard.error();
  index_.insert(id, vector, points_);
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
