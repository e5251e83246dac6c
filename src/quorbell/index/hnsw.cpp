#include "index/hnsw.h"

#include <algorithm>

namespace quorbell {

std::size_t HNSWIndex::node_count() const { return nodes_.size(); }

std::optional<HNSWNode> HNSWIndex::node(std::uint64_t key) const {
  auto it = std::find(keys_.begin(), keys_.end(), key);
  if (it == keys_.end()) return std::nullopt;
  return nodes_[static_cast<std::size_t>(it - keys_.begin())];
}

void HNSWIndex::put_node(std::uint64_t key, HNSWNode node) {
  auto it = std::find(keys_.begin(), keys_.end(), key);
  if (it != keys_.end()) {
    nodes_[static_cast<std::size_t>(it - keys_.begin())] = std::move(node);
    return;
  }
  keys_.push_back(key);
  nodes_.push_back(std::move(node));
}

// The graph is built by the graph work; until then no entry point exists and
// every search takes the exact path.
void HNSWIndex::insert(std::uint64_t, std::span<const float>, const PointStore&) {}

std::vector<Candidate> HNSWIndex::search_knn(std::span<const float>, const PointStore&,
                                             const std::string*) const {
  return {};
}

}  // namespace quorbell
