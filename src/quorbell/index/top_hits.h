// The best `limit` of a stream of scored points: exactly what sorting them
// all stably by the metric's hit order (NaN scores after every number) and
// keeping the first `limit` would give, ties in the order offered, without
// sorting them all.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/distance.h"
#include "index/ranked_lists.h"

namespace quorbell {

class TopHits {
 public:
  struct Hit {
    std::uint64_t order;  // rank of the score, then the offer's sequence number
    std::uint32_t slot;
    float score;
  };

  TopHits(Metric metric, std::uint64_t limit, std::size_t expected)
      : metric_(metric), limit_(limit) {
    hits_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(limit, expected)));
  }

  void offer(std::uint32_t slot, float score) {
    // Higher scores first turn into lower ranks by negation; distance_rank
    // already ranks -0.0 with 0.0 and every NaN last.
    const float ascending = metric_ == Metric::Euclidean ? score : -score;
    const Hit hit{(std::uint64_t{distance_rank(ascending)} << 32) | sequence_++, slot, score};
    if (hits_.size() < limit_) {
      hits_.push_back(hit);
      std::push_heap(hits_.begin(), hits_.end(), ahead);
    } else if (!hits_.empty() && hit.order < hits_.front().order) {
      std::pop_heap(hits_.begin(), hits_.end(), ahead);
      hits_.back() = hit;
      std::push_heap(hits_.begin(), hits_.end(), ahead);
    }
  }

  // The kept hits, best first; call once, after the last offer.
  const std::vector<Hit>& sorted() {
    std::sort_heap(hits_.begin(), hits_.end(), ahead);
    return hits_;
  }

 private:
  // Whether a comes ahead of b. std:: heaps keep the greatest element on
  // top, so the top is the kept hit that comes last, the first to go.
  static bool ahead(const Hit& a, const Hit& b) { return a.order < b.order; }

  Metric metric_;
  std::uint64_t limit_;
  std::uint32_t sequence_ = 0;
  std::vector<Hit> hits_;
};

}  // namespace quorbell
