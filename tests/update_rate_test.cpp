// A whole update under the bandwidth cap of UpdateTemp.ini.
#include <gtest/gtest.h>

#include <string>

#include "platform/event_loop.h"
#include "platform/text.h"
#include "support/update_fixture.h"
#include "update/file_job.h"

namespace {

std::string Blob(size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 2654435761u + seed) >> 13);
  return data;
}

class CappedUpdateTest : public testing::Test {
 protected:
  void SetUp() override {
    big_ = Blob(CInetFile::kOneStreamBelow + (1 << 20), 3);
    f_.Publish(1, {{"a.txt", {"one", Stamp(1, 1)}}});
    f_.Publish(2, {{"a.txt", {"one", Stamp(1, 1)}}, {"big.bin", {big_, Stamp(2, 2)}}});
    f_.PublishVersionList(1, 2, {});
    f_.InstallFiles({{"a.txt", {"one", Stamp(1, 1)}}});
    ui_.failure_actions = {ScriptedUi::kExit};
  }
  // Runs the update with |download_section| in UpdateTemp.ini; the time it
  // took in milliseconds.
  uint64_t RunWith(const std::string& download_section) {
    f_.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + f_.ServerWord() + "\r\n" + download_section);
    const uint64_t start = platform::MonotonicMs();
    f_.Run(&ui_);
    const uint64_t took = platform::MonotonicMs() - start;
    EXPECT_TRUE(ui_.failures_shown.empty());
    EXPECT_TRUE(f_.LobbyStarted());
    EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "2");
    EXPECT_EQ(ReadFileBytes(f_.Install("big.bin")), big_);
    return took;
  }

  UpdateFixture f_;
  ScriptedUi ui_;
  std::string big_;
};

TEST_F(CappedUpdateTest, FiveRangesUnderMaxRateTogetherTakeNoLessTimeThanTheCapImplies) {
  // 5 MiB over five connections at 1 MiB/s: five seconds at the least. A
  // loaded machine may take longer; only much longer would be a fault.
  const uint64_t took = RunWith("[Download]\r\nMaxRate=1024\r\n");
  const uint64_t implied = big_.size() * 1000 / (1 << 20);
  EXPECT_GE(took, implied * 95 / 100) << "the cap was not held";
  EXPECT_LE(took, implied * 10) << "far slower than the cap";
}

}  // namespace
