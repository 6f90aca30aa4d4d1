#include "net/rate_limiter.h"

#include <algorithm>

namespace {

constexpr unsigned kRefillTimer = 1;

}  // namespace

RateLimiter::RateLimiter() : budget_(platform::MonotonicMs) {}

void RateLimiter::SetRate(uint64_t bytes_per_second) {
  if (bytes_per_second == budget_.rate()) return;
  budget_.SetRate(bytes_per_second);
  KillTimer(kRefillTimer);
  Arm();
}

void RateLimiter::Wait(RateWaiter* waiter) {
  if (waiting_.empty() && budget_.WaitMs() == 0) {
    waiter->OnBudget();
    return;
  }
  if (std::find(waiting_.begin(), waiting_.end(), waiter) == waiting_.end()) waiting_.push_back(waiter);
  Arm();
}

void RateLimiter::Forget(RateWaiter* waiter) {
  waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), waiter), waiting_.end());
  if (waiting_.empty()) KillTimer(kRefillTimer);
}

void RateLimiter::Arm() {
  if (waiting_.empty() || HasTimer(kRefillTimer)) return;
  // A timer of 0 would still take a loop pass; a late one costs nothing the
  // bucket does not hold.
  SetTimer(kRefillTimer, std::max(1u, budget_.WaitMs()));
}

void RateLimiter::OnTimer(unsigned id) {
  if (id != kRefillTimer) return;
  KillTimer(kRefillTimer);
  uint64_t turns = budget_.limited() ? budget_.QuantaReady() : waiting_.size();
  while (turns-- > 0 && !waiting_.empty()) {
    RateWaiter* next = waiting_.front();
    waiting_.pop_front();
    next->OnBudget();
  }
  Arm();
}

RateLimiter& SharedRateLimiter() {
  static RateLimiter* const limiter = new RateLimiter;  // lives as long as the process
  return *limiter;
}
