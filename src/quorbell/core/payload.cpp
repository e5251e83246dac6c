#include "core/payload.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <limits>
#include <new>

namespace quorbell {

using payload_layout::Header;
using payload_layout::NO_TENANT;
using payload_layout::Slot;

namespace {

constexpr std::string_view kTenantKey = "tenant_id";
// Up to this many entries a repeated key is found by scanning.
constexpr std::size_t kLinearLimit = 16;

constinit Header empty_header{0, NO_TENANT};

bool is_string(PayloadTag tag) { return tag == KEYWORD_TAG || tag == TEXT_TAG; }

// Where an entry's text ends, counted from the start of the text.
std::size_t text_end(const Slot& slot, PayloadTag tag) {
  std::size_t end = std::size_t{slot.key_offset} + slot.key_length;
  if (is_string(tag)) end = std::max<std::size_t>(end, (slot.value >> 32) + static_cast<std::uint32_t>(slot.value));
  return end;
}

}  // namespace

PayloadValue payload_string(std::string text) {
  if (string_tag(text.size()) == KEYWORD_TAG) return Keyword{std::move(text)};
  return Text{std::move(text)};
}

double PayloadEntry::number() const { return std::bit_cast<double>(slot_.value); }

PayloadValue PayloadEntry::value() const {
  switch (tag_) {
    case KEYWORD_TAG:
      return Keyword{std::string(text())};
    case TEXT_TAG:
      return Text{std::string(text())};
    case INTEGER_TAG:
      return integer();
    case FLOAT_TAG:
      break;
  }
  return number();
}

void* Payload::empty_block() { return &empty_header; }

Payload::Payload(const Payload& other) {
  if (other.empty()) return;
  const std::size_t bytes = other.block_bytes();
  block_ = ::operator new(bytes);
  std::memcpy(block_, other.block_, bytes);
}

Payload::~Payload() {
  if (block_ != nullptr && block_ != empty_block()) ::operator delete(block_);
}

// Entries lay out their text in order, so the last one ends it.
std::size_t Payload::block_bytes() const {
  const std::size_t count = size();
  if (count == 0) return sizeof(Header);
  return sizeof(Header) + count * (sizeof(Slot) + sizeof(PayloadTag)) + text_end(slots()[count - 1], tags()[count - 1]);
}

Payload Payload::from_entries(const std::vector<Entry>& entries) {
  PayloadBuilder builder;
  builder.reserve(entries.size());
  for (const auto& [key, value] : entries) builder.add(key, value);
  return builder.finish();
}

std::size_t Payload::position(std::string_view key) const {
  const std::size_t count = size();
  for (std::size_t i = 0; i < count; ++i) {
    if (entry(i).key() == key) return i;
  }
  return count;
}

std::optional<PayloadValue> Payload::find(std::string_view key) const {
  const std::size_t at = position(key);
  if (at == size()) return std::nullopt;
  return entry(at).value();
}

void PayloadBuilder::reserve(std::size_t entries) {
  slots_.reserve(entries);
  tags_.reserve(entries);
}

std::size_t PayloadBuilder::position(std::string_view key) const {
  if (index_.empty()) {
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      if (key_at(i) == key) return i;
    }
    return slots_.size();
  }
  const std::size_t mask = index_.size() - 1;
  for (std::size_t i = std::hash<std::string_view>{}(key)&mask; index_[i] != 0; i = (i + 1) & mask) {
    if (key_at(index_[i] - 1) == key) return index_[i] - 1;
  }
  return slots_.size();
}

void PayloadBuilder::index_entry(std::size_t entry) {
  const std::size_t mask = index_.size() - 1;
  std::size_t i = std::hash<std::string_view>{}(key_at(entry)) & mask;
  while (index_[i] != 0) i = (i + 1) & mask;
  index_[i] = static_cast<std::uint32_t>(entry + 1);
}

