#include "storage/snapshot_codec.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "storage/wire.h"

namespace quorbell {

namespace {

// Variant indexes of PayloadValue: 0 Keyword, 1 Text, 2 Integer, 3 Float.
constexpr std::uint32_t kPayloadVariants = std::variant_size_v<PayloadValue>;

// A declared count is trusted for up-front room only as far as the bytes
// left could hold that many items of these sizes: a payload entry (key
// length and variant index), a node (key, id and 16 list lengths), and a
// point (key, id, vector length and payload tag) once its key is one of
// more than 16384 (3 bytes). Room that a count beyond that would need then
// grows as the items arrive.
constexpr std::size_t kLeastPointBytes = 6;
constexpr std::size_t kLeastPayloadEntryBytes = 2;
constexpr std::size_t kLeastNodeBytes = 18;

template <class Writer>
void encode_into(Writer& out, const PointStore& points, const HNSWIndex& index) {
  out.varint(points.size());
  points.for_each([&](std::uint64_t key, const PointView& point) {
    out.varint(key);
    out.varint(point.id);
    out.varint(point.vector.size());
    out.floats(point.vector);
    out.byte(point.payload != nullptr);
    if (point.payload == nullptr) return;
    out.varint(point.payload->size());
    for (const PayloadEntry entry : *point.payload) {
      out.string(entry.key());
      out.varint(entry.tag());
      switch (entry.tag()) {
        case KEYWORD_TAG:
        case TEXT_TAG:
          out.string(entry.text());
          break;
        case INTEGER_TAG:
          out.zigzag(entry.integer());
          break;
        case FLOAT_TAG:
          out.f64(entry.number());
          break;
      }
    }
  });

  out.varint(index.m);
  out.varint(index.ef_construction);
  out.varint(index.ef_search);
  out.byte(index.entry_point.has_value());
  if (index.entry_point) out.varint(*index.entry_point);
  out.varint(index.max_level);
  out.varint(index.node_count());
  index.for_each_node([&](std::uint64_t key, const HNSWNode& node) {
    out.varint(key);
    out.varint(node.id);
    for (const auto& layer : node.neighbors) {
      out.varint(layer.size());
      for (std::uint64_t id : layer) out.varint(id);
    }
  });
}

class SnapshotDecoder {
 public:
  explicit SnapshotDecoder(WireReader& in) : in_(in) {}

  Result<SnapshotState> decode() {
    SnapshotState state;
    if (!points(state.points) || !graph(state.index, state.points)) return failure(in_.error());
    if (!in_.at_end()) return failure(WireError::Trailing);
    return state;
  }

 private:
  static Error failure(WireError error) { return Error{ErrorKind::Snapshot, std::string(wire_error_text(error))}; }

  bool points(PointStore& store) {
    std::uint64_t count;
    if (!in_.varint(count)) return false;
    store.reserve(in_.reservable(count, kLeastPointBytes, PointStore::RECORD_BYTES), 0);
    for (std::uint64_t i = 0; i < count; ++i) {
      std::uint64_t key, id, length;
      bool has_payload;
      if (!in_.varint(key) || !in_.varint(id) || !in_.varint(length) || !in_.floats(length, vector_) ||
          !in_.option_tag(has_payload)) {
        return false;
      }
      std::optional<Payload> payload;
      if (has_payload) {
        payload.emplace();
        if (!payload_map(*payload)) return false;
      }
      store.set_foreign_id(store.upsert(key, vector_, std::move(payload)).slot, id);
    }
    store.finish_loading();
    return true;
  }

  bool payload_map(Payload& payload) {
    std::uint64_t count;
    if (!in_.varint(count)) return false;
    payload_.reserve(in_.reservable(count, kLeastPayloadEntryBytes, PayloadBuilder::ENTRY_BYTES));
    for (std::uint64_t i = 0; i < count; ++i) {
      std::uint32_t variant;
      if (!in_.string(name_) || !in_.variant_index(kPayloadVariants, variant)) return false;
      if (!payload_value(static_cast<PayloadTag>(variant))) return false;
    }
    // A repeated key keeps its last value, as in any map built entry by entry.
    payload = payload_.finish();
    return true;
  }

  bool payload_value(PayloadTag tag) {
    switch (tag) {
      case KEYWORD_TAG:
      case TEXT_TAG:
        if (!in_.string(text_)) return false;
        payload_.add_string(name_, tag, text_);
        return true;
      case INTEGER_TAG: {
        std::int64_t integer;
        if (!in_.zigzag(integer)) return false;
        payload_.add_integer(name_, integer);
        return true;
      }
      case FLOAT_TAG:
        break;
    }
    double number;
    if (!in_.f64(number)) return false;
    payload_.add_float(name_, number);
    return true;
  }

  // Links find their points in points, decoded before the graph.
  bool graph(HNSWIndex& index, const PointStore& points) {
    bool has_entry_point;
    if (!in_.varint(index.m) || !in_.varint(index.ef_construction) || !in_.varint(index.ef_search) ||
        !in_.option_tag(has_entry_point)) {
      return false;
    }
    if (has_entry_point) {
      std::uint64_t entry;
      if (!in_.varint(entry)) return false;
      index.entry_point = entry;
    }
    std::uint64_t count;
    if (!in_.varint(index.max_level) || !in_.varint(count)) return false;
    index.reserve_nodes(in_.reservable(count, kLeastNodeBytes, sizeof(HNSWNode)));
    HNSWIndex::Loader loader = index.loader(points);
    for (std::uint64_t i = 0; i < count; ++i) {
      std::uint64_t key, id;
      if (!in_.varint(key) || !in_.varint(id)) return false;
      loader.begin_node(key, id);
      for (std::uint64_t layer = 0; layer < MAX_LAYERS; ++layer) {
        if (!neighbor_list(loader)) return false;
      }
      loader.finish_node();
    }
    return true;
  }

  bool neighbor_list(HNSWIndex::Loader& loader) {
    std::uint64_t count;
    if (!in_.varint(count)) return false;
    loader.begin_list(in_.reservable(count, 1, sizeof(std::uint32_t)));
    for (std::uint64_t i = 0; i < count; ++i) {
      std::uint64_t id;
      if (!in_.varint(id)) return false;
      loader.add(id);
    }
    return true;
  }

  WireReader& in_;
  // Reused from point to point.
  std::vector<float> vector_;
  PayloadBuilder payload_;
  std::string name_;
  std::string text_;
};

}  // namespace

void encode_snapshot(const PointStore& points, const HNSWIndex& index, const SnapshotSink& sink) {
  const std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[SNAPSHOT_CHUNK_BYTES]);
  WireWriter writer(std::span<std::uint8_t>(buffer.get(), SNAPSHOT_CHUNK_BYTES), std::cref(sink));
  encode_into(writer, points, index);
  writer.finish();
}

ByteBuffer encode_snapshot(const PointStore& points, const HNSWIndex& index) {
  ByteBuffer bytes;
  encode_snapshot(points, index,
                  [&](std::span<const std::uint8_t> piece) { bytes.insert(bytes.end(), piece.begin(), piece.end()); });
  return bytes;
}

Result<SnapshotState> decode_snapshot(std::span<const std::uint8_t> bytes) {
  WireReader in(bytes);
  return SnapshotDecoder(in).decode();
}

Result<SnapshotState> decode_snapshot(ByteSource& source) {
  WireReader in(source, SNAPSHOT_CHUNK_BYTES);
  return SnapshotDecoder(in).decode();
}

}  // namespace quorbell
