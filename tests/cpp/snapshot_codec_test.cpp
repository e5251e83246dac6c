#include "storage/snapshot_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "core/fixed_texts.h"
#include "equality.h"
#include "storage/wire.h"

namespace quorbell {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Which fault gives which text. The words themselves are pinned once, with
// every other text callers see, in tests/python/pinned_texts.py.
const std::string kEndOfData = END_OF_DATA;
const std::string kBadVarint = BAD_VARINT;
const std::string kBadUtf8 = BAD_UTF8;
const std::string kBadOption = BAD_OPTION;
const std::string kBadVariant = BAD_VARIANT;
const std::string kTrailing = TRAILING_BYTES;

Bytes encode(const PointStore& points, const HNSWIndex& index) {
  ByteBuffer bytes = encode_snapshot(points, index);
  return Bytes(bytes.begin(), bytes.end());
}
Bytes encode(const SnapshotState& state) { return encode(state.points, state.index); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// The index fields of a new store: m 16, ef_construction 64, ef_search 32,
// no entry point, max_level 0, no nodes.
const Bytes kDefaultIndex{0x10, 0x40, 0x20, 0x00, 0x00, 0x00};

// A comparable picture of a state: vectors by bit pattern, so NaN payloads
// and signed zeros count.
struct PointPicture {
  std::uint64_t id;
  std::vector<std::uint32_t> bits;
  std::optional<Payload> payload;
  bool operator==(const PointPicture&) const = default;
};
struct StatePicture {
  std::map<std::uint64_t, PointPicture> points;
  std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::optional<std::uint64_t>, std::uint64_t> fields;
  std::map<std::uint64_t, HNSWNode> nodes;
  bool operator==(const StatePicture&) const = default;
};

StatePicture picture(const PointStore& points, const HNSWIndex& index) {
  StatePicture out;
  points.for_each([&](std::uint64_t key, const PointView& p) {
    PointPicture pp{p.id, {}, p.payload ? std::optional<Payload>(*p.payload) : std::nullopt};
    for (float f : p.vector) pp.bits.push_back(std::bit_cast<std::uint32_t>(f));
    out.points.emplace(key, std::move(pp));
  });
  out.fields = {index.m, index.ef_construction, index.ef_search, index.entry_point, index.max_level};
  index.for_each_node([&](std::uint64_t key, const HNSWNode& node) { out.nodes.emplace(key, node); });
  return out;
}
StatePicture picture(const SnapshotState& state) { return picture(state.points, state.index); }

// Hands out the bytes one to three at a time, as a pipe might, with no
// known length.
class TrickleSource final : public ByteSource {
 public:
  explicit TrickleSource(const Bytes& bytes) : bytes_(bytes) {}
  std::optional<std::size_t> read(std::span<std::uint8_t> into) override {
    const std::size_t n = std::min({into.size(), bytes_.size() - at_, 1 + at_ % 3});
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), n, into.begin());
    at_ += n;
    return n;
  }
  std::optional<std::uint64_t> bytes_left() const override { return std::nullopt; }

 private:
  const Bytes& bytes_;
  std::size_t at_ = 0;
};

// Decodes bytes whole, and streamed from a TrickleSource, which must agree.
Result<SnapshotState> decode_both_ways(const Bytes& bytes) {
  auto whole = decode_snapshot(bytes);
  TrickleSource source(bytes);
  auto streamed = decode_snapshot(source);
  EXPECT_EQ(streamed.ok(), whole.ok());
  if (whole.ok() && streamed.ok()) {
    EXPECT_EQ(picture(streamed.value()), picture(whole.value()));
  } else if (!whole.ok() && !streamed.ok()) {
    EXPECT_EQ(streamed.error().message, whole.error().message);
  }
  return whole;
}

SnapshotState decode_ok(const Bytes& bytes) {
  auto decoded = decode_both_ways(bytes);
  EXPECT_TRUE(decoded.ok()) << decoded.error().message.view();
  return std::move(decoded).value();
}

