#include "storage/wire.h"

#include <limits>

#include "core/fixed_texts.h"

namespace quorbell {

// The decoder's messages are deliberately fixed, for compatibility with
// callers that match on them; several faults of one kind share a text.
std::string_view wire_error_text(WireError error) {
  switch (error) {
    case WireError::EndOfData:
      return END_OF_DATA;
    case WireError::BadVarint:
      return BAD_VARINT;
    case WireError::BadUtf8:
      return BAD_UTF8;
    case WireError::BadOption:
      return BAD_OPTION;
    case WireError::BadVariant:
      return BAD_VARIANT;
    case WireError::Trailing:
      return TRAILING_BYTES;
  }
  return BAD_VARIANT;
}

bool is_valid_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    const unsigned char lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    // The allowed range of the second byte narrows for the leads whose
    // sequences would otherwise be overlong, surrogates or above U+10FFFF.
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < length) return false;
    if (p[1] < low || p[1] > high) return false;
    for (std::size_t i = 2; i < length; ++i) {
      if (p[i] < 0x80 || p[i] > 0xBF) return false;
    }
    p += length;
  }
  return true;
}

namespace {
// Room reserved up front for a collection when the bytes left are unknown;
// beyond it, storage grows as the items arrive.
constexpr std::size_t kBlindReservationBytes = std::size_t{1} << 20;
}  // namespace

WireReader::WireReader(ByteSource& source, std::size_t buffer_bytes)
    : next_(nullptr),
      end_(nullptr),
      source_(&source),
      buffer_(new std::uint8_t[buffer_bytes]),
      buffer_bytes_(buffer_bytes) {
  next_ = end_ = buffer_.get();
}

std::uint64_t WireReader::remaining_bound() const {
  constexpr std::uint64_t kUnknown = std::numeric_limits<std::uint64_t>::max();
  if (source_ == nullptr) return buffered();
  const std::optional<std::uint64_t> left = source_->bytes_left();
  if (!left || *left > kUnknown - buffered()) return kUnknown;
  return buffered() + *left;
}

bool WireReader::fill(std::size_t count) {
  if (buffered() >= count) return true;
  if (source_ == nullptr) return false;
  // What is left of a partly read item moves to the front.
  const std::size_t kept = buffered();
  std::memmove(buffer_.get(), next_, kept);
  next_ = buffer_.get();
  std::uint8_t* filled = buffer_.get() + kept;
  while (static_cast<std::size_t>(filled - next_) < count) {
    const std::optional<std::size_t> read =
        source_->read(std::span<std::uint8_t>(filled, buffer_bytes_ - static_cast<std::size_t>(filled - next_)));
    if (!read || *read == 0) break;
    filled += *read;
  }
  end_ = filled;
  return buffered() >= count;
}

std::size_t WireReader::reservable(std::uint64_t count, std::size_t encoded_bytes, std::size_t item_bytes) const {
  const std::uint64_t bound = remaining_bound();
  if (bound == std::numeric_limits<std::uint64_t>::max()) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, kBlindReservationBytes / item_bytes));
  }
  return count <= bound / encoded_bytes ? static_cast<std::size_t>(count) : 0;
}

bool WireReader::at_end() { return buffered() == 0 && !fill(1); }

template <class Out, class Append>
bool WireReader::pieces(std::uint64_t count, std::size_t unit, Out& out, Append append) {
  if (count > remaining_bound() / unit) return fail(WireError::EndOfData);
  out.clear();
  out.reserve(reservable(count, unit, unit));
  for (std::uint64_t left = count; left > 0;) {
    if (!fill(unit)) return fail(WireError::EndOfData);
    const auto units = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffered() / unit));
    append(out, next_, units);
    next_ += units * unit;
    left -= units;
  }
  return true;
}

bool WireReader::bounded_varint(std::size_t max_bytes, std::uint8_t max_last_byte, std::uint64_t& out) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < max_bytes; ++i) {
    if (!fill(1)) return fail(WireError::EndOfData);
    const std::uint8_t byte = *next_++;
    value |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * i);
    if ((byte & 0x80) == 0) {
      if (i == max_bytes - 1 && byte > max_last_byte) return fail(WireError::BadVarint);
      out = value;
      return true;
    }
  }
  return fail(WireError::BadVarint);
}

bool WireReader::variant_index(std::uint32_t variant_count, std::uint32_t& out) {
  std::uint64_t value;
  if (!bounded_varint(5, 0x0F, value)) return false;
  if (value >= variant_count) return fail(WireError::BadVariant);
  out = static_cast<std::uint32_t>(value);
  return true;
}

bool WireReader::option_tag(bool& present) {
  if (!fill(1)) return fail(WireError::EndOfData);
  const std::uint8_t tag = *next_++;
  if (tag > 1) return fail(WireError::BadOption);
  present = tag == 1;
  return true;
}

bool WireReader::floats(std::uint64_t count, std::vector<float>& out) {
  return pieces(count, sizeof(float), out, [](std::vector<float>& to, const std::uint8_t* bytes, std::size_t n) {
    const std::size_t at = to.size();
    to.resize(at + n);
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(to.data() + at, bytes, n * sizeof(float));
    } else {
      for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t bits = 0;
        for (std::size_t b = 0; b < sizeof(float); ++b) bits |= std::uint32_t{bytes[i * sizeof(float) + b]} << (8 * b);
        to[at + i] = std::bit_cast<float>(bits);
      }
    }
  });
}

bool WireReader::f64(double& out) {
  if (!fill(sizeof(double))) return fail(WireError::EndOfData);
  std::uint64_t bits = 0;
  for (std::size_t b = 0; b < sizeof(double); ++b) bits |= std::uint64_t{*next_++} << (8 * b);
  out = std::bit_cast<double>(bits);
  return true;
}

bool WireReader::string(std::string& out) {
  std::uint64_t length;
  if (!varint(length)) return false;
  const bool complete = pieces(length, 1, out, [](std::string& to, const std::uint8_t* bytes, std::size_t n) {
    to.append(reinterpret_cast<const char*>(bytes), n);
  });
  if (!complete) return false;
  if (!is_valid_utf8(out)) return fail(WireError::BadUtf8);
  return true;
}

}  // namespace quorbell
