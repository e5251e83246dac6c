#include "core/point_store.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "core/distance.h"

namespace quorbell {

namespace {
// Chunks grow geometrically from the first vector's length to 4 MiB, so a
// tiny store holds no more than its vectors and a large one wastes at most
// one partly filled chunk.
constexpr std::size_t kLargestChunk = std::size_t{1} << 20;
}  // namespace

float* PointStore::allocate(std::size_t length) {
  if (length == 0) return nullptr;
  if (chunks_.empty() || chunk_capacity_ - chunk_used_ < length) {
    std::size_t next = chunks_.empty() ? length : std::min(chunk_capacity_ * 2, kLargestChunk);
    next = std::max(next, length);
    chunks_.push_back(allocate_floats(next));
    chunk_capacity_ = next;
    chunk_used_ = 0;
  }
  float* data = chunks_.back().get() + chunk_used_;
  chunk_used_ += length;
  return data;
}

void PointStore::release(const float* data, std::size_t length) noexcept {
  live_components_ -= length;
  // The last piece handed out goes straight back; any other becomes dead
  // space until the next compaction.
  if (length > 0 && data + length == chunks_.back().get() + chunk_used_) {
    chunk_used_ -= length;
  } else {
    dead_components_ += length;
  }
}

PointStore::Stored PointStore::upsert(std::uint64_t key, std::span<const float> vector,
                                      std::optional<Payload> payload) {
  // A record keeps a vector's length in 32 bits: 16 GiB of components.
  if (vector.size() > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  const auto length = static_cast<std::uint32_t>(vector.size());
  OptionalPayload boxed(std::move(payload));
  const std::optional<std::string_view> tenant = tenant_of(boxed.get());
  const std::optional<std::uint32_t> existing = slot_of(key);
  tenants_.prepare(tenant, existing.value_or(static_cast<std::uint32_t>(records_.size())));

  if (existing) {
    Record& r = records_[*existing];
    Stored stored{*existing, false, r.data, r.length, r.squared_norm, {}, {}};
    float* data = r.data;
    if (r.length == length) {
      stored.overwritten.assign(r.data, r.data + r.length);
    } else {
      data = allocate(length);
    }
    // Nothing below allocates.
    tenants_.move(*existing, tenant_of(r.payload.get()), tenant);
    if (data != r.data) {
      live_components_ -= r.length;
      dead_components_ += r.length;
      live_components_ += length;
      r.data = data;
      r.length = length;
    }
    if (length > 0) std::memcpy(r.data, vector.data(), vector.size_bytes());
    r.squared_norm = sum_squares(vector.data(), vector.size());
    stored.old_payload = std::move(r.payload);
    r.payload = std::move(boxed);
    return stored;
  }

  if (records_.size() >= std::numeric_limits<std::uint32_t>::max() - 1) throw std::bad_alloc();
  const auto slot = static_cast<std::uint32_t>(records_.size());
  // Room for the record and its map entry, growing geometrically.
  if (records_.size() == records_.capacity()) records_.reserve(std::max<std::size_t>(16, records_.size() * 2));
  slots_.reserve(records_.size() + 1, key_of());
  float* data = allocate(length);
  // Nothing below allocates.
  if (length > 0) std::memcpy(data, vector.data(), vector.size_bytes());
  slots_.insert(key, slot, key_of());
  records_.push_back(Record{key, data, length, sum_squares(vector.data(), vector.size()), std::move(boxed)});
  live_components_ += length;
  tenants_.move(slot, std::nullopt, tenant);
  return Stored{slot, true, nullptr, 0, 0.0f, {}, {}};
}

void PointStore::undo(Stored&& stored) noexcept {
  Record& r = records_[stored.slot];
  const std::optional<std::string_view> tenant = tenant_of(r.payload.get());
  if (stored.added) {
    tenants_.move(stored.slot, tenant, std::nullopt);
    tenants_.release_if_empty(tenant);
    slots_.erase(r.key, key_of());
    release(r.data, r.length);
    records_.pop_back();
    return;
  }
  tenants_.move(stored.slot, tenant, tenant_of(stored.old_payload.get()));
  tenants_.release_if_empty(tenant);
  if (r.data == stored.old_data) {
    if (r.length > 0) std::memcpy(r.data, stored.overwritten.data(), r.length * sizeof(float));
  } else {
    release(r.data, r.length);
    live_components_ += stored.old_length;
    dead_components_ -= stored.old_length;
    r.data = stored.old_data;
    r.length = stored.old_length;
  }
  r.squared_norm = stored.old_squared_norm;
  r.payload = std::move(stored.old_payload);
}

void PointStore::commit(const Stored& stored) noexcept {
  tenants_.release_if_empty(tenant_of(stored.old_payload.get()));
  foreign_ids_.set(stored.slot, records_[stored.slot].key, records_[stored.slot].key);
  if (dead_components_ > kLargestChunk && dead_components_ > live_components_) {
    // Compaction only reclaims space; a store short of memory keeps it.
    try {
      compact();
    } catch (const std::bad_alloc&) {
    }
  }
  if (!scan_blocks_.update(stored.slot, view(stored.slot).vector, size())) rebuild_scan_blocks();
}

void PointStore::reserve(std::size_t points, std::size_t components) {
  records_.reserve(records_.size() + points);
  slots_.reserve(records_.size() + points, key_of());
  if (components > chunk_capacity_ - chunk_used_ && components > 0) {
    chunks_.push_back(allocate_floats(components));
    chunk_capacity_ = components;
    chunk_used_ = 0;
  }
}

// Copies every live vector into one fresh chunk, dropping the space that
// replaced vectors left behind.
void PointStore::compact() {
  FloatRun fresh = allocate_floats(std::max<std::size_t>(live_components_, 1));
  std::size_t used = 0;
  for (Record& r : records_) {
    if (r.length == 0) continue;
    std::memcpy(fresh.get() + used, r.data, r.length * sizeof(float));
    r.data = fresh.get() + used;
    used += r.length;
  }
  chunks_.clear();
  chunks_.push_back(std::move(fresh));
  chunk_capacity_ = std::max<std::size_t>(live_components_, 1);
  chunk_used_ = used;
  dead_components_ = 0;
}

}  // namespace quorbell
