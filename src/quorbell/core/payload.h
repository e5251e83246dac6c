// A point's payload: a map from UTF-8 key to a string, integer or float.
//
// Each payload is one flat block: a small header, one 16-byte slot and one
// tag byte per entry, then every key and string value back to back. So a
// typical payload (a tenant and two numbers) is a single allocation of
// about a hundred bytes, an empty one costs nothing, and no input costs
// more than 17 bytes an entry besides its text. Entries keep the order in
// which their keys were first added (a snapshot writes them in that
// order). The header keeps the position of "tenant_id", so the tenant
// filter reads it without a search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quorbell {

// Strings of at most this many UTF-8 bytes are Keywords, longer ones Text.
inline constexpr std::size_t KEYWORD_MAX_BYTES = 64;

struct Keyword {
  std::string value;
  bool operator==(const Keyword&) const = default;
};
struct Text {
  std::string value;
  bool operator==(const Text&) const = default;
};

// A value on its own. The variant index is the value's tag in the snapshot
// format: 0 Keyword, 1 Text, 2 Integer, 3 Float.
using PayloadValue = std::variant<Keyword, Text, std::int64_t, double>;
enum PayloadTag : std::uint8_t { KEYWORD_TAG = 0, TEXT_TAG = 1, INTEGER_TAG = 2, FLOAT_TAG = 3 };

// Classifies a string by its UTF-8 byte length.
inline PayloadTag string_tag(std::size_t bytes) { return bytes <= KEYWORD_MAX_BYTES ? KEYWORD_TAG : TEXT_TAG; }
PayloadValue payload_string(std::string text);

namespace payload_layout {
// The block: a Header, count Slots, count PayloadTags, then the text.
struct Header {
  std::uint32_t count;
  std::uint32_t tenant;  // the entry "tenant_id" when it holds a string, else NO_TENANT
};
inline constexpr std::uint32_t NO_TENANT = 0xFFFFFFFFu;
// Offsets count from the start of the text after the tags.
struct Slot {
  std::uint32_t key_offset;
  std::uint32_t key_length;
  std::uint64_t value;  // an Integer's or Float's bits; a string's offset << 32 | length
};
}  // namespace payload_layout

// One entry of a payload, read in place; valid while the payload is.
class PayloadEntry {
 public:
  PayloadEntry(const payload_layout::Slot& slot, PayloadTag tag, const char* text)
      : slot_(slot), tag_(tag), text_(text) {}

  std::string_view key() const { return {text_ + slot_.key_offset, slot_.key_length}; }
  PayloadTag tag() const { return tag_; }
  // The string of a Keyword or Text.
  std::string_view text() const { return {text_ + (slot_.value >> 32), static_cast<std::uint32_t>(slot_.value)}; }
  std::int64_t integer() const { return static_cast<std::int64_t>(slot_.value); }
  double number() const;
  // The bit pattern of an Integer or Float.
  std::uint64_t bits() const { return slot_.value; }
  // The value on its own, copied.
  PayloadValue value() const;

 private:
  const payload_layout::Slot& slot_;
  PayloadTag tag_;
  const char* text_;
};

class Payload {
 public:
  Payload() = default;  // present and empty; allocates nothing
  Payload(const Payload& other);
  Payload(Payload&& other) noexcept : block_(std::exchange(other.block_, empty_block())) {}
  Payload& operator=(Payload other) noexcept {
    std::swap(block_, other.block_);
    return *this;
  }
  ~Payload();

  using Entry = std::pair<std::string, PayloadValue>;
  // Builds a map from entries in order; a repeated key replaces the value
  // stored under it earlier and keeps its place.
  static Payload from_entries(const std::vector<Entry>& entries);

  std::size_t size() const { return header().count; }
  bool empty() const { return size() == 0; }
  PayloadEntry entry(std::size_t i) const { return {slots()[i], tags()[i], text()}; }
  // The value under key, copied, or nullopt.
  std::optional<PayloadValue> find(std::string_view key) const;
  // The "tenant_id" entry's string when it is a Keyword or Text.
  std::optional<std::string_view> tenant() const {
    if (header().tenant == payload_layout::NO_TENANT) return std::nullopt;
    return entry(header().tenant).text();
  }