std::uint32_t PayloadBuilder::append_text(std::string_view text) {
  const std::size_t offset = text_.size();
  if (text.size() > std::numeric_limits<std::uint32_t>::max() - offset) throw std::bad_alloc();
  text_.append(text);
  live_text_ += text.size();
  return static_cast<std::uint32_t>(offset);
}

void PayloadBuilder::add(std::string_view key, PayloadTag tag, std::uint64_t value) {
  const std::size_t at = position(key);
  if (at < slots_.size()) {
    if (is_string(tags_[at])) live_text_ -= static_cast<std::uint32_t>(slots_[at].value);
    slots_[at].value = value;
    tags_[at] = tag;
    return;
  }
  if (slots_.size() >= std::numeric_limits<std::uint32_t>::max() - 1) throw std::bad_alloc();
  const std::uint32_t key_offset = append_text(key);
  slots_.push_back(Slot{key_offset, static_cast<std::uint32_t>(key.size()), value});
  tags_.push_back(tag);
  const std::size_t count = slots_.size();
  if (count <= kLinearLimit) return;
  // The index keeps at most three quarters of its places filled.
  if (4 * count > 3 * index_.size()) {
    index_.assign(std::bit_ceil(2 * count), 0);
    for (std::size_t i = 0; i < count; ++i) index_entry(i);
  } else {
    index_entry(count - 1);
  }
}

void PayloadBuilder::add_string(std::string_view key, PayloadTag tag, std::string_view text) {
  const std::uint32_t offset = append_text(text);
  add(key, tag, std::uint64_t{offset} << 32 | text.size());
}

void PayloadBuilder::add_float(std::string_view key, double value) {
  add(key, FLOAT_TAG, std::bit_cast<std::uint64_t>(value));
}

void PayloadBuilder::add(std::string_view key, const PayloadValue& value) {
  switch (value.index()) {
    case KEYWORD_TAG:
      return add_string(key, KEYWORD_TAG, std::get<Keyword>(value).value);
    case TEXT_TAG:
      return add_string(key, TEXT_TAG, std::get<Text>(value).value);
    case INTEGER_TAG:
      return add_integer(key, std::get<std::int64_t>(value));
    default:
      return add_float(key, std::get<double>(value));
  }
}

Payload PayloadBuilder::finish() {
  const std::size_t count = slots_.size();
  // The index is done with: its memory goes before the block's comes.
  std::vector<std::uint32_t>().swap(index_);
  Payload payload;
  if (count > 0) {
    payload.block_ = ::operator new(sizeof(Header) + count * (sizeof(Slot) + sizeof(PayloadTag)) + live_text_);
    auto* header = static_cast<Header*>(payload.block_);
    *header = Header{static_cast<std::uint32_t>(count), NO_TENANT};
    auto* slots = reinterpret_cast<Slot*>(header + 1);
    auto* tags = reinterpret_cast<PayloadTag*>(slots + count);
    char* text = reinterpret_cast<char*>(tags + count);
    // The live text, entry by entry: keys and strings in order, replaced
    // strings left out.
    std::uint32_t used = 0;
    auto copy = [&](std::size_t offset, std::uint32_t length) {
      std::memcpy(text + used, text_.data() + offset, length);
      used += length;
      return used - length;
    };
    for (std::size_t i = 0; i < count; ++i) {
      const Slot& staged = slots_[i];
      Slot& slot = slots[i];
      slot.key_length = staged.key_length;
      slot.key_offset = copy(staged.key_offset, staged.key_length);
      slot.value = staged.value;
      if (is_string(tags_[i])) {
        const auto length = static_cast<std::uint32_t>(staged.value);
        slot.value = std::uint64_t{copy(staged.value >> 32, length)} << 32 | length;
        if (key_at(i) == kTenantKey) header->tenant = static_cast<std::uint32_t>(i);
      }
      tags[i] = tags_[i];
    }
  }
  slots_.clear();
  tags_.clear();
  text_.clear();
  live_text_ = 0;
  return payload;
}

}  // namespace quorbell
