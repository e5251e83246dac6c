// One search result, and the metric's hit order as a stable sort, which
// orders the graph path's hits. The exact scan keeps only its best hits, in
// that same order, through index/top_hits.h.
#pragma once

#include <cstdint>
#include <vector>

#include "core/distance.h"

namespace quorbell {

// Ids and scores only: no caller needs the payload, so none is copied.
struct SearchHit {
  std::uint64_t id;
  float score;
};

// Stable sort by the metric's hit order. Hits with a NaN score cannot be
// ordered against anything; they keep their relative order after all
// others, so the sort always sees a strict weak order.
template <class T, class ScoreOf>
void sort_by_metric(std::vector<T>& items, Metric metric, ScoreOf score_of);

}  // namespace quorbell

#include <algorithm>
#include <cmath>

namespace quorbell {

template <class T, class ScoreOf>
void sort_by_metric(std::vector<T>& items, Metric metric, ScoreOf score_of) {
  auto numbers_end =
      std::stable_partition(items.begin(), items.end(), [&](const T& item) { return !std::isnan(score_of(item)); });
  std::stable_sort(items.begin(), numbers_end,
                   [&](const T& a, const T& b) { return ranks_before(metric, score_of(a), score_of(b)); });
}

}  // namespace quorbell
