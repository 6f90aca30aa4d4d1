#pragma once
// The process's bandwidth cap, shared by all its connections. Before a read
// a connection asks how much it may take and afterwards says what it took;
// once the budget is spent it pauses its reads and waits here. As the
// budget refills, waiting connections are told in the order they came, one
// per quantum there is, so that each gets its turn.
#include <cstdint>
#include <deque>

#include "net/rate_budget.h"
#include "platform/event_loop.h"

class RateWaiter {
 public:
  // Reads may go on. May be called from inside RateLimiter::Wait.
  virtual void OnBudget() = 0;

 protected:
  ~RateWaiter() = default;
};

class RateLimiter : private platform::MessageTarget {
 public:
  RateLimiter();
  RateLimiter(const RateLimiter&) = delete;
  RateLimiter& operator=(const RateLimiter&) = delete;

  // Bytes per second over all connections; 0 lifts the cap (and lets every
  // waiting connection go on).
  void SetRate(uint64_t bytes_per_second);
  bool limited() const { return budget_.limited(); }
  // As RateBudget.
  uint64_t Allowance(uint64_t wanted) { return budget_.Allowance(wanted); }
  void Took(uint64_t bytes) { budget_.Take(bytes); }
  // |waiter| is told once it may read; at once when nobody waits before it
  // and the budget allows.
  void Wait(RateWaiter* waiter);
  // |waiter| is going: it is told nothing more.
  void Forget(RateWaiter* waiter);

 private:
  void OnTimer(unsigned id) override;
  void Arm();

  RateBudget budget_;
  std::deque<RateWaiter*> waiting_;
};

RateLimiter& SharedRateLimiter();
