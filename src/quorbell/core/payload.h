// The stored records: a point's payload values, its payload map and the
// Point itself as handed to the store.
#pragma once

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

// The variant index is the value's tag in the snapshot format:
// 0 Keyword, 1 Text, 2 Integer, 3 Float.
using PayloadValue = std::variant<Keyword, Text, std::int64_t, double>;

// Classifies a string by its UTF-8 byte length.
PayloadValue payload_string(std::string text);

// A payload map. Keys are unique; the iteration order is unspecified (it
// is the order in which keys were first inserted).
class Payload {
 public:
  using Entry = std::pair<std::string, PayloadValue>;

  Payload() = default;
  // Builds a map from entries in order; a repeated key replaces the value
  // stored under it earlier.
  static Payload from_entries(std::vector<Entry> entries);

  const PayloadValue* find(std::string_view key) const;
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

  bool operator==(const Payload& other) const;  // equal as maps

 private:
  std::vector<Entry> entries_;
};

struct Point {
  std::uint64_t id = 0;
  std::vector<float> vector;
  std::optional<Payload> payload;
};

// The payload's tenant: its "tenant_id" when that is a Keyword or Text,
// else nullptr.
const std::string* tenant_of(const Payload* payload);

// Whether a payload passes the tenant filter: without a tenant everything
// passes; with one, the payload must hold "tenant_id" as a Keyword or Text
// byte-equal to it.
// Inline: every point a search scores asks, and most searches have no tenant.
inline bool tenant_matches(const Payload* payload, const std::string* tenant) {
  if (tenant == nullptr) return true;
  const std::string* own = tenant_of(payload);
  return own != nullptr && *own == *tenant;
}

}  // namespace quorbell
