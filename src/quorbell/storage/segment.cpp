// The Segment's four operations, each taking its locks in the order segment.h
// gives, so the whole locking of a store reads in this one file.
#include "storage/segment.h"

#include <fcntl.h>

#include <new>
#include <optional>
#include <utility>

#include "core/fixed_texts.h"
#include "index/search.h"
#include "storage/file_io.h"
#include "storage/file_replacer.h"
#include "storage/snapshot_codec.h"
#include "storage/thread_holds.h"

namespace quorbell {

namespace {
// A fixed text: made under the write locks, this error must not allocate.
Error out_of_memory() noexcept { return Error{ErrorKind::ResourceExhausted, ErrorText::fixed(UPSERT_OUT_OF_MEMORY)}; }
}  // namespace

// A failed allocation is caught inside the guards' scope, after the change
// is taken back, so it does not poison the locks: the store stays usable.
Status Segment::upsert(std::uint64_t id, std::span<const float> vector, std::optional<Payload> payload,
                       WaitHook& waits) {
  if (ThreadHolds::holds(this)) return busy_in_this_thread();
  PoisonableLock::WriteGuard points_guard(points_lock_, waits);
  if (!points_guard) return points_guard.error();
  std::optional<PointStore::Stored> stored;
  try {
    stored.emplace(points_.upsert(id, vector, std::move(payload)));
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
  PoisonableLock::WriteGuard index_guard(index_lock_, waits);
  if (!index_guard) return index_guard.error();
  try {
    index_.insert(id, stored->slot, points_);
  } catch (const std::bad_alloc&) {
    discard_thread_scratch();  // it may be half-grown
    points_.undo(std::move(*stored));
    return out_of_memory();
  }
  points_.commit(*stored);
  return {};
}

Result<std::vector<SearchHit>> Segment::search(std::span<const float> query, std::uint64_t limit, Metric metric,
                                               const std::string* tenant, WaitHook& waits) const {
  PoisonableLock::ReadGuard points_guard(points_lock_, waits);
  if (!points_guard) return points_guard.error();
  PoisonableLock::ReadGuard index_guard(index_lock_, waits);
  if (!index_guard) return index_guard.error();
  try {
    return search_points(query, limit, metric, points_, index_, tenant);
  } catch (const std::bad_alloc&) {
    discard_thread_scratch();  // it may be half-grown
    throw;
  }
}

// Both read locks are held from before the file is created until it is in
// place, so the file is a consistent cut of points and graph.
Status Segment::save_to_disk(const std::string& path, InterruptionCheck interrupted, WaitHook& waits) const {
  PoisonableLock::ReadGuard points_guard(points_lock_, waits);
  if (!points_guard) return points_guard.error();
  PoisonableLock::ReadGuard index_guard(index_lock_, waits);
  if (!index_guard) return index_guard.error();
  // The interruption check runs signal handlers, which may call this store.
  const ThreadHolds held(this);

  auto file = FileReplacer::begin(path, interrupted);
  if (!file) return with_prefix(CREATE_FAILED, file.error());
  // The encoding streams through a small buffer into the file; after a
  // failed write the rest of it is dropped.
  Status written;
  encode_snapshot(points_, index_, [&](std::span<const std::uint8_t> piece) {
    if (written) written = file.value().write(piece);
  });
  if (written) written = file.value().commit();
  if (!written) return with_prefix(WRITE_FAILED, written.error());
  return {};
}

// Reading and decoding take no lock; both write locks are held only for
// the swap, so every reader sees the whole old state or the whole new one.
// The file is decoded as it is read, never held whole.
Status Segment::load(const std::string& path, InterruptionCheck interrupted, WaitHook& waits) {
  if (ThreadHolds::holds(this)) return busy_in_this_thread();
  auto file = open_file(path, O_RDONLY, 0, interrupted);
  if (!file) return with_prefix(OPEN_FAILED, file.error());
  FileSource source(file.value(), interrupted);
  auto decoded = decode_snapshot(source);
  if (!source.read_status()) return with_prefix(READ_FAILED, source.read_status().error());
  if (!decoded) return with_prefix(DECODE_FAILED, decoded.error());
  SnapshotState& state = decoded.value();

  {
    PoisonableLock::WriteGuard points_guard(points_lock_, waits);
    if (!points_guard) return points_guard.error();
    PoisonableLock::WriteGuard index_guard(index_lock_, waits);
    if (!index_guard) return index_guard.error();
    std::swap(points_, state.points);
    std::swap(index_, state.index);
  }
  // The old state, now in `state`, is freed here, outside the locks.
  return {};
}

}  // namespace quorbell
