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
}

float ResultList::worst() const {
  if (!nans_.empty()) return NAN;
  return numbers_.empty() ? FLOAT_MAX : numbers_.front().distance;
}

void ResultList::append(RankedSlot pair) {
  if (std::isnan(pair.distance)) {
    nans_.push_back(pair);
    return;
  }
  numbers_.push_back(pair);
  std::push_heap(numbers_.begin(), numbers_.end(), comes_ahead);
}

void ResultList::remove_last() {
  if (!nans_.empty()) {
    nans_.pop_back();
    return;
  }
  std::pop_heap(numbers_.begin(), numbers_.end(), comes_ahead);
  numbers_.pop_back();
}

void ResultList::append_bounded(RankedSlot pair, std::size_t bound) {
  const bool full_of_numbers = nans_.empty() && !numbers_.empty() && numbers_.size() == bound;
  if (!full_of_numbers || std::isnan(pair.distance) || !ranks_ahead(pair, numbers_.front())) {
    append(pair);
    if (size() > bound) remove_last();
    return;
  }
  // The usual case in a full list: the pair ousts the last one. It takes
  // the last one's place at the top and sinks, one pass down the heap
  // instead of one up and one down; the kept pairs are the same.
  const std::size_t count = numbers_.size();
  std::size_t at = 0;
  for (std::size_t child = 1; child < count; child = 2 * at + 1) {
    if (child + 1 < count && comes_ahead(numbers_[child], numbers_[child + 1])) ++child;
    if (!comes_ahead(pair, numbers_[child])) break;
    numbers_[at] = numbers_[child];
    at = child;
  }
  numbers_[at] = pair;
}

void ResultList::drain_sorted(std::vector<RankedSlot>& out) {
  std::sort_heap(numbers_.begin(), numbers_.end(), comes_ahead);
  out.assign(numbers_.begin(), numbers_.end());
  out.insert(out.end(), nans_.begin(), nans_.end());
  clear();
}

}  // namespace quorbell