std::string decode_error(const Bytes& bytes) {
  auto decoded = decode_both_ways(bytes);
  if (decoded.ok()) return "decoded without error";
  EXPECT_EQ(decoded.error().kind, ErrorKind::Snapshot);
  return std::string(decoded.error().message);
}

HNSWNode node_with(std::uint64_t id, std::vector<std::vector<std::uint64_t>> layers) {
  HNSWNode node{id, {}};
  for (std::size_t layer = 0; layer < layers.size(); ++layer) node.neighbors[layer] = layers[layer];
  return node;
}

// The worked example: point 7, vector (1, 2), payload {tenant_id: "a"},
// its node at level 0 and the entry point.
SnapshotState worked_example() {
  SnapshotState state;
  state.points.upsert(7, std::vector<float>{1.0f, 2.0f}, Payload::from_entries({{"tenant_id", Keyword{"a"}}}));
  state.index.entry_point = 7;
  state.index.test_put_node(7, node_with(7, {}), state.points);
  return state;
}

const Bytes kWorkedExample = concat({
    {0x01, 0x07, 0x07, 0x02, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40, 0x01, 0x01},
    {0x09, 0x74, 0x65, 0x6E, 0x61, 0x6E, 0x74, 0x5F, 0x69, 0x64},
    {0x00, 0x01, 0x61, 0x10, 0x40, 0x20, 0x01, 0x07, 0x00, 0x01, 0x07, 0x07},
    Bytes(16, 0x00),
});
// Offsets of single items inside the worked example.
constexpr std::size_t kPayloadTagAt = 12;
constexpr std::size_t kKeyFirstByteAt = 15;
constexpr std::size_t kVariantAt = 24;
constexpr std::size_t kEntryPointTagAt = 30;

// A state that uses every item of the format: several points, every
// payload kind, an absent and an empty payload, keys that differ from ids,
// odd and empty vectors, an index with changed parameters and long lists.
SnapshotState rich_state() {
  SnapshotState state;
  state.points.upsert(1, std::vector<float>{0.5f, -0.0f, std::numeric_limits<float>::quiet_NaN()},
                      Payload::from_entries({{"kw", Keyword{"x"}},
                                             {"text", Text{std::string(70, 't')}},
                                             {"neg", std::int64_t{-3}},
                                             {"big", std::numeric_limits<std::int64_t>::min()},
                                             {"f", 0.25},
                                             {"nan", std::bit_cast<double>(0x7FF8000000000123ull)}}));
  state.points.set_foreign_id(state.points.upsert(300, std::vector<float>{}, Payload{}).slot, 301);
  state.points.set_foreign_id(state.points.upsert(~0ull, std::vector<float>(7, 1e-38f), std::nullopt).slot, 5);
  state.index.m = 8;
  state.index.ef_construction = 200;
  state.index.ef_search = 0;
  state.index.entry_point = ~0ull;
  state.index.max_level = 20;
  state.index.test_put_node(1, node_with(1, {{300, 300, 1}, {}, {~0ull}}), state.points);
  std::vector<std::vector<std::uint64_t>> all_layers(16);
  for (std::size_t layer = 0; layer < 16; ++layer) all_layers[layer].assign(layer + 1, 1ull << (4 * layer));
  state.index.test_put_node(300, node_with(299, all_layers), state.points);
  return state;
}

TEST(SnapshotEncoding, EmptyStoreIsSevenBytes) {
  SnapshotState empty;
  EXPECT_EQ(encode(empty), (Bytes{0x00, 0x10, 0x40, 0x20, 0x00, 0x00, 0x00}));
  SnapshotState decoded = decode_ok({0x00, 0x10, 0x40, 0x20, 0x00, 0x00, 0x00});
  EXPECT_EQ(picture(decoded), picture(empty));
  EXPECT_EQ(decoded.points.size(), 0u);
  EXPECT_EQ(decoded.index.node_count(), 0u);
}

