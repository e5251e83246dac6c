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
#include <memory>
#include <optional>
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
  Trailing,    // bytes after the end of the encoding
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

// Where a streamed WireReader's bytes come from, such as a file.
class ByteSource {
 public:
  // Reads the next bytes into `into` (never empty) and says how many, 0 at
  // the end of the input; nullopt when reading failed, whose reason the
  // source keeps for its owner.
  virtual std::optional<std::size_t> read(std::span<std::uint8_t> into) = 0;
  // At most how many bytes are still to come, when the source knows.
  virtual std::optional<std::uint64_t> bytes_left() const = 0;

 protected:
  ~ByteSource() = default;
};

// Reads items from the front of a byte span, or from a source through a
// buffer of fixed size. Every read returns false on a fault and leaves the
// fault in error(); the caller then stops reading. A failed read of the
// source counts as the end of the data.
//
// Floats or a string whose declared count the bytes left cannot hold fail
// before any storage is allocated for them; where that bound is unknown (a
// pipe), their storage grows as their bytes arrive.
class WireReader {
 public:
  explicit WireReader(std::span<const std::uint8_t> bytes) : next_(bytes.data()), end_(bytes.data() + bytes.size()) {}
  // buffer_bytes must hold the longest fixed-size item (a 10-byte varint).
  WireReader(ByteSource& source, std::size_t buffer_bytes);

  // At most how many bytes are left; the largest value when unknown.
  std::uint64_t remaining_bound() const;
  // How many of `count` declared items, each encoded in at least
  // encoded_bytes, to make room for up front: all when the bytes left can
  // hold them, none when they cannot, and what fits in 1 MiB of items of
  // item_bytes when the bytes left are unknown.
  std::size_t reservable(std::uint64_t count, std::size_t encoded_bytes, std::size_t item_bytes) const;
  WireError error() const { return error_; }
  // Whether the input ends exactly here: nothing buffered, and a read of
  // the source finds its end.
  [[nodiscard]] bool at_end();

  [[nodiscard]] bool varint(std::uint64_t& out) {
    // Fast path for the one-byte values that dominate a snapshot.
    if (next_ != end_ && *next_ < 0x80) {
      out = *next_++;
      return true;
    }
    return bounded_varint(10, 0x01, out);
  }
  // An enum index: a varint of at most 32 bits, below variant_count.
  [[nodiscard]] bool variant_index(std::uint32_t variant_count, std::uint32_t& out);
  [[nodiscard]] bool zigzag(std::int64_t& out) {
    std::uint64_t raw;
    if (!varint(raw)) return false;
    out = zigzag_decode(raw);
    return true;
  }
  [[nodiscard]] bool option_tag(bool& present);
  // Replaces out with count floats.
  [[nodiscard]] bool floats(std::uint64_t count, std::vector<float>& out);
  [[nodiscard]] bool f64(double& out);
  [[nodiscard]] bool string(std::string& out);

 private:
  bool fail(WireError error) {
    error_ = error;
    return false;
  }
  std::size_t buffered() const { return static_cast<std::size_t>(end_ - next_); }
  // Makes at least count bytes buffered (count at most the buffer's size);
  // false when the input ends first.
  bool fill(std::size_t count);
  // Appends count bytes of the input to out, in pieces of whole units of
  // unit bytes, each passed to append(out, bytes) as it arrives.
  template <class Out, class Append>
  bool pieces(std::uint64_t count, std::size_t unit, Out& out, Append append);
  // Reads an unsigned varint of at most max_bytes bytes whose last byte may
  // be at most max_last_byte.
  bool bounded_varint(std::size_t max_bytes, std::uint8_t max_last_byte, std::uint64_t& out);

  const std::uint8_t* next_;
  const std::uint8_t* end_;
  ByteSource* source_ = nullptr;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t buffer_bytes_ = 0;
  WireError error_ = WireError::EndOfData;
};

}  // namespace quorbell
