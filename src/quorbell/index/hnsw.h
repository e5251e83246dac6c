// Hierarchical navigable small-world graph over point ids.
//
// The graph stores ids and links only and always measures cosine distance,
// reading vectors from the point store it is handed. It is not
// synchronised: the Segment keeps it behind its `index` lock and passes the
// point store, which it holds under its `points` lock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/point_store.h"

namespace quorbell {

inline constexpr std::size_t MAX_LAYERS = 16;

// One node in exchange form: its own id and its 16 lists of linked ids,
// layer 0 first.
struct HNSWNode {
  std::uint64_t id = 0;
  std::array<std::vector<std::uint64_t>, MAX_LAYERS> neighbors;
  bool operator==(const HNSWNode&) const = default;
};

// A candidate of the graph query: cosine distance and point id.
struct Candidate {
  float distance;
  std::uint64_t id;
};

class HNSWIndex {
 public:
  HNSWIndex() = default;
  HNSWIndex(HNSWIndex&&) noexcept = default;
  HNSWIndex& operator=(HNSWIndex&&) noexcept = default;

  std::uint64_t m = 16;                // back links only to lists shorter than m
  std::uint64_t ef_construction = 64;  // kept and persisted, read by nothing
  std::uint64_t ef_search = 32;        // bound of the base-layer result list
  std::optional<std::uint64_t> entry_point;
  std::uint64_t max_level = 0;

  std::size_t node_count() const;
  // The node stored under key, copied into exchange form.
  std::optional<HNSWNode> node(std::uint64_t key) const;
  // Calls f(key, node) for every node in iteration order.
  template <class F>
  void for_each_node(F&& f) const;
  // Stores node under key, replacing any node there (snapshot loading and
  // tests that build states directly).
  void put_node(std::uint64_t key, HNSWNode node);

  // Links the point just stored under id into the graph.
  void insert(std::uint64_t id, std::span<const float> vector, const PointStore& points);

  // Up to max(ef_search, 1) candidates by ascending cosine distance.
  // Requires an entry point.
  std::vector<Candidate> search_knn(std::span<const float> query, const PointStore& points,
                                    const std::string* tenant) const;

 private:
  std::vector<std::uint64_t> keys_;
  std::vector<HNSWNode> nodes_;
};

template <class F>
void HNSWIndex::for_each_node(F&& f) const {
  for (std::size_t i = 0; i < nodes_.size(); ++i) f(keys_[i], nodes_[i]);
}

}  // namespace quorbell