TEST(SnapshotEncoding, WorkedExampleIsFiftyTwoBytes) {
  ASSERT_EQ(kWorkedExample.size(), 52u);
  EXPECT_EQ(encode(worked_example()), kWorkedExample);
  EXPECT_EQ(picture(decode_ok(kWorkedExample)), picture(worked_example()));
}

TEST(SnapshotEncoding, NodeWithOneLink) {
  SnapshotState state;
  state.index.test_put_node(300, node_with(300, {{7}}), state.points);
  const Bytes expected =
      concat({{0x00, 0x10, 0x40, 0x20, 0x00, 0x00, 0x01}, {0xAC, 0x02, 0xAC, 0x02, 0x01, 0x07}, Bytes(15, 0x00)});
  EXPECT_EQ(encode(state), expected);
  EXPECT_EQ(picture(decode_ok(expected)), picture(state));
}

struct PayloadCase {
  const char* name;
  std::optional<Payload> payload;
  Bytes written;  // from the payload tag on
};

class PayloadEncoding : public ::testing::TestWithParam<PayloadCase> {};

TEST_P(PayloadEncoding, WritesAndReadsBack) {
  SnapshotState state;
  state.points.upsert(1, std::vector<float>{}, GetParam().payload);
  const Bytes expected = concat({{0x01, 0x01, 0x01, 0x00}, GetParam().written, kDefaultIndex});
  EXPECT_EQ(encode(state), expected);
  EXPECT_EQ(picture(decode_ok(expected)), picture(state));
}

Bytes one_entry(Bytes value) { return concat({{0x01, 0x01, 0x01, 'k'}, value}); }

INSTANTIATE_TEST_SUITE_P(
    Kinds, PayloadEncoding,
    ::testing::Values(
        PayloadCase{"Absent", std::nullopt, {0x00}}, PayloadCase{"PresentEmpty", Payload{}, {0x01, 0x00}},
        PayloadCase{"IntegerMinusThree", Payload::from_entries({{"k", std::int64_t{-3}}}), one_entry({0x02, 0x05})},
        PayloadCase{"Integer300", Payload::from_entries({{"k", std::int64_t{300}}}), one_entry({0x02, 0xD8, 0x04})},
        PayloadCase{"IntegerMin", Payload::from_entries({{"k", std::numeric_limits<std::int64_t>::min()}}),
                    one_entry({0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01})},
        PayloadCase{"FloatHalf", Payload::from_entries({{"k", 0.5}}),
                    one_entry({0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0x3F})},
        PayloadCase{"Text65", Payload::from_entries({{"k", Text{std::string(65, 'x')}}}),
                    one_entry(concat({{0x01, 0x41}, Bytes(65, 'x')}))},
        // The reader keeps the variant it finds, whatever the string's length.
        PayloadCase{"LongKeyword", Payload::from_entries({{"k", Keyword{std::string(100, 'x')}}}),
                    one_entry(concat({{0x00, 0x64}, Bytes(100, 'x')}))},
        PayloadCase{"ShortText", Payload::from_entries({{"k", Text{"y"}}}), one_entry({0x01, 0x01, 'y'})}),
    [](const auto& info) { return info.param.name; });

// Writes through a buffer of buffer_size bytes and collects the pieces.
template <class F>
Bytes write_with(std::size_t buffer_size, F items) {
  Bytes out;
  std::vector<std::uint8_t> buffer(buffer_size);
  WireWriter writer(std::span<std::uint8_t>(buffer), [&](std::span<const std::uint8_t> piece) {
    EXPECT_LE(piece.size(), buffer_size);
    out.insert(out.end(), piece.begin(), piece.end());
  });
  items(writer);
  writer.finish();
  return out;
}

