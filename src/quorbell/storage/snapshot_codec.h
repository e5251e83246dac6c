// The snapshot format: the points map followed by the graph index, encoded
// field by field with the primitives of storage/wire.h. There is no header,
// version or checksum; the first complete value is the snapshot and any
// bytes after it are ignored.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/point_store.h"
#include "core/result.h"
#include "index/hnsw.h"
#include "storage/byte_buffer.h"

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
ByteBuffer encode_snapshot(const PointStore& points, const HNSWIndex& index);

// Decodes a snapshot from the front of bytes. On a fault the error's
// message is the decoder's fixed text for it, and nothing is kept. Nothing
// beyond the format is checked: keys may differ from ids, links may name
// missing nodes, strings keep the variant they were stored with.
Result<SnapshotState> decode_snapshot(std::span<const std::uint8_t> bytes);

}  // namespace quorbell
