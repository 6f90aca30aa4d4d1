// A whole update that takes up an interrupted file: after a server switch,
// after Retry, and from the record an earlier run left.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "digest/md5.h"
#include "update/download_progress.h"
#include "update/file_job.h"
#include "platform/text.h"
#include "support/update_fixture.h"

namespace {

std::string Blob(size_t size, unsigned seed) {
  std::string data(size, '\0');
  srand(seed);
  for (auto& c : data) c = static_cast<char>(rand());
  return data;
}

// Requests for |name| in a server's log that went on from a kept byte
// rather than from the start of a part.
int ResumedRequests(const std::string& log, const std::string& name) {
  int count = 0;
  size_t at = 0;
  while ((at = log.find('\n', at)) != std::string::npos) {
    const size_t begin = log.rfind('\n', at - 1);
    const std::string line = log.substr(begin == std::string::npos ? 0 : begin + 1, at - begin);
    if (line.find(name) != std::string::npos && line.find("If-Range") != std::string::npos) ++count;
    ++at;
  }
  return count;
}

class ResumeUpdateTest : public testing::Test {
 protected:
  void SetUp() override {
    big_ = Blob(CInetFile::kOneStreamBelow + 1000000, 11);
    f_.Publish(1, {{"a.txt", {"one", Stamp(1, 1)}}});
    f_.Publish(2, {{"a.txt", {"one", Stamp(1, 1)}}, {"big.bin", {big_, Stamp(2, 2)}}});
    f_.PublishVersionList(1, 2, {});
    f_.InstallFiles({{"a.txt", {"one", Stamp(1, 1)}}});
    f_.clock_speed = 30;
  }
  void ExpectDoneAndClean() {
    EXPECT_TRUE(f_.LobbyStarted());
    EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "2");
    EXPECT_EQ(ReadFileBytes(f_.Install("big.bin")), big_);
    // Nothing is left behind by a complete run.
    EXPECT_FALSE(PathExists(f_.Install("big.bin.update.2")));
    EXPECT_FALSE(PathExists(f_.Install("big.bin.update.2.progress")));
  }

  // Server 1 stalls in the middle of the file; server 2 has it with the same
  // validator or with another.
  void SwitchServerMidFile(bool same) {
    f_.server().SetRules("{\"/update/2/big.bin\": \"stall\"}");
    TestUpdateServer second(f_.ServerRoot());
    second.SetRules(same ? "{}" : "{\"/update/2/big.bin\": \"etag:republished\"}");
    f_.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + f_.ServerWord() +
                "\r\nTemp2=127.0.0.1:" + std::to_string(second.port()) + "\r\n");
    f_.Run(&ui_);
    ExpectDoneAndClean();
    const std::string log = second.RequestLog();
    // Every part asks for its rest; when the file turns out to have
    // changed, the first answer that says so starts it over, and parts that
    // had not asked yet need not.
    if (same) {
      EXPECT_EQ(ResumedRequests(log, "big.bin"), CInetFile::kParts) << log;
    } else {
      EXPECT_GE(ResumedRequests(log, "big.bin"), 1) << log;
    }
    const bool from_zero = log.find("\"Range\": \"bytes=0-") != std::string::npos;
    EXPECT_EQ(from_zero, !same) << log;
  }

  UpdateFixture f_;
  ScriptedUi ui_;
  std::string big_;
};

TEST_F(ResumeUpdateTest, TheNextServerGoesOnWithTheFileWhenItsValidatorMatches) { SwitchServerMidFile(true); }

TEST_F(ResumeUpdateTest, TheNextServerStartsTheFileOverWhenItsValidatorDiffers) { SwitchServerMidFile(false); }

TEST_F(ResumeUpdateTest, RetryAfterABrokenTransferGoesOnFromTheKeptBytes) {
  f_.server().SetRules("{\"/update/2/big.bin\": \"close-mid-body\"}");
  // Retry asks for the ".update" name; the server has it, with the same bytes.
  WriteFileBytes(f_.ServerRoot() + "/update/2/big.bin.update", big_);
  f_.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + f_.ServerWord() + "\r\n");
  ui_.failure_actions = {ScriptedUi::kRetry};
  f_.Run(&ui_);
  ASSERT_EQ(ui_.failures_shown.size(), 1u);
  ExpectDoneAndClean();
  const std::string log = f_.server().RequestLog();
  // The parts that had bytes go on from them.
  EXPECT_GE(ResumedRequests(log, "big.bin.update"), 1) << log;
}

