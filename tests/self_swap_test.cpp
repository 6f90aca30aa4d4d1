// Swapping a new copy of the running updater in, at start-up and during the
// update.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "digest/md5.h"
#include "platform/text.h"
#include "support/update_fixture.h"
#include "update/resume_file.h"
#include "update/self_swap.h"

namespace {

std::wstring Md5Of(const std::string& path) {
  char digest[33];
  MD5_CTX ctx;
  return ctx.DigestFile(digest, platform::FromUtf8(path)) ? platform::FromAnsi(digest) : std::wstring();
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class SelfSwapTest : public testing::Test {
 protected:
  void SetUp() override {
    chmod(f_.Install("updater").c_str(), 0755);
    // As a download leaves it: no execute permission.
    WriteFileBytes(f_.Install("updater.update.12"), "new build");
    chmod(f_.Install("updater.update.12").c_str(), 0644);
  }
  void Ini(const std::string& md5) {
    f_.WriteIni("[Version]\r\nCurrentVersion=12\r\nUpdaterMd5=" + md5 + "\r\n");
  }
  void StartUp() {
    CAutoUpdateClientApp app(platform::FromUtf8(f_.Install("updater")));
    app.CompletePendingSwap();
  }

  UpdateFixture f_;
};

}  // namespace

TEST_F(SelfSwapTest, AtStartUpAVerifiedCopyIsSwappedInWithTheExecutablesMode) {
  Ini(platform::ToUtf8(Md5Of(f_.Install("updater.update.12"))));
  WriteFileBytes(f_.Install("updater.update.13"), "not for this version");
  WriteFileBytes(f_.Install("updater.old"), "older");
  StartUp();
  EXPECT_EQ(ReadFileBytes(f_.Install("updater")), "new build");
  EXPECT_EQ(ModeOf(f_.Install("updater")), 0755u);
  EXPECT_EQ(ReadFileBytes(f_.Install("updater.old")), "the running updater");
  EXPECT_FALSE(PathExists(f_.Install("updater.update.12")));
  EXPECT_TRUE(PathExists(f_.Install("updater.update.13")));
  EXPECT_EQ(f_.Log(), "");
}

TEST_F(SelfSwapTest, AtStartUpACopyWithoutAMatchingRecordedDigestIsDeletedAndLogged) {
  for (const std::string& md5 : {std::string(), std::string(32, '0')}) {
    Ini(md5);
    WriteFileBytes(f_.Install("updater.update.12"), "bad build");
    StartUp();
    EXPECT_EQ(ReadFileBytes(f_.Install("updater")), "the running updater");
    EXPECT_EQ(ModeOf(f_.Install("updater")), 0755u);
    EXPECT_FALSE(PathExists(f_.Install("updater.update.12")));
    EXPECT_FALSE(PathExists(f_.Install("updater.old")));
  }
  std::string log = f_.Log();
  EXPECT_NE(log.find("新版升级程序校验失败，已删除 ["), std::string::npos);
  EXPECT_NE(log.find("updater.update.12]\r\n"), std::string::npos);
}

TEST_F(SelfSwapTest, AtStartUpARecordedVersionThatIsNotANumberNamesNoOutsideFile) {
  f_.WriteIni("[Version]\r\nCurrentVersion=12/../../x\r\n");
  StartUp();
  EXPECT_EQ(ReadFileBytes(f_.Install("updater")), "the running updater");
  EXPECT_NE(f_.Log().find("记录的版本号无效，按 0 处理 [12/../../x]"), std::string::npos);
}

TEST_F(SelfSwapTest, AMoveThatFailsLeavesTheExecutableAsItWas) {
  const std::wstring exe = platform::FromUtf8(f_.Install("updater"));
  const std::wstring pending = platform::FromUtf8(f_.Install("updater.update.12"));
  const std::wstring md5 = Md5Of(f_.Install("updater.update.12"));
  // A directory where the old copy must go cannot be deleted or replaced.
  mkdir(f_.Install("updater.old").c_str(), 0755);
  EXPECT_EQ(SwapInPendingCopy(platform::RealDisk(), exe, pending, md5), SelfSwapResult::kMoveFailed);
  EXPECT_EQ(ReadFileBytes(f_.Install("updater")), "the running updater");
  EXPECT_EQ(ReadFileBytes(f_.Install("updater.update.12")), "new build");
  rmdir(f_.Install("updater.old").c_str());
  EXPECT_EQ(SwapInPendingCopy(platform::RealDisk(), exe, pending, md5), SelfSwapResult::kSwapped);
  EXPECT_EQ(SwapInPendingCopy(platform::RealDisk(), exe, pending, md5), SelfSwapResult::kNoPendingCopy);
}

TEST_F(SelfSwapTest, AnUpdaterThatFailsItsDigestLeavesNoPendingCopyForTheNextStart) {
  f_.Publish(5, {{"updater", {"the running updater", Stamp(5, 9)}}});
  f_.Publish(6, {{"updater", {"the new updater", Stamp(6, 9)}}});
  f_.PublishVersionList(6, 6, {});
  f_.WriteIni("[Version]\r\nCurrentVersion=5\r\n[Temp]\r\nTemp1=" + f_.ServerWord() + "\r\n");
  WriteFileBytes(f_.ServerRoot() + "/update/6/updater", "the bad updater");
  ScriptedUi ui;
  ui.failure_actions = {ScriptedUi::kExit};
  f_.Run(&ui);
  EXPECT_EQ(ui.failures_shown.size(), 1u);
  EXPECT_EQ(ReadFileBytes(f_.Install("updater")), "the running updater");
  EXPECT_FALSE(PathExists(f_.Install("updater.update.6")));
  // The publisher releases again; the recorded version names the old copy.
  f_.WriteIni("[Version]\r\nCurrentVersion=6\r\n");
  StartUp();
  EXPECT_EQ(ReadFileBytes(f_.Install("updater")), "the running updater");
}

TEST_F(SelfSwapTest, AtStartUpAVerifiedCopyOfAnEarlierVersionIsSwappedInToo) {
  // The run that could not swap version 12's copy in went on to record 13,
  // which left the updater as it was.
  f_.WriteIni("[Version]\r\nCurrentVersion=13\r\nUpdaterMd5=" + platform::ToUtf8(Md5Of(f_.Install("updater.update.12"))) +
              "\r\n");
  WriteFileBytes(f_.Install("updater.update.11"), "an older build");
  WriteFileBytes(f_.Install("updater.update.14"), "not for this version");
  StartUp();
  EXPECT_EQ(ReadFileBytes(f_.Install("updater")), "new build");
  EXPECT_EQ(ModeOf(f_.Install("updater")), 0755u);
  EXPECT_FALSE(PathExists(f_.Install("updater.update.12")));
  EXPECT_FALSE(PathExists(f_.Install("updater.update.11")));
  EXPECT_TRUE(PathExists(f_.Install("updater.update.14")));
  EXPECT_EQ(f_.Log(), "");
}

TEST_F(SelfSwapTest, AtStartUpAnEarlierCopyLeftBehindByASwapThatLaterSucceededGoesQuietly) {
  WriteFileBytes(f_.Install("updater"), "build thirteen");
  f_.WriteIni("[Version]\r\nCurrentVersion=13\r\nUpdaterMd5=" + platform::ToUtf8(Md5Of(f_.Install("updater"))) +
              "\r\n");
  StartUp();
  EXPECT_EQ(ReadFileBytes(f_.Install("updater")), "build thirteen");
  EXPECT_FALSE(PathExists(f_.Install("updater.update.12")));
  EXPECT_EQ(f_.Log(), "");
}
