// The console's progress line: totals, rate, time left, redraw limit, width.
#include <gtest/gtest.h>

#include "platform/console/progress_line.h"

namespace {

platform::ProgressReport Report(unsigned done, unsigned total, uint64_t bytes, uint64_t bytes_total) {
  platform::ProgressReport r;
  r.files_done = done;
  r.files_total = total;
  r.bytes_done = bytes;
  r.bytes_total = bytes_total;
  r.overall_percent = bytes_total ? static_cast<int>(bytes * 100 / bytes_total) : 0;
  return r;
}

constexpr uint64_t kMiB = 1 << 20;

}  // namespace

TEST(ConsoleProgressLine, ShowsTotalsRateAndTimeLeft) {
  platform::ProgressLine line;
  EXPECT_EQ(line.Format(Report(0, 4, 0, 100 * kMiB), 1000), L"  0%  文件 0/4  0.0 MiB / 100.0 MiB  -- MiB/s  剩余 --:--");
  // 20 MiB in two seconds: 10 MiB/s, 80 MiB left take 8 s.
  EXPECT_EQ(line.Format(Report(1, 4, 20 * kMiB, 100 * kMiB), 3000),
            L" 20%  文件 1/4  20.0 MiB / 100.0 MiB  10.0 MiB/s  剩余 0:08");
  // Slow transfers are shown in KiB/s, long waits with hours.
  platform::ProgressLine slow;
  slow.Format(Report(0, 1, 0, 4000 * kMiB), 0);
  EXPECT_EQ(slow.Format(Report(0, 1, 512 * 1024, 4000 * kMiB), 1000),
            L"  0%  文件 0/1  0.5 MiB / 4000.0 MiB  512.0 KiB/s  剩余 2:13:19");
}

TEST(ConsoleProgressLine, RateFollowsTheRecentPastAndRestartsWithANewVersion) {
  platform::ProgressLine line;
  line.Format(Report(0, 2, 0, 1000 * kMiB), 0);
  line.Format(Report(0, 2, 100 * kMiB, 1000 * kMiB), 1000);  // fast at first
  for (uint64_t s = 2; s <= 10; ++s) line.Format(Report(0, 2, (98 + 2 * s) * kMiB, 1000 * kMiB), s * 1000);
  // Only the last three seconds count: 2 MiB/s, not the average.
  EXPECT_NE(line.Format(Report(0, 2, 120 * kMiB, 1000 * kMiB), 11000).find(L"  2.0 MiB/s"), std::wstring::npos);
  // The next version starts from nothing: no rate from the old one.
  EXPECT_EQ(line.Format(Report(0, 3, 0, 50 * kMiB), 12000),
            L"  0%  文件 0/3  0.0 MiB / 50.0 MiB  -- MiB/s  剩余 --:--");
  // Nothing to show while no version has files to fetch.
  EXPECT_EQ(line.Format(Report(0, 0, 0, 0), 13000), L"");
}

TEST(ConsoleProgressLine, RedrawsAtMostTenTimesASecond) {
  platform::ProgressLine line;
  int draws = 0;
  for (uint64_t ms = 0; ms < 1000; ms += 7) {
    line.Format(Report(0, 1, ms * 1000, 10 * kMiB), ms);
    if (line.Due(ms)) {
      line.MarkDrawn(ms);
      ++draws;
    }
  }
  EXPECT_EQ(draws, 10);
}

TEST(ConsoleProgressLine, FitsTheTerminalCountingWideCharacters) {
  EXPECT_EQ(platform::ProgressLine::Columns(L"12 文件"), 7);
  EXPECT_EQ(platform::ProgressLine::Fit(L"12 文件 3/4", 6), L"12 文");
  EXPECT_EQ(platform::ProgressLine::Fit(L"12 文件 3/4", 4), L"12 ");
  EXPECT_EQ(platform::ProgressLine::Fit(L"abc", 80), L"abc");
}
