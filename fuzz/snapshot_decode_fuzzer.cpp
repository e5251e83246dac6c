// libFuzzer target for the snapshot decoder: any byte string must decode to
// a state or fail with one of the decoder's errors, never crash, leak or
// allocate beyond the fuzzer's bound. A decoded state must survive a round
// trip through the encoder.
#include <cstddef>
#include <cstdint>
#include <span>

#include "storage/snapshot_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto decoded = quorbell::decode_snapshot(std::span<const std::uint8_t>(data, size));
  if (!decoded) return 0;
  const auto& state = decoded.value();
  const quorbell::ByteBuffer encoded = quorbell::encode_snapshot(state.points, state.index);
  auto again = quorbell::decode_snapshot(encoded);
  if (!again) __builtin_trap();
  // Entry order may change between encodings, the size never does.
  if (quorbell::encode_snapshot(again.value().points, again.value().index).size() != encoded.size()) {
    __builtin_trap();
  }
  return 0;
}
