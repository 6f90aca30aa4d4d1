#include "net/range_plan.h"

void RangePlan::Divide(uint64_t length, int count) {
  ranges_.clear();
  for (int i = 0; i < count; ++i) {
    Range r;
    r.first = static_cast<uint64_t>(i) * length / static_cast<uint64_t>(count);
    r.end = static_cast<uint64_t>(i + 1) * length / static_cast<uint64_t>(count);
    ranges_.push_back(r);
  }
}

bool RangePlan::Adopt(uint64_t length, const std::vector<Kept>& kept) {
  if (kept.empty() || kept.size() > kMaxRanges || kept[0].first != 0) return false;
  std::vector<Range> adopted;
  for (size_t i = 0; i < kept.size(); ++i) {
    const uint64_t end = i + 1 < kept.size() ? kept[i + 1].first : length;
    if (end < kept[i].first || kept[i].done > end - kept[i].first) return false;
    if (end == kept[i].first) continue;  // covers nothing
    Range r;
    r.first = kept[i].first;
    r.end = end;
    r.done = kept[i].done;
    adopted.push_back(r);
  }
  ranges_ = adopted;
  return true;
}

void RangePlan::Cut(size_t index, uint64_t from, int new_worker) {
  Range taken;
  taken.first = from + (ranges_[index].end - from) / 2;
  taken.end = ranges_[index].end;
  taken.worker = new_worker;
  ranges_[index].end = taken.first;
  ranges_.insert(ranges_.begin() + static_cast<std::ptrdiff_t>(index) + 1, taken);
}

void RangePlan::Spread(int workers, uint64_t min_half) {
  while (ranges_.size() < kMaxRanges) {
    int open = 0;
    size_t largest = ranges_.size();
    for (size_t i = 0; i < ranges_.size(); ++i) {
      const Range& r = ranges_[i];
      if (r.missing() == 0) continue;
      ++open;
      if (r.worker == kNoWorker && (largest == ranges_.size() || r.missing() > ranges_[largest].missing())) {
        largest = i;
      }
    }
    if (open >= workers || largest == ranges_.size() || ranges_[largest].missing() < 2 * min_half) return;
    Cut(largest, ranges_[largest].first + ranges_[largest].done, kNoWorker);
  }
}

int RangePlan::Unclaimed() const {
  for (size_t i = 0; i < ranges_.size(); ++i) {
    if (ranges_[i].worker == kNoWorker && ranges_[i].missing() > 0) return static_cast<int>(i);
  }
  return -1;
}

int RangePlan::TakeOver(int worker, const std::function<bool(int, uint64_t*)>& next_byte, uint64_t min_half,
                        int* donor) {
  if (ranges_.size() >= kMaxRanges) return -1;
  size_t best = ranges_.size();
  uint64_t best_next = 0, best_left = 0;
  for (size_t i = 0; i < ranges_.size(); ++i) {
    const Range& r = ranges_[i];
    uint64_t next = 0;
    if (r.worker == kNoWorker || r.worker == worker || !next_byte(r.worker, &next) || next >= r.end) continue;
    if (r.end - next > best_left) {
      best = i;
      best_next = next;
      best_left = r.end - next;
    }
  }
  if (best == ranges_.size() || best_left < 2 * min_half) return -1;
  *donor = ranges_[best].worker;
  Cut(best, best_next, worker);
  return static_cast<int>(best) + 1;
}

int RangePlan::RangeOf(int worker) const {
  for (size_t i = 0; i < ranges_.size(); ++i) {
    if (ranges_[i].worker == worker) return static_cast<int>(i);
  }
  return -1;
}

void RangePlan::Release(int worker, uint64_t done) {
  const int index = RangeOf(worker);
  if (index < 0) return;
  at(index).done = done;
  at(index).worker = kNoWorker;
}

std::vector<RangePlan::Kept> RangePlan::KeptRanges() const {
  std::vector<Kept> kept;
  for (const Range& r : ranges_) kept.push_back({r.first, r.done});
  return kept;
}
