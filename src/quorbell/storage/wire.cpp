#include "storage/wire.h"

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

bool WireReader::bounded_varint(std::size_t max_bytes, std::uint8_t max_last_byte,
                                std::uint64_t& out) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < max_bytes; ++i) {
    if (next_ == end_) return fail(WireError::EndOfData);
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

bool WireReader::varint(std::uint64_t& out) {
  // Fast path for the one-byte values that dominate a snapshot.
  if (next_ != end_ && *next_ < 0x80) {
    out = *next_++;
    return true;
  }
  return bounded_varint(10, 0x01, out);
}

bool WireReader::variant_index(std::uint32_t variant_count, std::uint32_t& out) {
  std::uint64_t value;
  if (!bounded_varint(5, 0x0F, value)) return false;
  if (value >= variant_count) return fail(WireError::BadVariant);
  out = static_cast<std::uint32_t>(value);
  return true;
}

bool WireReader::option_tag(bool& present) {
  if (next_ == end_) return fail(WireError::EndOfData);
  const std::uint8_t tag = *next_++;
  if (tag > 1) return fail(WireError::BadOption);
  present = tag == 1;
  return true;
}

bool WireReader::floats(std::uint64_t count, std::vector<float>& out) {
  if (count > remaining() / sizeof(float)) return fail(WireError::EndOfData);
  out.resize(static_cast<std::size_t>(count));
  if constexpr (std::endian::native == std::endian::little) {
    if (!out.empty()) std::memcpy(out.data(), next_, out.size() * sizeof(float));
    next_ += out.size() * sizeof(float);
  } else {
    for (float& value : out) {
      std::uint32_t bits = 0;
      for (std::size_t b = 0; b < sizeof(float); ++b) bits |= std::uint32_t{*next_++} << (8 * b);
      value = std::bit_cast<float>(bits);
    }
  }
  return true;
}

bool WireReader::f64(double& out) {
  if (remaining() < sizeof(double)) return fail(WireError::EndOfData);
  std::uint64_t bits = 0;
  for (std::size_t b = 0; b < sizeof(double); ++b) bits |= std::uint64_t{*next_++} << (8 * b);
  out = std::bit_cast<double>(bits);
  return true;
}

bool WireReader::string(std::string& out) {
  std::uint64_t length;
  if (!varint(length)) return false;
  if (length > remaining()) return fail(WireError::EndOfData);
  const std::string_view bytes(reinterpret_cast<const char*>(next_), static_cast<std::size_t>(length));
  if (!is_valid_utf8(bytes)) return fail(WireError::BadUtf8);
  out.assign(bytes);
  next_ += length;
  return true;
}

}  // namespace quorbell
