#include "core/point_store.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "core/distance.h"

namespace quorbell {

namespace {
// Chunks grow geometrically from small to 4 MiB, so a tiny store stays tiny
// and a large one wastes at most one partly filled chunk.
constexpr std::size_t kFirstChunk = 1024;
constexpr std::size_t kLargestChunk = std::size_t{1} << 20;
}  // namespace

float* PointStore::allocate(std::size_t length) {
  if (length == 0) return nullptr;
  if (chunks_.empty() || chunk_capacity_ - chunk_used_ < length) {
    std::size_t next = chunks_.empty() ? kFirstChunk : std::min(chunk_capacity_ * 2, kLargestChunk);
    next = std::max(next, length);
    chunks_.push_back(std::unique_ptr<float[]>(new float[next]));
    chunk_capacity_ = next;
    chunk_used_ = 0;
  }
  float* data = chunks_.back().get() + chunk_used_;
  chunk_used_ += length;
  return data;
}

std::uint32_t PointStore::upsert(std::uint64_t key, std::span<const float> vector,
                                 std::optional<Payload> payload) {
  // A record keeps a vector's length in 32 bits: 16 GiB of components.
  if (vector.size() > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  std::unique_ptr<Payload> boxed;
  if (payload) boxed = std::make_unique<Payload>(std::move(*payload));

  auto existing = slot_of(key);
  if (existing) {
    Record& r = records_[*existing];
    if (r.length != vector.size()) {
      float* data = allocate(vector.size());
      dead_components_ += r.length;
      live_components_ -= r.length;
      r.data = data;
      r.length = static_cast<std::uint32_t>(vector.size());
      live_components_ += vector.size();
    }
    if (!vector.empty()) std::memcpy(r.data, vector.data(), vector.size_bytes());
    foreign_ids_.set(*existing, key, key);
    r.payload = std::move(boxed);
    r.squared_norm = sum_squares(vector.data(), vector.size());
    if (dead_components_ > kLargestChunk && dead_components_ > live_components_) compact();
    return *existing;
  }

  if (records_.size() >= std::numeric_limits<std::uint32_t>::max() - 1) throw std::bad_alloc();
  const auto slot = static_cast<std::uint32_t>(records_.size());
  // Room for the record before anything changes, growing geometrically.
  if (records_.size() == records_.capacity()) records_.reserve(std::max<std::size_t>(16, records_.size() * 2));
  float* data = allocate(vector.size());
  if (!vector.empty()) std::memcpy(data, vector.data(), vector.size_bytes());
  slots_.insert(key, slot, key_of());
  records_.push_back(
      Record{key, data, static_cast<std::uint32_t>(vector.size()), sum_squares(vector.data(), vector.size()),
             std::move(boxed)});
  live_components_ += vector.size();
  return slot;
}

void PointStore::reserve(std::size_t points, std::size_t components) {
  records_.reserve(records_.size() + points);
  slots_.reserve(records_.size() + points, key_of());
  if (components > chunk_capacity_ - chunk_used_ && components > 0) {
    chunks_.push_back(std::unique_ptr<float[]>(new float[components]));
    chunk_capacity_ = components;
    chunk_used_ = 0;
  }
}

// Copies every live vector into one fresh chunk, dropping the space that
// replaced vectors left behind.
void PointStore::compact() {
  auto fresh = std::unique_ptr<float[]>(new float[std::max<std::size_t>(live_components_, 1)]);
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
