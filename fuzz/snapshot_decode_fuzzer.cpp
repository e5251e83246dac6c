// libFuzzer target for the snapshot decoder: any byte string must decode to
// a state or fail with one of the decoder's errors, never crash, leak or
// allocate beyond the fuzzer's bound, and decoding it streamed in small
// pieces must give the same outcome. A decoded state must survive a round
// trip through the encoder, and the operations a user runs after a load:
// its graph holds together before and after each.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "index/search.h"
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

void require_sound(const quorbell::SnapshotState& state) {
  if (!state.index.check(state.points, false).empty()) __builtin_trap();
}

// Upserts a few points (a new id, a re-upsert, the entry point's id) into
// the decoded state, and searches with and without a tenant after each,
// through the routing and through the graph query itself.
void exercise(quorbell::SnapshotState& state, std::span<const std::uint8_t> input) {
  using quorbell::Metric;
  require_sound(state);
  std::uint64_t largest = 0;
  std::size_t length = 2;
  std::vector<std::uint64_t> ids;
  state.points.for_each([&](std::uint64_t key, const quorbell::PointView& point) {
    if (ids.empty()) {
      ids.push_back(key);
      length = point.vector.size();
    }
    largest = std::max(largest, key);
  });
  ids.push_back(largest + 1);
  if (state.index.entry_point) ids.push_back(*state.index.entry_point);
  const std::string tenant = "t";
  for (std::size_t k = 0; k < ids.size(); ++k) {
    std::vector<float> vector(length);
    for (std::size_t j = 0; j < length; ++j) {
      vector[j] = static_cast<float>(input.empty() ? 1 : input[(j + k) % input.size()]) - 100.0f;
    }
    auto payload = quorbell::Payload::from_entries({{"tenant_id", quorbell::payload_string(tenant)}});
    const auto stored = state.points.upsert(ids[k], vector, std::move(payload));
    state.index.insert(ids[k], stored.slot, state.points);
    state.points.commit(stored);
    require_sound(state);
    for (const std::string* filter : {static_cast<const std::string*>(nullptr), &tenant}) {
      (void)quorbell::search_points(vector, 3, Metric::Cosine, state.points, state.index, filter);
      if (state.index.entry_point) (void)state.index.search_knn(vector, state.points, filter);
    }
  }
}

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
  auto& state = decoded.value();
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
  exercise(state, input);
  auto reloaded = quorbell::decode_snapshot(quorbell::encode_snapshot(state.points, state.index));
  if (!reloaded) __builtin_trap();
  require_sound(reloaded.value());
  return 0;
}
