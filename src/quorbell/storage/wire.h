// Encoding primitives of the snapshot format, all in one place.
//
//   unsigned integer  LEB128 varint: 7 value bits per byte, low group first,
//                     top bit set on every byte but the last; 1 to 10 bytes
//   signed integer    zigzag (0, -1, 1, -2 -> 0, 1, 2, 3), then varint
//   f32 / f64         raw IEEE bit pattern, little-endian
//   optional          tag byte 0x00 (absent) or 0x01 (a value follows)
//   string            varint byte length, then the UTF-8 bytes
//
// WireSizer and WireWriter share one interface, so a single encoding routine
// can first measure its output and then write it into an exact buffer.
// WireReader reports a fault as a WireError; decoding stops at the first.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
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

inline std::size_t varint_length(std::uint64_t value) {
  return static_cast<std::size_t>(std::bit_width(value | 1) + 6) / 7;
}

inline std::uint64_t zigzag_encode(std::int64_t value) {
  return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
}

inline std::int64_t zigzag_decode(std::uint64_t value) {
  return static_cast<std::int64_t>((value >> 1) ^ (0 - (value & 1)));
}

// Counts the bytes an encoding will take.
class WireSizer {
 public:
  void byte(std::uint8_t) { size_ += 1; }
  void varint(std::uint64_t value) { size_ += varint_length(value); }
  void zigzag(std::int64_t value) { varint(zigzag_encode(value)); }
  void floats(std::span<const float> values) { size_ += values.size_bytes(); }
  void f64(double) { size_ += sizeof(double); }
  void string(std::string_view text) {
    varint(text.size());
    size_ += text.size();
  }

  std::size_t size() const { return size_; }

 private:
  std::size_t size_ = 0;
};

// Writes an encoding into a buffer the caller has sized with WireSizer.
class WireWriter {
 public:
  explicit WireWriter(std::uint8_t* out) : out_(out) {}

  void byte(std::uint8_t value) { *out_++ = value; }
  void varint(std::uint64_t value) {
    while (value >= 0x80) {
      *out_++ = static_cast<std::uint8_t>(value | 0x80);
      value >>= 7;
    }
    *out_++ = static_cast<std::uint8_t>(value);
  }
  void zigzag(std::int64_t value) { varint(zigzag_encode(value)); }
  void floats(std::span<const float> values);
  void f64(double value) { little_endian(std::bit_cast<std::uint64_t>(value)); }
  void string(std::string_view text) {
    varint(text.size());
    if (!text.empty()) std::memcpy(out_, text.data(), text.size());
    out_ += text.size();
  }

  std::uint8_t* position() const { return out_; }

 private:
  template <class U>
  void little_endian(U bits) {
    for (std::size_t i = 0; i < sizeof(U); ++i) *out_++ = static_cast<std::uint8_t>(bits >> (8 * i));
  }

  std::uint8_t* out_;
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