TEST(WireWriter, VarintAndFloatExamples) {
  const std::vector<std::pair<std::uint64_t, Bytes>> varints{
      {0, {0x00}},
      {127, {0x7F}},
      {128, {0x80, 0x01}},
      {300, {0xAC, 0x02}},
      {1ull << 63, {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}},
      {~0ull, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
  };
  for (const auto& [value, expected] : varints) {
    EXPECT_EQ(write_with(16, [&](auto& w) { w.varint(value); }), expected) << value;
    WireReader reader(expected);
    std::uint64_t back = 0;
    ASSERT_TRUE(reader.varint(back));
    EXPECT_EQ(back, value);
  }
  for (std::int64_t n : {0, -1, 1, -2, 2})
    EXPECT_EQ(zigzag_encode(n), static_cast<std::uint64_t>(n < 0 ? -2 * n - 1 : 2 * n));
  for (std::int64_t n :
       {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(), std::int64_t{-3}}) {
    EXPECT_EQ(zigzag_decode(zigzag_encode(n)), n);
  }
  const float one = 1.0f;
  EXPECT_EQ(write_with(16,
                       [&](auto& w) {
                         w.floats({&one, 1});
                         w.f64(0.5);
                       }),
            (Bytes{0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0x3F}));
}

TEST(WireWriter, SmallBuffersSplitItemsWithoutChangingTheBytes) {
  const std::vector<float> components(37, 1.5f);
  const std::string text(53, 'q');
  auto items = [&](auto& w) {
    for (int i = 0; i < 5; ++i) {
      w.varint(~0ull >> i);
      w.floats(components);
      w.byte(static_cast<std::uint8_t>(i));
      w.string(text);
      w.zigzag(-i);
      w.f64(i / 3.0);
    }
  };
  const Bytes whole = write_with(4096, items);
  for (std::size_t size : {10u, 11u, 17u, 64u, 333u}) EXPECT_EQ(write_with(size, items), whole) << size;
}

TEST(SnapshotEncoding, LargeStoresStreamInBoundedPieces) {
  SnapshotState state;
  const std::vector<float> components(128, 0.25f);
  for (std::uint64_t id = 0; id < 1500; ++id) {
    state.points.upsert(id, components, Payload::from_entries({{"n", static_cast<std::int64_t>(id)}}));
  }
  std::size_t pieces = 0;
  Bytes streamed;
  encode_snapshot(state.points, state.index, [&](std::span<const std::uint8_t> piece) {
    EXPECT_LE(piece.size(), SNAPSHOT_CHUNK_BYTES);
    streamed.insert(streamed.end(), piece.begin(), piece.end());
    ++pieces;
  });
  EXPECT_GT(pieces, 2u);
  EXPECT_EQ(streamed, encode(state));
  EXPECT_EQ(picture(decode_ok(streamed)), picture(state));
}

TEST(SnapshotDecoding, RichStateRoundTripsByteForByte) {
  const Bytes bytes = encode(rich_state());
  SnapshotState decoded = decode_ok(bytes);
  EXPECT_EQ(picture(decoded), picture(rich_state()));
  // Saving again may order map entries differently, never change the size.
  const Bytes again = encode(decoded);
  EXPECT_EQ(again.size(), bytes.size());
  EXPECT_EQ(picture(decode_ok(again)), picture(rich_state()));
}

TEST(SnapshotDecoding, LongerVarintsThanNeededAreAccepted) {
  Bytes bytes = kWorkedExample;
  bytes[0] = 0x81;  // point count 1 as 81 00
  bytes.insert(bytes.begin() + 1, 0x00);
  EXPECT_EQ(picture(decode_ok(bytes)), picture(worked_example()));
  // Ten bytes with a last byte of 0x01 are the largest value there is.
  const Bytes max_key =
      concat({{0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00}, kDefaultIndex});
  EXPECT_TRUE(decode_ok(max_key).points.find(~0ull).has_value());
}

TEST(SnapshotDecoding, RepeatedKeysKeepTheLastEntry) {
  // A payload with "k" twice, two points under key 5 (the second has id 6
  // and no payload), and two nodes under key 9.
  const Bytes bytes = concat({
      {0x03, 0x01, 0x01, 0x01, 0x00, 0x00, 0x80, 0x3F, 0x01, 0x02},
      {0x01, 'k', 0x02, 0x02, 0x01, 'k', 0x02, 0x04},
      {0x05, 0x05, 0x00, 0x00},
      {0x05, 0x06, 0x00, 0x00},
      {0x10, 0x40, 0x20, 0x00, 0x00, 0x02},
      {0x09, 0x09, 0x01, 0x01},
      Bytes(15, 0x00),
      {0x09, 0x0A, 0x00},
      Bytes(15, 0x00),
  });
  SnapshotState state = decode_ok(bytes);
  ASSERT_EQ(state.points.size(), 2u);
  EXPECT_EQ(state.points.find(5)->id, 6u);
  EXPECT_EQ(state.points.find(5)->payload, nullptr);
  const Payload* payload = state.points.find(1)->payload;
  ASSERT_NE(payload, nullptr);
  EXPECT_EQ(*payload, Payload::from_entries({{"k", std::int64_t{2}}}));
  EXPECT_EQ(state.index.node_count(), 1u);
  EXPECT_EQ(state.index.test_node(9), node_with(10, {}));
}

struct CorruptionCase {
  const char* name;
  Bytes bytes;
  std::string error;
};

Bytes with_byte(std::size_t at, std::uint8_t value) {
  Bytes bytes = kWorkedExample;
  bytes[at] = value;
  return bytes;
}

Bytes with_variant_bytes(Bytes variant) {
  Bytes bytes = kWorkedExample;
  bytes.erase(bytes.begin() + kVariantAt);
  bytes.insert(bytes.begin() + kVariantAt, variant.begin(), variant.end());
  return bytes;
}

// A point whose single Keyword value holds the given bytes.
Bytes with_value_text(Bytes text) {
  return concat({{0x01, 0x01, 0x01, 0x00, 0x01, 0x01, 0x01, 'k', 0x00, static_cast<std::uint8_t>(text.size())},
                 text,
                 kDefaultIndex});
}

class SnapshotCorruption : public ::testing::TestWithParam<CorruptionCase> {};

TEST_P(SnapshotCorruption, FailsWithTheDecoderText) { EXPECT_EQ(decode_error(GetParam().bytes), GetParam().error); }

INSTANTIATE_TEST_SUITE_P(
    Cases, SnapshotCorruption,
    ::testing::Values(
        CorruptionCase{"Empty", {}, kEndOfData},
        CorruptionCase{"TrailingByte", concat({kWorkedExample, {0x00}}), kTrailing},
        CorruptionCase{"TwoSnapshots", concat({kWorkedExample, kWorkedExample}), kTrailing},
        CorruptionCase{"PageOfZeros", Bytes(4096, 0x00), kTrailing},
        CorruptionCase{"PayloadTagTwo", with_byte(kPayloadTagAt, 0x02), kBadOption},
        CorruptionCase{"PayloadTagFF", with_byte(kPayloadTagAt, 0xFF), kBadOption},
        CorruptionCase{"EntryPointTagTwo", with_byte(kEntryPointTagAt, 0x02), kBadOption},
        CorruptionCase{"VariantFour", with_byte(kVariantAt, 0x04), kBadVariant},
        CorruptionCase{"VariantLargestU32", with_variant_bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x0F}), kBadVariant},
        CorruptionCase{"VariantOverlongZeroIsFine", with_variant_bytes({0x80, 0x80, 0x80, 0x80, 0x00}),
                       "decoded without error"},
        CorruptionCase{"VariantFifthByteTooBig", with_variant_bytes({0x80, 0x80, 0x80, 0x80, 0x10}), kBadVarint},
        CorruptionCase{"VariantSixBytes", with_variant_bytes({0x80, 0x80, 0x80, 0x80, 0x80, 0x00}), kBadVarint},
        CorruptionCase{"KeyByteFF", with_byte(kKeyFirstByteAt, 0xFF), kBadUtf8},
        CorruptionCase{"ValueOverlongNul", with_value_text({0xC0, 0x80}), kBadUtf8},
        CorruptionCase{"ValueSurrogate", with_value_text({0xED, 0xA0, 0x80}), kBadUtf8},
        CorruptionCase{"ValueAboveUnicode", with_value_text({0xF4, 0x90, 0x80, 0x80}), kBadUtf8},
        CorruptionCase{"ValueCutSequence", with_value_text({'a', 0xE2, 0x82}), kBadUtf8},
        CorruptionCase{"ValueLoneContinuation", with_value_text({0x80}), kBadUtf8},
        CorruptionCase{"ValueFourByteCharIsFine", with_value_text({0xF0, 0x9F, 0x98, 0x80}), "decoded without error"},
        CorruptionCase{"CountNineFFThenTwo",
                       concat({Bytes(9, 0xFF), {0x02}, Bytes(kWorkedExample.begin() + 1, kWorkedExample.end())}),
                       kBadVarint},
        CorruptionCase{"CountTenthByteContinues", concat({Bytes(10, 0x80), {0x00}}), kBadVarint},
        CorruptionCase{"CountCutInsideVarint", Bytes(9, 0xFF), kEndOfData},
        CorruptionCase{"BadVarintInNeighbourList",
                       concat({{0x00, 0x10, 0x40, 0x20, 0x00, 0x00, 0x01, 0x01, 0x01, 0x05}, Bytes(9, 0xFF), {0x7F}}),
                       kBadVarint}),
    [](const auto& info) { return info.param.name; });

