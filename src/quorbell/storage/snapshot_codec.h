// The snapshot format: the points map followed by the graph index, encoded
// field by field with the primitives of storage/wire.h. There is no header,
// version or checksum; the input must end where the encoding ends, so a
// file with anything after it (a crash's leftovers, zeros) is refused.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/point_store.h"
#include "core/result.h"
#include "index/hnsw.h"
#include "storage/wire.h"

namespace quorbell {

// A decoded snapshot, independent of any segment until it is swapped in.
struct SnapshotState {
  PointStore points;
  HNSWIndex index;
};

// Receives an encoding piece by piece, in order.
using SnapshotSink = std::function<void(std::span<const std::uint8_t>)>;

// Encodes points and index, in their iteration order, handing the bytes to
// sink in pieces of at most SNAPSHOT_CHUNK_BYTES: a save streams them to its
// file without ever holding the whole encoding. Only reads the store, so
// the caller's read locks are enough.
inline constexpr std::size_t SNAPSHOT_CHUNK_BYTES = std::size_t{256} << 10;
void encode_snapshot(const PointStore& points, const HNSWIndex& index, const SnapshotSink& sink);

// The whole encoding in one buffer.
using ByteBuffer = std::vector<std::uint8_t>;
ByteBuffer encode_snapshot(const PointStore& points, const HNSWIndex& index);

// Decodes a snapshot that fills bytes exactly. On a fault the error's
// message is the decoder's fixed text for it, and nothing is kept. Nothing
// beyond the format is checked: keys may differ from ids, links may name
// missing nodes, strings keep the variant they were stored with.
Result<SnapshotState> decode_snapshot(std::span<const std::uint8_t> bytes);
// The same, reading source piece by piece as it decodes, so the input is
// never held whole. After the encoding's end one more read must find the
// end of the input. A failed read ends decoding with some decoder fault;
// the source keeps the reason, which its owner reports instead.
Result<SnapshotState> decode_snapshot(ByteSource& source);

}  // namespace quorbell
