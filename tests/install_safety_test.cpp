// What the server sends never reaches outside the install directory or the
// updater's own files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/text.h"
#include "support/update_fixture.h"

namespace {

class InstallSafetyTest : public testing::Test {
 protected:
  void SetUp() override {
    v5_ = {{"game.dat", {"five", Stamp(5, 1)}}, {"data/map.bin", {"map five", Stamp(5, 2)}}};
    v6_ = v5_;
    v6_["data/map.bin"] = {"map six", Stamp(6, 2)};
    v6_["readme.txt"] = {"readme six", Stamp(6, 3)};
    f_.Publish(5, v5_);
    f_.PublishVersionList(6, 6, {});
    f_.WriteIni("[Version]\r\nCurrentVersion=5\r\n[Temp]\r\nTemp1=" + f_.ServerWord() + "\r\n");
    outside_ = f_.Install("../outside");
    mkdir(outside_.c_str(), 0755);
    WriteFileBytes(outside_ + "/map.bin", "outside");
    ui_.failure_actions = {ScriptedUi::kExit};
  }
  struct timespec OutsideTime() {
    struct stat st;
    stat(outside_.c_str(), &st);
    return st.st_mtim;
  }

  UpdateFixture f_;
  GameFiles v5_, v6_;
  std::string outside_;
  ScriptedUi ui_;
};

}  // namespace

TEST_F(InstallSafetyTest, ADirectoryLinkInsideTheInstallLeadsNoWriteOutside) {
  f_.Publish(6, v6_);
  f_.InstallFiles({{"game.dat", v5_["game.dat"]}});
  ASSERT_EQ(symlink(outside_.c_str(), f_.Install("data").c_str()), 0);
  ASSERT_EQ(symlink(outside_.c_str(), f_.Install("readme.txt").c_str()), 0);
  struct timespec before = OutsideTime();
  f_.Run(&ui_);
  EXPECT_FALSE(ui_.timed_out);
  EXPECT_EQ(ui_.failures_shown.size(), 1u);
  EXPECT_EQ(ReadFileBytes(outside_ + "/map.bin"), "outside");
  EXPECT_FALSE(PathExists(outside_ + "/map.bin.update.6"));
  struct timespec after = OutsideTime();
  EXPECT_EQ(after.tv_sec, before.tv_sec);
  EXPECT_EQ(after.tv_nsec, before.tv_nsec);
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "5");
}

TEST_F(InstallSafetyTest, AReleaseCannotReplaceTheResumeFileOrTheLog) {
  // The publisher refuses such a release, so the manifest is edited by hand.
  f_.Publish(6, v6_);
  const std::string dir = f_.ServerRoot() + "/update/6/";
  std::string manifest = ReadFileBytes(dir + "FileConfig.xml");
  std::string entries;
  for (const char* name : {"UpdateTemp.ini", "UpdateLog.log"}) {
    WriteFileBytes(dir + name, "[Version]\r\nCurrentVersion=6/../../outside/pwn\r\n");
    entries += std::string("<File><FileName>") + name + "</FileName><Length>46</Length></File>";
  }
  manifest.insert(manifest.find("</Product>"), entries);
  WriteFileBytes(dir + "FileConfig.xml", manifest);
  f_.InstallFiles(v5_);
  f_.Run(&ui_);
  EXPECT_EQ(f_.server().CountRequests("/update/6/UpdateTemp.ini"), 0);
  EXPECT_EQ(f_.server().CountRequests("/update/6/UpdateLog.log"), 0);
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "5");
  std::string log = f_.Log();
  EXPECT_NE(log.find("文件路径不安全，已跳过 [/UpdateTemp.ini]"), std::string::npos);
  EXPECT_NE(log.find("文件路径不安全，已跳过 [/UpdateLog.log]"), std::string::npos);
  EXPECT_TRUE(f_.FileMatches("data/map.bin", v6_["data/map.bin"]));
}

TEST_F(InstallSafetyTest, ARecordedVersionThatIsNotANumberWritesNothingOutside) {
  f_.Publish(6, v6_);
  f_.InstallFiles(v5_);
  f_.WriteIni("[Version]\r\nCurrentVersion=6/../../outside/pwn\r\n[Temp]\r\nTemp1=" + f_.ServerWord() +
              "\r\n");
  f_.Run(&ui_);
  EXPECT_FALSE(PathExists(outside_ + "/pwn"));
  EXPECT_NE(f_.Log().find("记录的版本号无效，按 0 处理 [6/../../outside/pwn]"), std::string::npos);
}
