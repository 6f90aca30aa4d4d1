// A disk too small for the next version, and writes that fail for want of
// space or permission: the user is told what is wrong, not that a download
// failed, and nothing is fetched that cannot be stored.
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/text.h"
#include "support/faulty_disk.h"
#include "support/update_fixture.h"
#include "update/file_job.h"

namespace {

class DiskSpaceTest : public testing::Test {
 protected:
  DiskSpaceTest() {
    v1_ = {{"a.dat", {"alpha one", Stamp(1, 1)}}};
    v2_ = {{"a.dat", {"alpha two", Stamp(2, 1)}}, {"map.dat", {RandomBytes(300000, 4), Stamp(2, 2)}}};
    f_.Publish(1, v1_);
    f_.Publish(2, v2_);
    f_.PublishVersionList(1, 2, {});
    f_.InstallFiles(v1_);
    f_.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + f_.ServerWord() + "\r\n");
    f_.clock_speed = 10;
  }

  void Run(ScriptedUi::FailureAction action) {
    ui_.failure_actions = {action};
    f_.disk = &disk_;
    f_.Run(&ui_);
    EXPECT_FALSE(ui_.timed_out);
  }

  static bool Contains(const std::vector<std::wstring>& texts, const std::string& part) {
    for (const std::wstring& text : texts) {
      if (platform::ToUtf8(text).find(part) != std::string::npos) return true;
    }
    return false;
  }

  // The user was told, on every channel, that the disk is too small.
  void ExpectToldDiskIsShort() {
    ASSERT_EQ(ui_.failures_shown.size(), 1u);
    const std::string shown = platform::ToUtf8(ui_.failures_shown[0]);
    EXPECT_EQ(shown, "磁盘空间不足：需要 64.2 MB，可用 1000 B");
    EXPECT_NE(f_.Log().find(shown), std::string::npos) << f_.Log();
    EXPECT_TRUE(Contains(ui_.notices, shown));
  }

  // The dialog keeps its text and code; the log says why and where.
  void ExpectWriteFailureLogged(const std::string& reason, unsigned code) {
    Run(ScriptedUi::kExit);
    ASSERT_EQ(ui_.failures_shown.size(), 1u);
    EXPECT_EQ(platform::ToUtf8(ui_.failures_shown[0]), "下载文件失败[map.dat], 错误代码 [" + std::to_string(code) + "]");
    EXPECT_NE(f_.Log().find("写入文件失败 [" + f_.Install("map.dat.update.2") + "]，原因 [" + reason + "]"),
              std::string::npos)
        << f_.Log();
    EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "1");
  }

  UpdateFixture f_;
  GameFiles v1_, v2_;
  FaultyDisk disk_;
  ScriptedUi ui_;
};

TEST_F(DiskSpaceTest, TooLittleSpaceIsSaidBeforeAnyFileIsFetchedAndRetryChecksAgain) {
  // The user frees space while the dialog is up.
  disk_.free_space = {1000};
  Run(ScriptedUi::kRetry);
  ExpectToldDiskIsShort();
  EXPECT_EQ(f_.server().CountRequests("/update/2/FileConfig.xml"), 2);
  EXPECT_EQ(f_.server().CountRequests("/update/2/map.dat"), 1);
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "2");
  for (const auto& f : v2_) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
}

TEST_F(DiskSpaceTest, SkipOnTooLittleSpaceStartsTheLobbyWithNothingFetched) {
  disk_.free_space = {1000};
  Run(ScriptedUi::kSkip);
  ExpectToldDiskIsShort();
  EXPECT_EQ(f_.server().CountRequests("/update/2/map.dat"), 0);
  EXPECT_EQ(f_.server().CountRequests("/update/2/a.dat"), 0);
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "1");
  EXPECT_TRUE(f_.FileMatches("a.dat", v1_["a.dat"]));
}

TEST_F(DiskSpaceTest, AWriteThatFindsTheDiskFullIsLoggedWithItsReasonAndPath) {
  disk_.unwritable_suffix = "map.dat.update.2";
  disk_.unwritable_kinds = {"write", "size"};
  disk_.unwritable_errno = ENOSPC;
  ExpectWriteFailureLogged("磁盘空间不足", 6);
}

TEST_F(DiskSpaceTest, AnInstallThatCannotBeWrittenIsLoggedAsSuch) {
  disk_.unwritable_suffix = "map.dat.update.2";
  disk_.unwritable_kinds = {"open-write"};
  disk_.unwritable_errno = EACCES;
  ExpectWriteFailureLogged("没有写入权限", 7);
}

}  // namespace

// What a kept pending copy of this version holds is on the disk already:
// only the rest must fit.
TEST_F(DiskSpaceTest, AKeptPendingCopyCountsAsSpaceAlreadyTaken) {
  WriteFileBytes(f_.Install("map.dat.update.2"), v2_["map.dat"].content.substr(0, 200000));
  disk_.free_space = {(64u << 20) + 150000};
  Run(ScriptedUi::kExit);
  EXPECT_TRUE(ui_.failures_shown.empty()) << f_.Log();
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "2");
  for (const auto& f : v2_) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
}
