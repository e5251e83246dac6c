#include "index/ranked_lists.h"

#include <algorithm>

#include "core/distance.h"

namespace quorbell {

namespace {
// Heap orders: std:: heaps keep the greatest element on top.
constexpr auto comes_later = [](const RankedSlot& a, const RankedSlot& b) { return ranks_ahead(b, a); };
constexpr auto comes_ahead = [](const RankedSlot& a, const RankedSlot& b) { return ranks_ahead(a, b); };
}  // namespace

void CandidateQueue::push(RankedSlot pair) {
  heap_.push_back(pair);
  std::push_heap(heap_.begin(), heap_.end(), comes_later);
}

RankedSlot CandidateQueue::pop_first() {
  std::pop_heap(heap_.begin(), heap_.end(), comes_later);
  const RankedSlot first = heap_.back();
  heap_.pop_back();
  return first;
}

void ResultList::clear() {
  numbers_.clear();
  nans_.clear();
  tail_has_number_ = false;
}

float ResultList::worst() const {
  if (nans_.empty()) return numbers_.empty() ? FLOAT_MAX : numbers_.front().distance;
  return tail_has_number_ ? tail_largest_ : NAN;
}

void ResultList::append(RankedSlot pair) {
  if (std::isnan(pair.distance)) {
    nans_.push_back(pair);
    tail_has_number_ = false;
    return;
  }
  numbers_.push_back(pair);
  std::push_heap(numbers_.begin(), numbers_.end(), comes_ahead);
  if (!tail_has_number_ || !(tail_largest_ > pair.distance)) tail_largest_ = pair.distance;
  tail_has_number_ = true;
}

void ResultList::remove_last() {
  if (!nans_.empty()) {
    nans_.pop_back();
    // Sorted, the list now ends in its remaining NaNs, if any.
    tail_has_number_ = false;
    return;
  }
  std::pop_heap(numbers_.begin(), numbers_.end(), comes_ahead);
  numbers_.pop_back();
}

void ResultList::drain_sorted(std::vector<RankedSlot>& out) {
  std::sort_heap(numbers_.begin(), numbers_.end(), comes_ahead);
  out.assign(numbers_.begin(), numbers_.end());
  out.insert(out.end(), nans_.begin(), nans_.end());
  clear();
}

}  // namespace quorbell