  class Iterator {
   public:
    Iterator(const Payload& payload, std::size_t i) : payload_(&payload), i_(i) {}
    PayloadEntry operator*() const { return payload_->entry(i_); }
    Iterator& operator++() {
      ++i_;
      return *this;
    }
    bool operator==(const Iterator&) const = default;

   private:
    const Payload* payload_;
    std::size_t i_;
  };
  Iterator begin() const { return {*this, 0}; }
  Iterator end() const { return {*this, size()}; }

 private:
  friend class PayloadBuilder;
  friend class OptionalPayload;

  // The block of every empty payload: it is never written or freed.
  static void* empty_block();
  explicit Payload(void* block) : block_(block) {}
  const payload_layout::Header& header() const { return *static_cast<const payload_layout::Header*>(block_); }
  const payload_layout::Slot* slots() const {
    return reinterpret_cast<const payload_layout::Slot*>(static_cast<const payload_layout::Header*>(block_) + 1);
  }
  const PayloadTag* tags() const { return reinterpret_cast<const PayloadTag*>(slots() + size()); }
  const char* text() const { return reinterpret_cast<const char*>(tags() + size()); }
  // The position of key, or size().
  std::size_t position(std::string_view key) const;
  std::size_t block_bytes() const;

  void* block_ = empty_block();  // from operator new; null only in an absent OptionalPayload
};

// A payload or none, in one pointer: what a point record keeps.
class OptionalPayload {
 public:
  OptionalPayload() = default;
  explicit OptionalPayload(std::optional<Payload>&& payload) noexcept {
    if (payload) payload_.block_ = std::exchange(payload->block_, Payload::empty_block());
  }
  OptionalPayload(OptionalPayload&& other) noexcept : payload_(std::exchange(other.payload_.block_, nullptr)) {}
  OptionalPayload& operator=(OptionalPayload&& other) noexcept {
    std::swap(payload_.block_, other.payload_.block_);
    return *this;
  }
  // nullptr when there is no payload.
  const Payload* get() const { return payload_.block_ == nullptr ? nullptr : &payload_; }

 private:
  Payload payload_{static_cast<void*>(nullptr)};
};

// Builds a payload entry by entry, as a map is built entry by entry: a key
// that comes again replaces the value stored under it and keeps its place.
// Repeated keys are found through a hash index once there are many, so no
// input makes building quadratic. Throws std::bad_alloc, also for a payload
// whose keys and strings pass 4 GiB (offsets are 32 bits).
class PayloadBuilder {
 public:
  // What an entry takes besides its text.
  static constexpr std::size_t ENTRY_BYTES = sizeof(payload_layout::Slot) + sizeof(PayloadTag);

  // Room for this many entries.
  void reserve(std::size_t entries);
  void add_string(std::string_view key, PayloadTag tag, std::string_view text);
  void add_integer(std::string_view key, std::int64_t value) {
    add(key, INTEGER_TAG, static_cast<std::uint64_t>(value));
  }
  void add_float(std::string_view key, double value);
  void add(std::string_view key, const PayloadValue& value);
  // The payload built so far; the builder is empty again afterwards.
  Payload finish();

 private:
  std::string_view key_at(std::size_t i) const { return {text_.data() + slots_[i].key_offset, slots_[i].key_length}; }
  // The entry holding key, or the number of entries.
  std::size_t position(std::string_view key) const;
  void index_entry(std::size_t i);
  void add(std::string_view key, PayloadTag tag, std::uint64_t value);
  std::uint32_t append_text(std::string_view text);

  std::vector<payload_layout::Slot> slots_;
  std::vector<PayloadTag> tags_;
  std::string text_;  // a replaced string value leaves its bytes here until finish()
  std::size_t live_text_ = 0;
  std::vector<std::uint32_t> index_;  // entry + 1 by key hash, 0 free; empty while few entries
};

// The payload's tenant: its "tenant_id" when that is a Keyword or Text.
inline std::optional<std::string_view> tenant_of(const Payload* payload) {
  if (payload == nullptr) return std::nullopt;
  return payload->tenant();
}

}  // namespace quorbell
