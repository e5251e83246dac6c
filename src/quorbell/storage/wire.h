// Encoding primitives of the snapshot format, all in one place.
//
//   unsigned integer  LEB128 varint: 7 value bits per byte, low group first,
//                     top bit set on every byte but the last; 1 to 10 bytes
//   signed integer    zigzag (0, -1, 1, -2 -> 0, 1, 2, 3), then varint
//   f32 / f64         raw IEEE bit pattern, little-endian
//   optional          tag byte 0x00 (absent) or 0x01 (a value follows)
//   string            varint byte length, then the UTF-8 bytes
//
// WireReader reports a fault as a WireError; decoding stops at the first.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorbell {

enum class WireError {
  EndOfData,   // the bytes end inside an item
  BadVarint,   // a varint longer than its type allows
  BadUtf8,     // a string that is not valid UTF-8
  BadOption,   // an optional tag other than 0x00 or 0x01
  BadVariant,  // an enum index the type does not have
};

// The decoder's fixed text for each fault.
std::string_view wire_error_text(WireError error);

// Whether bytes are well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

inline std::uint64_t zigzag_encode(std::int64_t value) {
  return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
}

inline std::int64_t zigzag_decode(std::uint64_t value) {
  return static_cast<std::int64_t>((value >> 1) ^ (0 - (value & 1)));
}

// Writes items through a fixed buffer, handing the filled part to
// flush(std::span<const std::uint8_t>) whenever an item does not fit and
// once more at finish(), so any encoding passes through a buffer of the
// same small size.
template <class Flush>
class WireWriter {
 public:
  WireWriter(std::span<std::uint8_t> buffer, Flush flush)
      : begin_(buffer.data()), next_(buffer.data()), end_(buffer.data() + buffer.size()), flush_(std::move(flush)) {}

  void byte(std::uint8_t value) {
    room(1);
    *next_++ = value;
  }
  void varint(std::uint64_t value) {
    room(10);
    while (value >= 0x80) {
      *next_++ = static_cast<std::uint8_t>(value | 0x80);
      value >>= 7;
    }
    *next_++ = static_cast<std::uint8_t>(value);
  }
  void zigzag(std::int64_t value) { varint(zigzag_encode(value)); }
  void floats(std::span<const float> values) {
    if constexpr (std::endian::native == std::endian::little) {
      raw(values.data(), values.size_bytes());
    } else {
      for (float value : values) little_endian(std::bit_cast<std::uint32_t>(value));
    }
  }
  void f64(double value) { little_endian(std::bit_cast<std::uint64_t>(value)); }
  void string(std::string_view text) {
    varint(text.size());
    raw(text.data(), text.size());
  }

  // Hands over what is still buffered.
  void finish() { flush(); }

 private:
  void flush() {
    if (next_ != begin_) flush_(std::span<const std::uint8_t>(begin_, next_));
    next_ = begin_;
  }
  void room(std::size_t bytes) {
    if (static_cast<std::size_t>(end_ - next_) < bytes) flush();
  }
  void raw(const void* data, std::size_t size) {
    const auto* from = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
      if (next_ == end_) flush();
      const std::size_t part = std::min(size, static_cast<std::size_t>(end_ - next_));
      std::memcpy(next_, from, part);
      next_ += part;
      from += part;
      size -= part;
    }
  }
  template <class U>
  void little_endian(U bits) {
    room(sizeof(U));
    for (std::size_t i = 0; i < sizeof(U); ++i) *next_++ = static_cast<std::uint8_t>(bits >> (8 * i));
  }

  std::uint8_t* const begin_;
  std::uint8_t* next_;
  std::uint8_t* const end_;
  Flush flush_;
};

// Reads items from the front of a byte span. Every read returns false on a
// fault and leaves the fault in error(); the caller then stops reading.
class WireReader {
 public:
  explicit WireReader(std::span<const std::uint8_t> bytes)
      : next_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  std::size_t remaining() const { return static_cast<std::size_t>(end_ - next_); }
  WireError error() const { return error_; }

  [[nodiscard]] bool varint(std::uint64_t& out);
  // An enum index: a varint of at most 32 bits, below variant_count.
  [[nodiscard]] bool variant_index(std::uint32_t variant_count, std::uint32_t& out);
  [[nodiscard]] bool zigzag(std::int64_t& out) {
    std::uint64_t raw;
    if (!varint(raw)) return false;
    out = zigzag_decode(raw);
    return true;
  }
  [[nodiscard]] bool option_tag(bool& present);
  // Replaces out with count floats. A count the remaining bytes cannot hold
  // fails before out is resized, so a corrupt count allocates nothing.
  [[nodiscard]] bool floats(std::uint64_t count, std::vector<float>& out);
  [[nodiscard]] bool f64(double& out);
  [[nodiscard]] bool string(std::string& out);

 private:
  bool fail(WireError error) {
    error_ = error;
    return false;
  }
  // Reads an unsigned varint of at most max_bytes bytes whose last byte may
  // be at most max_last_byte.
  bool bounded_varint(std::size_t max_bytes, std::uint8_t max_last_byte, std::uint64_t& out);

  const std::uint8_t* next_;
  const std::uint8_t* end_;
  WireError error_ = WireError::EndOfData;
};

}  // namespace quorbell