TEST_F(ResumeUpdateTest, ARunTakesUpWhatTheLastOneLeftAndCountsItAsDone) {
  // An earlier run was killed with all but the last 16 KiB of the file on disk.
  const uint64_t missing = 16384;
  DownloadProgress p;
  p.length = big_.size();
  char tag[33];
  MD5_CTX md5;
  WriteFileBytes(f_.Install("big.bin.update.2"), big_);
  ASSERT_TRUE(md5.DigestFile(tag, platform::FromUtf8(f_.Install("big.bin.update.2"))));
  p.validator = "\"" + std::string(tag, 16) + "\"";
  for (int i = 0; i < CInetFile::kParts; ++i) {
    const uint64_t first = static_cast<uint64_t>(i) * big_.size() / CInetFile::kParts;
    const uint64_t end = i + 1 < CInetFile::kParts ? static_cast<uint64_t>(i + 1) * big_.size() / CInetFile::kParts
                                                   : big_.size() - missing;
    p.parts.push_back({first, end - first});
  }
  ASSERT_TRUE(SaveProgress(platform::RealDisk(), platform::FromUtf8(f_.Install("big.bin.update.2")), p));
  // A kept copy of a file the server no longer lists goes when a version is recorded.
  WriteFileBytes(f_.Install("gone.dat.update.2"), "old bytes");
  DownloadProgress gone = p;
  gone.length = 9;
  gone.parts = {{0, 9}};
  ASSERT_TRUE(SaveProgress(platform::RealDisk(), platform::FromUtf8(f_.Install("gone.dat.update.2")), gone));
  // The rest comes slowly, so the window is painted while it comes.
  f_.server().SetRules("{\"/update/2/big.bin\": \"trickle\"}");
  f_.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + f_.ServerWord() + "\r\n");
  ui_.paint = true;
  f_.Run(&ui_);
  ExpectDoneAndClean();
  EXPECT_FALSE(PathExists(f_.Install("gone.dat.update.2")));
  EXPECT_FALSE(PathExists(f_.Install("gone.dat.update.2.progress")));
  EXPECT_EQ(f_.server().CountRequests("big.bin"), 1);
  EXPECT_NE(f_.server().RequestLog().find("\"Range\": \"bytes=" + std::to_string(big_.size() - missing) + "-"),
            std::string::npos);
  // The kept bytes counted as done from the start; nothing counted twice.
  EXPECT_GE(ui_.most_bytes_done, big_.size() - missing);
  EXPECT_LE(ui_.most_bytes_done, big_.size());
}

TEST_F(ResumeUpdateTest, KeptBytesThatFailTheDigestAreFetchedOnceMoreFromZero) {
  std::string wrong = big_;
  wrong[10] = static_cast<char>(wrong[10] ^ 1);
  DownloadProgress p;
  p.length = big_.size();
  p.validator = "\"stale\"";
  p.parts.push_back({0, 0});
  for (int i = 0; i < CInetFile::kParts; ++i) {
    const uint64_t first = static_cast<uint64_t>(i) * big_.size() / CInetFile::kParts;
    p.parts.resize(i + 1);
    p.parts[i] = {first, i == 0 ? 100u : 0u};
  }
  WriteFileBytes(f_.Install("big.bin.update.2"), wrong);
  ASSERT_TRUE(SaveProgress(platform::RealDisk(), platform::FromUtf8(f_.Install("big.bin.update.2")), p));
  // The server's tag is not what the record holds, yet it answers ranges
  // regardless: the digest is what finds the bad byte.
  f_.server().SetRules("{\"/update/2/big.bin\": \"etag:stale\"}");
  f_.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + f_.ServerWord() + "\r\n");
  f_.Run(&ui_);
  EXPECT_TRUE(ui_.failures_shown.empty());
  ExpectDoneAndClean();
  EXPECT_EQ(f_.server().RequestLog().find("\"Range\": \"bytes=0-") != std::string::npos, true);
}

}  // namespace
