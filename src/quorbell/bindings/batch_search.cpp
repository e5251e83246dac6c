#include "bindings/batch_search.h"

namespace quorbell {

// For now the queries run one after another on the calling thread; the
// first fault ends the batch and no partial results are returned.
Result<std::vector<ResultPairs>> run_batch(const Segment& segment, std::span<const std::vector<float>> queries, std::uint64_t limit, Metric metric, const std::string* tenant) {
  std::vector<ResultPairs> results(queries.size());
  for (std::size_t i = 0; i < queries.size(); ++i) {
    auto hits = segment.search(queries[i], limit, metric, tenant);
    if (!hits) return hits.error();
    results[i].reserve(hits.value().size());
    for (const SearchHit& hit : hits.value()) results[i].emplace_back(hit.id, hit.score);
  }
  return results;
}

}  // namespace quorbell
