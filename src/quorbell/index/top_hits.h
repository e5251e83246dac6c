// The best `limit` of a stream of scored points: exactly what sorting them
// all stably by the metric's hit order (NaN scores after every number) and
// keeping the first `limit` would give, ties in the order offered, without
// sorting them all.
#pragma once

#include <algorithm>
#include <cmath>
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
      : metric_(metric), limit_(limit), cutoff_rank_(limit == 0 ? 0 : kAboveEveryRank) {
    hits_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(limit, expected)));
  }

  // False when an offer of this score would surely not be kept: a quick
  // test that spares a caller its other work for most points of a scan.
  bool may_keep(float score) const { return !(ascending(score) > cutoff_); }

  void offer(std::uint32_t slot, float score) {
    const std::uint32_t sequence = sequence_++;
    // Most offers of a long scan end at one of these two tests, so they
    // stay inline: a number beyond the last kept one's, then the full rank
    // (ties, signed zeros, NaNs).
    if (!may_keep(score)) return;
    const std::uint64_t rank = distance_rank(ascending(score));
    if (rank >= cutoff_rank_) return;
    keep(Hit{(rank << 32) | sequence, slot, score});
  }

  // The kept hits, best first; call once, after the last offer.
  const std::vector<Hit>& sorted() {
    std::sort_heap(hits_.begin(), hits_.end(), Ahead{});
    return hits_;
  }

 private:
  static constexpr std::uint64_t kAboveEveryRank = std::uint64_t{1} << 32;

  // Whether a comes ahead of b. std:: heaps keep the greatest element on
  // top, so the top is the kept hit that comes last, the first to go.
  struct Ahead {
    bool operator()(const Hit& a, const Hit& b) const { return a.order < b.order; }
  };

  // Higher scores first turn into lower ranks by negation; distance_rank
  // already ranks -0.0 with 0.0 and every NaN last.
  float ascending(float score) const { return metric_ == Metric::Euclidean ? score : -score; }

  void keep(const Hit& hit) {
    if (hits_.size() < limit_) {
      hits_.push_back(hit);
    } else {
      std::pop_heap(hits_.begin(), hits_.end(), Ahead{});
      hits_.back() = hit;
    }
    std::push_heap(hits_.begin(), hits_.end(), Ahead{});
    // A later offer that ties the last kept hit's rank comes after it.
    if (hits_.size() == limit_) {
      cutoff_rank_ = hits_.front().order >> 32;
      // NaN when the last kept is NaN: no number compares beyond it.
      cutoff_ = ascending(hits_.front().score);
    }
  }

  Metric metric_;
  std::uint64_t limit_;
  std::uint32_t sequence_ = 0;
  // Offers ranked here or later are not kept: once limit_ hits are kept,
  // the rank of the one that would go first.
  std::uint64_t cutoff_rank_;
  // The last kept hit's score in ascending form, once limit_ are kept.
  float cutoff_ = INFINITY;
  std::vector<Hit> hits_;
};

}  // namespace quorbell
