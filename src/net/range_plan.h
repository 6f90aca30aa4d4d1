#pragma once
// How a file fetched in ranges is divided: the bytes each range covers, how
// many of them are on disk, and which of the job's connections (workers)
// fetches the rest. The ranges cover the file in order, without gaps or
// overlaps: each ends where the next begins. A worker that falls idle takes
// a range nobody fetches; failing that it takes over the second half of
// what is still to come of the largest range under way, so that one slow
// connection does not hold the whole file.
#include <cstdint>
#include <functional>
#include <vector>

class RangePlan {
 public:
  static constexpr int kNoWorker = -1;
  // Bounds the progress record, which lists every range.
  static constexpr size_t kMaxRanges = 48;

  struct Range {
    uint64_t first = 0;
    uint64_t end = 0;   // one past the last byte
    uint64_t done = 0;  // bytes from |first| that are on disk
    int worker = kNoWorker;
    uint64_t missing() const { return end - first - done; }
  };
  // A range as the progress record keeps it: where it begins and how many
  // of its bytes are on disk.
  struct Kept {
    uint64_t first;
    uint64_t done;
  };

  // |count| ranges over |length| bytes, as even as integers allow.
  void Divide(uint64_t length, int count);
  // The ranges of a record, in file order; false (and the plan unchanged)
  // unless they begin at byte 0, ascend, and each one's bytes end before
  // the next begins.
  bool Adopt(uint64_t length, const std::vector<Kept>& kept);
  // Halves ranges nobody fetches until |workers| of them have bytes
  // missing, as long as each half has at least |min_half| to fetch.
  void Spread(int workers, uint64_t min_half);

  // A range with bytes missing that no worker fetches, or -1.
  int Unclaimed() const;
  // For idle |worker|: a new range, owned by it, made of the second half of
  // what is still to come of the range under way with most to come.
  // |next_byte(w, &b)| gives the first byte worker w has not received yet,
  // or false when its range cannot be cut. The range that was cut now ends
  // where the new one begins; its worker, in |*donor|, must stop there.
  // -1 when no range has 2 * |min_half| bytes to come.
  int TakeOver(int worker, const std::function<bool(int, uint64_t*)>& next_byte, uint64_t min_half,
               int* donor);

  // The range |worker| fetches, or -1.
  int RangeOf(int worker) const;
  // |worker| has stopped with |done| bytes of its range on disk.
  void Release(int worker, uint64_t done);
  Range& at(int index) { return ranges_[static_cast<size_t>(index)]; }
  const std::vector<Range>& ranges() const { return ranges_; }
  std::vector<Kept> KeptRanges() const;

 private:
  // Splits range |index| in the middle of |from| .. its end; the new range
  // follows it.
  void Cut(size_t index, uint64_t from, int new_worker);

  std::vector<Range> ranges_;
};
