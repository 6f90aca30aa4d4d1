// The bandwidth cap: the token bucket's arithmetic on a fake clock, and
// sockets whose reads stop and start again.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "net/rate_budget.h"
#include "platform/event_loop.h"
#include "platform/socket_events.h"

namespace {

class FakeClock {
 public:
  uint64_t now = 1000000;
  std::function<uint64_t()> Source() {
    return [this] { return now; };
  }
};

// Reads as much as the budget allows for |duration_ms|, waking after each
// wait |late_ms| later than asked (a coarse timer); returns the bytes read.
uint64_t ReadGreedily(RateBudget* budget, FakeClock* clock, uint64_t duration_ms, unsigned late_ms) {
  const uint64_t end = clock->now + duration_ms;
  uint64_t total = 0;
  while (clock->now < end) {
    const uint64_t may = budget->Allowance(64 * 1024);
    if (may > 0) {
      budget->Take(may);
      total += may;
      continue;
    }
    clock->now += budget->WaitMs() + late_ms;
  }
  return total;
}

TEST(RateBudgetTest, AGreedyReaderHoldsTheRateWithinFivePercentOverTenSeconds) {
  for (uint64_t rate : {uint64_t{100} * 1024, uint64_t{1} << 20, uint64_t{4} << 20, uint64_t{64} << 20}) {
    for (unsigned late_ms : {0u, 16u}) {
      SCOPED_TRACE(std::to_string(rate) + " B/s, timer late by " + std::to_string(late_ms) + " ms");
      FakeClock clock;
      RateBudget budget(clock.Source());
      budget.SetRate(rate);
      const uint64_t total = ReadGreedily(&budget, &clock, 10000, late_ms);
      const double held = static_cast<double>(total) / 10.0;
      EXPECT_LE(held, rate * 1.05);
      EXPECT_GE(held, rate * 0.95);
    }
  }
}

TEST(RateBudgetTest, AnIdleSpellBuysNoMoreThanTheBucketHolds) {
  FakeClock clock;
  RateBudget budget(clock.Source());
  budget.SetRate(1 << 20);
  EXPECT_EQ(budget.quantum(), 20971u);  // a fiftieth of a second
  EXPECT_EQ(budget.capacity(), 104857u);  // a tenth
  ReadGreedily(&budget, &clock, 1000, 0);
  clock.now += 60000;  // a minute without reading
  uint64_t burst = 0;
  for (uint64_t may; (may = budget.Allowance(1 << 20)) > 0; burst += may) budget.Take(may);
  EXPECT_LE(burst, budget.capacity());
  EXPECT_GE(burst, budget.capacity() - budget.quantum());
}

TEST(RateBudgetTest, BytesReadBeyondTheBudgetAreADebtPaidByWaiting) {
  FakeClock clock;
  RateBudget budget(clock.Source());
  budget.SetRate(1 << 20);
  budget.Take(1 << 20);  // a second's worth, with nothing saved up
  EXPECT_EQ(budget.Allowance(4096), 0u);
  const unsigned wait = budget.WaitMs();
  EXPECT_GE(wait, 1000u);
  EXPECT_LE(wait, 1000u + 25u);
  clock.now += wait - 1;
  EXPECT_EQ(budget.Allowance(4096), 0u);
  clock.now += 1;
  EXPECT_EQ(budget.Allowance(4096), 4096u);
  EXPECT_EQ(budget.Allowance(1 << 20), budget.quantum());
  EXPECT_EQ(budget.WaitMs(), 0u);
}

TEST(RateBudgetTest, SlowCapsReadAKibibyteAtATimeAndNoCapReadsAll) {
  FakeClock clock;
  RateBudget budget(clock.Source());
  EXPECT_FALSE(budget.limited());
  EXPECT_EQ(budget.Allowance(1 << 20), uint64_t{1} << 20);
  EXPECT_EQ(budget.WaitMs(), 0u);
  budget.SetRate(1024);
  EXPECT_EQ(budget.Allowance(1 << 20), 0u);  // nothing saved up at the start
  EXPECT_EQ(budget.WaitMs(), 1000u);
  clock.now += 1000;
  EXPECT_EQ(budget.Allowance(1 << 20), 1024u);
  budget.Take(1024);
  EXPECT_EQ(budget.WaitMs(), 1000u);
  budget.SetRate(0);
  EXPECT_EQ(budget.Allowance(77), 77u);
}

// A connected pair on 127.0.0.1: |socket| on the loop, |peer| blocking.
class PausedReadsTest : public testing::Test, public platform::SocketEventSink {
 protected:
  void SetUp() override {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
    ASSERT_EQ(listen(listener_, 1), 0);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
    ASSERT_TRUE(socket_.Open());
    ASSERT_TRUE(socket_.ConnectAsync(sa.sin_addr.s_addr, ntohs(sa.sin_port), this));
    peer_ = accept(listener_, nullptr, nullptr);
    ASSERT_GE(peer_, 0);
    ASSERT_TRUE(platform::RunUntil([&] { return connected_; }, 5000));
  }
  void TearDown() override {
    socket_.Close();
    if (peer_ >= 0) close(peer_);
    close(listener_);
  }
  void OnSocketEvent(int event, int) override {
    if (event == platform::kFdConnect) connected_ = true;
    if (event == platform::kFdRead) {
      ++reads_;
      char buffer[4096];
      long n;
      while ((n = socket_.Recv(buffer, sizeof(buffer))) > 0) received_.append(buffer, static_cast<size_t>(n));
      if (n == 0) closed_ = true;
    }
  }
  void Settle(unsigned ms) {
    platform::RunUntil([] { return false; }, ms);
  }

  int listener_ = -1;
  int peer_ = -1;
  platform::TcpSocket socket_;
  bool connected_ = false;
  bool closed_ = false;
  int reads_ = 0;
  std::string received_;
};

TEST_F(PausedReadsTest, NothingIsReadWhilePausedAndAllOfItOnceResumed) {
  socket_.PauseReads();
  ASSERT_EQ(send(peer_, "hello", 5, 0), 5);
  Settle(200);
  EXPECT_EQ(reads_, 0);
  EXPECT_TRUE(socket_.reads_paused());
  socket_.ResumeReads();
  ASSERT_TRUE(platform::RunUntil([&] { return received_ == "hello"; }, 5000));
  // Resuming reports a read even with nothing new: bytes held above the
  // socket are read then.
  socket_.PauseReads();
  const int before = reads_;
  socket_.ResumeReads();
  ASSERT_TRUE(platform::RunUntil([&] { return reads_ == before + 1; }, 5000));
}

TEST_F(PausedReadsTest, APeerThatClosesWhilePausedIsHeardOfOnResumeAndTheLoopStaysQuiet) {
  socket_.PauseReads();
  ASSERT_EQ(send(peer_, "bye", 3, 0), 3);
  close(peer_);
  peer_ = -1;
  // The hang-up must not wake the loop over and over while paused.
  const uint64_t start = platform::MonotonicMs();
  int passes = 0;
  while (platform::MonotonicMs() - start < 200) passes += platform::RunOnce(false) ? 1 : 0;
  EXPECT_LT(passes, 50);
  EXPECT_EQ(reads_, 0);
  socket_.ResumeReads();
  ASSERT_TRUE(platform::RunUntil([&] { return closed_; }, 5000));
  EXPECT_EQ(received_, "bye");
}

}  // namespace
