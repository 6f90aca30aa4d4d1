#include "net/rate_budget.h"

#include <algorithm>

namespace {

constexpr uint64_t kMinQuantum = 1024;
constexpr uint64_t kMaxQuantum = 64 * 1024;
// The bucket holds this many milliseconds of the rate.
constexpr uint64_t kBucketMs = 100;
// No debt takes longer to pay; capping gaps keeps their product with the
// rate far inside 63 bits.
constexpr uint64_t kMaxGapMs = 60000;

}  // namespace

RateBudget::RateBudget(std::function<uint64_t()> now_ms) : now_ms_(std::move(now_ms)) {}

void RateBudget::SetRate(uint64_t bytes_per_second) {
  // Far beyond any link; keeps the thousandths well inside 63 bits.
  rate_ = std::min<uint64_t>(bytes_per_second, uint64_t{1} << 40);
  quantum_ = std::clamp<uint64_t>(rate_ / 50, kMinQuantum, kMaxQuantum);
  capacity_ = std::max(quantum_, rate_ * kBucketMs / 1000);
  credit_ = 0;
  last_ms_ = now_ms_();
}

void RateBudget::Refill() {
  const uint64_t now = now_ms_();
  const uint64_t gap = std::min(now - last_ms_, kMaxGapMs);
  last_ms_ = now;
  credit_ = std::min(credit_ + static_cast<int64_t>(gap * rate_), static_cast<int64_t>(capacity_ * 1000));
}

uint64_t RateBudget::Allowance(uint64_t wanted) {
  if (!limited()) return wanted;
  Refill();
  if (credit_ < static_cast<int64_t>(quantum_ * 1000)) return 0;
  return std::min(wanted, quantum_);
}

void RateBudget::Take(uint64_t bytes) {
  if (!limited()) return;
  Refill();
  credit_ -= static_cast<int64_t>(bytes * 1000);
}

unsigned RateBudget::WaitMs() {
  if (!limited()) return 0;
  Refill();
  const int64_t missing = static_cast<int64_t>(quantum_ * 1000) - credit_;
  if (missing <= 0) return 0;
  const uint64_t ms = (static_cast<uint64_t>(missing) + rate_ - 1) / rate_;
  return static_cast<unsigned>(std::min<uint64_t>(ms, 60000));
}

uint64_t RateBudget::QuantaReady() {
  if (!limited()) return 0;
  Refill();
  return credit_ > 0 ? static_cast<uint64_t>(credit_) / (quantum_ * 1000) : 0;
}