TEST(SnapshotCorruption, EveryTruncationHitsTheEnd) {
  for (const Bytes& full : {kWorkedExample, encode(rich_state())}) {
    for (std::size_t length = 0; length < full.size(); ++length) {
      EXPECT_EQ(decode_error(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length))), kEndOfData)
          << "cut at " << length << " of " << full.size();
    }
  }
}

// Huge declared counts must end in the end-of-data error, not in an
// allocation of the declared size (which would throw, or abort under the
// sanitizers).
class HugeCount : public ::testing::TestWithParam<std::pair<const char*, Bytes>> {};

TEST_P(HugeCount, EndsAtTheEndOfData) { EXPECT_EQ(decode_error(GetParam().second), kEndOfData); }

const Bytes kHuge{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};  // 2^63 - 1

INSTANTIATE_TEST_SUITE_P(
    Counts, HugeCount,
    ::testing::Values(std::pair{"Points", concat({kHuge, {0x01, 0x01, 0x00, 0x00}})},
                      std::pair{"VectorLength", concat({{0x01, 0x01, 0x01}, kHuge, Bytes(64, 0)})},
                      std::pair{"PayloadEntries", concat({{0x01, 0x01, 0x01, 0x00, 0x01}, kHuge, {0x00}})},
                      std::pair{"KeyLength", concat({{0x01, 0x01, 0x01, 0x00, 0x01, 0x01}, kHuge, Bytes(64, 'a')})},
                      std::pair{"ValueLength", concat({{0x01, 0x01, 0x01, 0x00, 0x01, 0x01, 0x01, 'k', 0x01}, kHuge})},
                      std::pair{"Nodes", concat({{0x00, 0x10, 0x40, 0x20, 0x00, 0x00}, kHuge, {0x01, 0x01}})},
                      std::pair{
                          "NeighbourList",
                          concat({{0x00, 0x10, 0x40, 0x20, 0x00, 0x00, 0x01, 0x01, 0x01}, kHuge, Bytes(64, 0x01)})},
                      // Fits nothing in advance but decodes fine as far as it goes.
                      std::pair{"ListLongerThanFile", concat({{0x00, 0x10, 0x40, 0x20, 0x00, 0x00, 0x01, 0x01, 0x01},
                                                              {0x80, 0x80, 0x04},
                                                              Bytes(1000, 0x01)})}),
    [](const auto& info) { return info.param.first; });

}  // namespace
}  // namespace quorbell
