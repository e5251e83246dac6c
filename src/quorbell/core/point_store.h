// The point store: a map from point id to its vector and payload, laid out
// for scanning.
//
// Every key gets a dense slot number when it is first stored; slots are
// never removed (there is no delete), so a key keeps its slot for the life
// of the store. Vectors live in chunks that grow geometrically, each vector
// in one piece, and never move while the store is only read. Iteration runs
// in slot order, which is the order keys were first stored. A small store
// also keeps its vectors once more in scan order (core/scan_blocks.h).
//
// Thread safety: const methods may run concurrently; anything else needs
// exclusive access (the Segment's `points` lock provides both).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/foreign_ids.h"
#include "core/id_slot_map.h"
#include "core/large_arrays.h"
#include "core/payload.h"
#include "core/scan_blocks.h"
#include "core/tenant_slots.h"

namespace quorbell {

// Read-only view of one stored point; valid until the store is modified.
struct PointView {
  std::uint64_t id;  // the id a search reports (core/foreign_ids.h)
  std::span<const float> vector;
  float squared_norm;      // sum_squares of the vector, kept with it
  const Payload* payload;  // nullptr when the point has no payload
};

class PointStore {
 public:
  PointStore() = default;
  PointStore(PointStore&&) noexcept = default;
  PointStore& operator=(PointStore&&) noexcept = default;

  // What a point takes besides its vector and payload (its id map entry aside).
  static constexpr std::size_t RECORD_BYTES = 32;

  std::size_t size() const { return records_.size(); }
  bool empty() const { return records_.empty(); }

  std::optional<std::uint32_t> slot_of(std::uint64_t key) const { return slots_.find(key, key_of()); }
  std::uint64_t key_at(std::uint32_t slot) const { return records_[slot].key; }
  // Asks the CPU to start loading a slot's record (slot < size()).
  void prefetch(std::uint32_t slot) const { __builtin_prefetch(&records_[slot]); }
  // The vector alone with its sum of squares: what a distance reads.
  struct VectorRef {
    const float* data;
    std::uint32_t length;
    float squared_norm;
  };
  VectorRef vector_at(std::uint32_t slot) const {
    const Record& r = records_[slot];
    return VectorRef{r.data, r.length, r.squared_norm};
  }
  PointView view(std::uint32_t slot) const {
    const Record& r = records_[slot];
    return PointView{foreign_ids_.id_of(slot, r.key), {r.data, std::size_t{r.length}}, r.squared_norm, r.payload.get()};
  }
  // The tenant filter, looked up once for many points: passes(slot,
  // tenant_filter(tenant)) holds when tenant is nullptr, or when the point
  // at slot has that tenant (tenant_of, core/payload.h), byte for byte. It
  // is decided without reading the payload: scans and walks ask it of
  // every point they meet, and most have no tenant.
  struct TenantFilter {
    bool all;  // no tenant: every point passes
    std::uint32_t number;
  };
  TenantFilter tenant_filter(const std::string* tenant) const {
    return tenant == nullptr ? TenantFilter{true, 0} : TenantFilter{false, tenants_.number_of(*tenant)};
  }
  bool passes(std::uint32_t slot, TenantFilter filter) const {
    return filter.all || tenants_.holds(filter.number, slot);
  }
  std::optional<PointView> find(std::uint64_t key) const {
    auto slot = slot_of(key);
    if (!slot) return std::nullopt;
    return view(*slot);
  }

  // What one upsert changed, so that it can be taken back.
  struct Stored {
    std::uint32_t slot;
    bool added;  // a new id, else the point it replaced:
    float* old_data;
    std::uint32_t old_length;
    float old_squared_norm;
    std::vector<float> overwritten;  // its components, when the new ones took their place
    OptionalPayload old_payload;
  };

  // A store changes in one of two ways. An upsert that may have to be
  // taken back is followed by commit() or undo() before anything else
  // changes. A store built from scratch, as a snapshot's decoder builds
  // one, takes upserts alone and then finish_loading().

  // Stores the point under id, replacing a point stored there whole. Every
  // allocation comes first: when one fails (std::bad_alloc) nothing has
  // changed.
  Stored upsert(std::uint64_t id, std::span<const float> vector, std::optional<Payload> payload);
  // Takes the upsert back: the store is again exactly as it was before.
  void undo(Stored&& stored) noexcept;
  // Settles the upsert: forgets a replaced point's foreign id, drops a
  // tenant that the point left without points, reclaims space that replaced
  // vectors left behind when that is worthwhile, and brings the scan copy
  // up to date.
  void commit(const Stored& stored) noexcept;
  // Settles a store built by upserts alone: makes its scan copy.
  void finish_loading() noexcept { rebuild_scan_blocks(); }

  // The vectors in scan order, when the store keeps them (nullptr if not).
  const ScanBlocks* scan_blocks() const { return scan_blocks_.mirrors(size()) ? &scan_blocks_ : nullptr; }

  // The slots of the points whose tenant is `tenant`, ascending.
  std::span<const std::uint32_t> tenant_slots(std::string_view tenant) const { return tenants_.of(tenant); }
  // Gives the point at slot an id field other than its key (see
  // core/foreign_ids.h).
  void set_foreign_id(std::uint32_t slot, std::uint64_t id) { foreign_ids_.set(slot, records_[slot].key, id); }

  // Room for this many more points and vector components.
  void reserve(std::size_t points, std::size_t components);

  // Calls f(key, PointView) for every point in iteration order.
  template <class F>
  void for_each(F&& f) const {
    for (std::uint32_t slot = 0; slot < records_.size(); ++slot) f(records_[slot].key, view(slot));
  }

 private:
  // 32 bytes: a search reads one record per point it scores.
  struct Record {
    std::uint64_t key;
    float* data;
    std::uint32_t length;
    float squared_norm;
    OptionalPayload payload;
  };
  static_assert(sizeof(Record) == RECORD_BYTES);

  // The key stored at a slot, for the id map's lookups.
  struct KeyAt {
    const PointStore* store;
    std::uint64_t operator()(std::uint32_t slot) const { return store->records_[slot].key; }
  };
  KeyAt key_of() const { return KeyAt{this}; }

  void rebuild_scan_blocks() noexcept {
    scan_blocks_.rebuild(size(), [this](std::uint32_t slot) { return view(slot).vector; });
  }
  float* allocate(std::size_t length);
  // Gives back the space of a vector that is no longer used.
  void release(const float* data, std::size_t length) noexcept;
  void compact();

  IdSlotMap slots_;
  LargeVector<Record> records_;
  ForeignIds foreign_ids_;
  TenantSlots tenants_;
  ScanBlocks scan_blocks_;
  std::vector<FloatRun> chunks_;
  std::size_t chunk_used_ = 0;      // components used in chunks_.back()
  std::size_t chunk_capacity_ = 0;  // components in chunks_.back()
  std::size_t live_components_ = 0;
  std::size_t dead_components_ = 0;  // left behind by replaced vectors
};

}  // namespace quorbell
