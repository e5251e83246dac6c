#include "storage/segment.h"

namespace quorbell {

// Snapshots are written and read by the snapshot work; until then both
// operations report that they are unavailable.
Status Segment::save_to_disk(const std::string&) const {
  return Error{ErrorKind::Snapshot, "Failed to create snapshot file: snapshots are not available yet"};
}

Status Segment::load(const std::string&) {
  return Error{ErrorKind::Snapshot, "Failed to open snapshot file: snapshots are not available yet"};
}

}  // namespace quorbell
