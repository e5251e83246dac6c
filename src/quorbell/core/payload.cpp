#include "core/payload.h"

#include <algorithm>
#include <bit>
#include <unordered_map>

namespace quorbell {

PayloadValue payload_string(std::string text) {
  if (text.size() <= KEYWORD_MAX_BYTES) return Keyword{std::move(text)};
  return Text{std::move(text)};
}

Payload Payload::from_entries(std::vector<Entry> entries) {
  Payload payload;
  payload.entries_.reserve(entries.size());
  // Small maps dedupe by scanning; large ones through a hash index, so a
  // huge dict or a hostile snapshot cannot make this quadratic.
  constexpr std::size_t kLinearLimit = 16;
  if (entries.size() <= kLinearLimit) {
    for (auto& entry : entries) {
      auto same = std::find_if(payload.entries_.begin(), payload.entries_.end(),
                               [&](const Entry& e) { return e.first == entry.first; });
      if (same != payload.entries_.end()) {
        same->second = std::move(entry.second);
      } else {
        payload.entries_.push_back(std::move(entry));
      }
    }
    return payload;
  }
  std::unordered_map<std::string_view, std::size_t> position;
  position.reserve(entries.size());
  for (auto& entry : entries) {
    auto [it, inserted] = position.try_emplace(entry.first, payload.entries_.size());
    if (inserted) {
      payload.entries_.push_back(std::move(entry));
      // The view must point at the stored key, not the moved-from one.
      position.erase(it);
      position.emplace(payload.entries_.back().first, payload.entries_.size() - 1);
    } else {
      payload.entries_[it->second].second = std::move(entry.second);
    }
  }
  return payload;
}

const PayloadValue* Payload::find(std::string_view key) const {
  for (const auto& [k, v] : entries_) {
    if (k == key) return &v;
  }
  return nullptr;
}

bool Payload::operator==(const Payload& other) const {
  if (size() != other.size()) return false;
  for (const auto& [k, v] : entries_) {
    const PayloadValue* theirs = other.find(k);
    if (theirs == nullptr) return false;
    // Floats compare by bit pattern so NaN payloads round-trip as equal.
    if (v.index() == 3 && theirs->index() == 3) {
      if (std::bit_cast<std::uint64_t>(std::get<3>(v)) !=
          std::bit_cast<std::uint64_t>(std::get<3>(*theirs)))
        return false;
    } else if (!(v == *theirs)) {
      return false;
    }
  }
  return true;
}

const std::string* tenant_of(const Payload* payload) {
  if (payload == nullptr) return nullptr;
  const PayloadValue* value = payload->find("tenant_id");
  if (value == nullptr) return nullptr;
  if (const auto* keyword = std::get_if<Keyword>(value)) return &keyword->value;
  if (const auto* text = std::get_if<Text>(value)) return &text->value;
  return nullptr;
}

}  // namespace quorbell
