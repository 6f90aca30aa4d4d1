// How a ranged file is cut, and cut again when a range finishes early.
#include <gtest/gtest.h>

#include <map>

#include "net/range_plan.h"
#include "update/download_progress.h"

namespace {

using Kept = RangePlan::Kept;

// The ranges cover 0 .. length in order, without gaps or overlaps.
void ExpectCovers(const RangePlan& plan, uint64_t length) {
  uint64_t at = 0;
  for (const RangePlan::Range& r : plan.ranges()) {
    EXPECT_EQ(r.first, at);
    EXPECT_GT(r.end, r.first);
    EXPECT_LE(r.done, r.end - r.first);
    at = r.end;
  }
  EXPECT_EQ(at, length);
}

TEST(RangePlanTest, AFileStartsAsEvenRanges) {
  RangePlan plan;
  plan.Divide(10, 5);
  ASSERT_EQ(plan.ranges().size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(plan.ranges()[i].first, 2u * i);
  plan.Divide(uint64_t{5} << 30, 5);  // past 4 GiB
  ExpectCovers(plan, uint64_t{5} << 30);
  EXPECT_EQ(plan.ranges()[4].first, uint64_t{4} << 30);
  EXPECT_EQ(plan.Unclaimed(), 0);
}

TEST(RangePlanTest, AnIdleWorkerTakesOverTheSecondHalfOfTheLargestRest) {
  RangePlan plan;
  plan.Divide(1000, 4);
  for (int w = 0; w < 4; ++w) plan.at(w).worker = w;
  // Worker 0 is done; 1 has 200 bytes to come, 2 has 240, 3 cannot be cut.
  std::map<int, uint64_t> next = {{1, 300}, {2, 510}};
  auto next_byte = [&](int w, uint64_t* b) {
    if (!next.count(w)) return false;
    *b = next[w];
    return true;
  };
  plan.Release(0, 250);
  int donor = -1;
  const int taken = plan.TakeOver(0, next_byte, 100, &donor);
  ASSERT_EQ(taken, 3);
  EXPECT_EQ(donor, 2);
  EXPECT_EQ(plan.at(2).end, 630u);  // 510 + 240 / 2
  EXPECT_EQ(plan.at(taken).first, 630u);
  EXPECT_EQ(plan.at(taken).end, 750u);
  EXPECT_EQ(plan.at(taken).worker, 0);
  EXPECT_EQ(plan.RangeOf(0), taken);
  ExpectCovers(plan, 1000);
  // The rests are now 200 (worker 1) and 120: halves of 100 would still do
  // for the first, halves of 101 for none.
  plan.Release(0, 0);
  EXPECT_EQ(plan.TakeOver(0, next_byte, 101, &donor), -1);
  EXPECT_EQ(plan.TakeOver(0, next_byte, 100, &donor), 2);
  EXPECT_EQ(donor, 1);
}

TEST(RangePlanTest, ARecordIsTakenUpHoweverItWasCutButOnlyWhenItFitsTheFile) {
  RangePlan plan;
  ASSERT_TRUE(plan.Adopt(1000, {{0, 100}, {200, 0}, {200, 50}, {700, 300}}));
  ASSERT_EQ(plan.ranges().size(), 3u);  // the empty one covers nothing
  ExpectCovers(plan, 1000);
  EXPECT_EQ(plan.at(1).done, 50u);
  EXPECT_EQ(plan.at(2).missing(), 0u);
  for (const std::vector<Kept>& bad : std::vector<std::vector<Kept>>{
           {}, {{10, 0}}, {{0, 300}, {200, 0}}, {{0, 0}, {500, 0}, {400, 0}}, {{0, 0}, {1200, 0}},
           {{0, 0}, {900, 101}}}) {
    RangePlan untouched;
    untouched.Divide(1000, 5);
    EXPECT_FALSE(untouched.Adopt(1000, bad));
    EXPECT_EQ(untouched.ranges().size(), 5u);
  }
}

TEST(RangePlanTest, RangesLeftByAnEarlierAttemptAreHalvedUntilEveryWorkerHasOne) {
  RangePlan plan;
  ASSERT_TRUE(plan.Adopt(1000000, {{0, 600000}, {600000, 0}}));  // 400000 missing, in one range
  plan.Spread(5, 10000);
  ExpectCovers(plan, 1000000);
  int open = 0;
  uint64_t missing = 0;
  for (const RangePlan::Range& r : plan.ranges()) {
    open += r.missing() > 0;
    missing += r.missing();
  }
  EXPECT_EQ(open, 5);
  EXPECT_EQ(missing, 400000u);
  // Halves below the minimum are not made.
  ASSERT_TRUE(plan.Adopt(1000000, {{0, 990000}}));
  plan.Spread(5, 10000);
  EXPECT_EQ(plan.ranges().size(), 1u);
}

TEST(RangePlanTest, ACutPlanIsRecordedInFileOrderAndReadBack) {
  RangePlan plan;
  plan.Divide(5000, 5);
  for (int w = 0; w < 5; ++w) plan.at(w).worker = w;
  plan.Release(4, 1000);
  int donor = -1;
  const int taken = plan.TakeOver(4, [](int w, uint64_t* b) { *b = 1000u * w + 10; return true; }, 100, &donor);
  ASSERT_GT(taken, 0);
  DownloadProgress record;
  record.length = 5000;
  record.validator = "\"v\"";
  for (const Kept& kept : plan.KeptRanges()) record.parts.push_back({kept.first, kept.done});
  DownloadProgress read;
  ASSERT_TRUE(ParseProgress(FormatProgress(record), &read));
  ASSERT_EQ(read.parts.size(), 6u);
  std::vector<Kept> kept;
  for (const DownloadProgress::Part& p : read.parts) kept.push_back({p.first, p.done});
  RangePlan again;
  ASSERT_TRUE(again.Adopt(5000, kept));
  ExpectCovers(again, 5000);
  EXPECT_EQ(again.ranges().size(), 6u);
  EXPECT_EQ(again.at(5).done, 1000u);
}

}  // namespace
