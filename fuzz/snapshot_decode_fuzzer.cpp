// libFuzzer target for the snapshot decoder: any byte string must decode to
// a state or fail with one of the decoder's errors, never crash, leak or
// allocate beyond the fuzzer's bound, and decoding it streamed in small
// pieces must give the same outcome. A decoded state must survive a round
// trip through the encoder.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "storage/snapshot_codec.h"

namespace {

// Hands out the input in pieces of 1 to 7 bytes, its length unknown, as a
// pipe might.
class PieceSource final : public quorbell::ByteSource {
 public:
  explicit PieceSource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::optional<std::size_t> read(std::span<std::uint8_t> into) override {
    const std::size_t n = std::min({into.size(), bytes_.size(), 1 + bytes_.size() % 7});
    std::copy_n(bytes_.begin(), n, into.begin());
    bytes_ = bytes_.subspan(n);
    return n;
  }
  std::optional<std::uint64_t> bytes_left() const override { return std::nullopt; }

 private:
  std::span<const std::uint8_t> bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  auto decoded = quorbell::decode_snapshot(input);
  PieceSource source(input);
  auto streamed = quorbell::decode_snapshot(source);
  if (streamed.ok() != decoded.ok()) __builtin_trap();
  if (!decoded) {
    if (streamed.error().message.view() != decoded.error().message.view()) __builtin_trap();
    return 0;
  }
  const auto& state = decoded.value();
  const quorbell::ByteBuffer encoded = quorbell::encode_snapshot(state.points, state.index);
  if (quorbell::encode_snapshot(streamed.value().points, streamed.value().index).size() != encoded.size()) {
    __builtin_trap();
  }
  auto again = quorbell::decode_snapshot(encoded);
  if (!again) __builtin_trap();
  // Entry order may change between encodings, the size never does.
  if (quorbell::encode_snapshot(again.value().points, again.value().index).size() != encoded.size()) {
    __builtin_trap();
  }
  return 0;
}
