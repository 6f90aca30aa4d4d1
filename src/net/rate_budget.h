#pragma once
// The arithmetic of a bandwidth cap: a token bucket filled at the rate,
// holding at most a tenth of a second's worth, so that a pause (between
// files, a late timer) cannot be made up by a burst that breaks the rate
// over any few seconds. Reads take from it and may leave it in debt; the
// next read waits until the debt is paid and a useful amount is there.
#include <cstdint>
#include <functional>

class RateBudget {
 public:
  // |now_ms| is a monotonic clock in milliseconds.
  explicit RateBudget(std::function<uint64_t()> now_ms);

  // Bytes per second; 0 lifts the cap. The bucket starts empty: no burst
  // at the start either.
  void SetRate(uint64_t bytes_per_second);
  uint64_t rate() const { return rate_; }
  bool limited() const { return rate_ != 0; }

  // What one read may take now: a quantum (at most |wanted|) when the
  // bucket holds one, else 0; without a cap, |wanted|.
  uint64_t Allowance(uint64_t wanted);
  // Bytes that were read; charged even beyond what the bucket holds.
  void Take(uint64_t bytes);
  // Milliseconds until a quantum may be read; 0 when it may be now.
  unsigned WaitMs();
  // Whole quanta the bucket holds now.
  uint64_t QuantaReady();

  // Reads are made no smaller than this, so that a slow cap does not mean
  // many tiny reads: 1/50 s of the rate, from 1 KiB up to 64 KiB.
  uint64_t quantum() const { return quantum_; }
  uint64_t capacity() const { return capacity_; }

 private:
  void Refill();

  std::function<uint64_t()> now_ms_;
  uint64_t rate_ = 0;
  uint64_t quantum_ = 0;
  uint64_t capacity_ = 0;
  // In thousandths of a byte: a millisecond adds exactly |rate_| of them.
  int64_t credit_ = 0;
  uint64_t last_ms_ = 0;
};
