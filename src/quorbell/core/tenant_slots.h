// The slots of each tenant's points, in ascending order (the store's
// iteration order), so that a filtered search can scan one tenant's points
// without reading the others. Kept up to date as points are stored; a load
// stores every point again, so it is rebuilt there and never saved.
//
// Stores with a tenant per point are common, so a tenant costs little: its
// name, up to two slots inline, and a place in an open-addressing table.
// A tenant whose last point leaves is dropped once the change is settled
// (release_if_empty), so memory follows the live tenants, not every name
// ever stored; its place is reused by the next new tenant.
//
// Each slot also keeps its tenant's number, so that a walk that meets
// points all over the store tests each against a tenant by comparing two
// numbers, without reading the point's payload.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/large_arrays.h"

namespace quorbell {

class TenantSlots {
 public:
  std::span<const std::uint32_t> of(std::string_view tenant) const;
  // The tenant's number while it has points; a tenant without points has
  // one that no slot holds.
  std::uint32_t number_of(std::string_view tenant) const;
  // Whether the point at slot is of the tenant numbered `number`.
  bool holds(std::uint32_t number, std::uint32_t slot) const {
    return slot < numbers_.size() && numbers_[slot] == number;
  }

  // Makes room for slot to join tenant (nullopt: none), so that the next
  // move() of slot to it cannot fail. Changes nothing a reader can see.
  void prepare(std::optional<std::string_view> tenant, std::uint32_t slot);
  // Moves slot from one tenant to another; nullopt is no tenant. Needs a
  // prepare() for `to` first and never allocates.
  void move(std::uint32_t slot, std::optional<std::string_view> from, std::optional<std::string_view> to) noexcept;
  // Drops tenant (nullopt: none) if it has no slot left. Called once a
  // change is settled: until then an emptied list keeps its room, so that
  // moving a slot back cannot fail.
  void release_if_empty(std::optional<std::string_view> tenant) noexcept;

 private:
  // A sorted list of slots, the first two kept inline.
  class SlotList {
   public:
    SlotList() = default;
    SlotList(const SlotList&) = delete;
    SlotList& operator=(const SlotList&) = delete;
    ~SlotList();
    std::span<const std::uint32_t> view() const { return {data(), size_}; }
    // Room for one more slot.
    void make_room();
    void insert(std::uint32_t slot) noexcept;
    void erase(std::uint32_t slot) noexcept;
    // Empties the list and frees its memory.
    void release() noexcept;

   private:
    static constexpr std::uint32_t kInline = 2;
    const std::uint32_t* data() const { return capacity_ > kInline ? heap_ : inline_; }
    std::uint32_t* data() { return capacity_ > kInline ? heap_ : inline_; }

    std::uint32_t size_ = 0;
    std::uint32_t capacity_ = kInline;
    union {
      std::uint32_t inline_[kInline] = {};
      std::uint32_t* heap_;
    };
  };
  struct Group {
    explicit Group(std::string_view name) : tenant(name) {}
    std::string tenant;
    SlotList slots;                     // an emptied list stays, with its room, so moving a slot back cannot fail
    std::uint32_t next_vacant = kNone;  // of a dropped group: the next one dropped before it
  };
  static constexpr std::uint32_t kFree = 0;
  static constexpr std::uint32_t kNone = UINT32_MAX;

  // The group of tenant, or nullptr.
  const Group* find(std::string_view tenant) const;
  // The table's entry for tenant (its group + 1), or kFree.
  std::uint32_t entry_of(std::string_view tenant) const;
  // The table position of tenant's group, which must exist.
  std::size_t position_of(std::string_view tenant) const;
  Group& group_of(std::string_view tenant) { return const_cast<Group&>(*find(tenant)); }
  void place(std::uint32_t group);
  std::size_t home_of(std::string_view tenant) const;

  // Never moved once made, so growing copies no names. Boxed, and made at
  // the first tenant: a deque allocates even when empty and when moved
  // from, and the store must move without allocating.
  std::unique_ptr<std::deque<Group>> groups_;
  std::vector<std::uint32_t> table_;  // group + 1 by the tenant's hash, kFree where empty
  std::uint32_t live_ = 0;            // groups in the table
  std::uint32_t vacant_ = kNone;      // the last dropped group, reused first
  // Per slot, its tenant's group + 1, or kFree for none; slots past the
  // end have none. Made at the first tenant, so a store without tenants
  // pays nothing.
  LargeVector<std::uint32_t> numbers_;
};

// A store moves (a load swaps it in) where nothing may fail.
static_assert(std::is_nothrow_move_constructible_v<TenantSlots> && std::is_nothrow_move_assignable_v<TenantSlots>);

}  // namespace quorbell
