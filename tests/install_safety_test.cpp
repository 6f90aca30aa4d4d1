// What the server sends never reaches outside the install directory or the
// updater's own files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "net/download.h"
#include "platform/text.h"
#include "update/auto_update_dlg.h"
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
  f_.WriteIni("[Version]\r\nCurrentVersion=6\r\n[Temp]\r\nTemp1=" + f_.ServerWord() + "\r\n");
  struct timespec before = OutsideTime();
  f_.Run(&ui_);
  EXPECT_FALSE(ui_.timed_out);
  EXPECT_EQ(ui_.failures_shown.size(), 1u);
  EXPECT_EQ(ReadFileBytes(outside_ + "/map.bin"), "outside");
  EXPECT_FALSE(PathExists(outside_ + "/map.bin.update.6"));
  // Refused like a path that climbs out, before anything is fetched.
  const std::string log = f_.Log();
  EXPECT_NE(log.find("文件路径不安全，已跳过 [data/map.bin]"), std::string::npos) << log;
  EXPECT_NE(log.find("文件路径不安全，已跳过 [/readme.txt]"), std::string::npos) << log;
  EXPECT_EQ(f_.server().CountRequests("/update/6/data/map.bin"), 0);
  struct timespec after = OutsideTime();
  EXPECT_EQ(after.tv_sec, before.tv_sec);
  EXPECT_EQ(after.tv_nsec, before.tv_nsec);
  EXPECT_EQ(f_.server().CountRequests("/update/6/readme.txt"), 0);
  EXPECT_EQ(ReadFileBytes(f_.Install("game.dat")), "five");
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

TEST_F(InstallSafetyTest, AnInstalledFileIsNotReplacedByBytesWithoutADigest) {
  v6_["brand-new.txt"] = {"new", Stamp(6, 5)};
  f_.Publish(6, v6_);
  f_.InstallFiles(v5_);
  // The server sent entries without digests.
  const std::string config = f_.ServerRoot() + "/update/6/FileConfig.xml";
  std::string manifest = ReadFileBytes(config);
  for (size_t at = manifest.find("<Md5>"); at != std::string::npos; at = manifest.find("<Md5>", at + 5)) {
    manifest.erase(at + 5, manifest.find("</Md5>", at) - at - 5);
  }
  WriteFileBytes(config, manifest);
  f_.Run(&ui_);
  ASSERT_EQ(ui_.failures_shown.size(), 1u);
  EXPECT_NE(ui_.failures_shown[0].find(L"MD5检验失败，正在更新的版本号[6],下载到本地的的文件名["), std::wstring::npos);
  EXPECT_NE(f_.Log().find("XML配置文件名[map.bin],MD5=[]"), std::string::npos);
  EXPECT_TRUE(f_.FileMatches("data/map.bin", v5_["data/map.bin"]));
  EXPECT_FALSE(PathExists(f_.Install("data/map.bin.update.6")));
  // A new file has nothing to lose: it is installed as before.
  EXPECT_EQ(ReadFileBytes(f_.Install("brand-new.txt")), "new");
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "5");
}

TEST_F(InstallSafetyTest, ServerAddressesWithControlCharactersAreNotStored) {
  f_.Publish(6, v6_);
  f_.InstallFiles(v5_);
  f_.PublishVersionList(6, 6, {f_.ServerWord(), "127.0.0.1:2"});
  // A second address that would inject a home page into the resume file.
  const std::string list = f_.ServerRoot() + "/update/VerAndUrl.xml";
  std::string xml = ReadFileBytes(list);
  xml.replace(xml.find("127.0.0.1:2"), 11, "x&#13;&#10;[HOME]&#13;&#10;URL=file:///etc/shadow");
  WriteFileBytes(list, xml);
  f_.Run(&ui_);
  EXPECT_TRUE(f_.LobbyStarted());
  const std::string ini = ReadFileBytes(f_.Install("UpdateTemp.ini"));
  EXPECT_EQ(ini.find("HOME"), std::string::npos) << ini;
  EXPECT_EQ(f_.IniValue("Temp", "Temp2"), "<none>");
  EXPECT_NE(f_.Log().find("服务器地址含有控制字符，未保存 [2] [x\\x0D\\x0A[HOME]\\x0D\\x0AURL=file:///etc/shadow]"),
            std::string::npos)
      << f_.Log();
}

namespace {

// Notes how many jobs were queued whenever a result arrived.
class CountingDlg : public CAutoUpdateClientDlg {
 public:
  using CAutoUpdateClientDlg::CAutoUpdateClientDlg;
  void OnMessage(unsigned msg, uintptr_t wparam, intptr_t lparam) override {
    if (msg == WM_JOB_DONE) most_queued = std::max(most_queued, queued_jobs());
    CAutoUpdateClientDlg::OnMessage(msg, wparam, lparam);
  }
  unsigned most_queued = 0;
};

}  // namespace

TEST_F(InstallSafetyTest, AJobIsMadeOnlyWhenTheQueueReachesItsFile) {
  for (int i = 0; i < 60; ++i) v6_["many/f" + std::to_string(i) + ".txt"] = {std::to_string(i), Stamp(6, 10 + i)};
  f_.Publish(6, v6_);
  f_.InstallFiles(v5_);
  CAutoUpdateClientApp app(platform::FromUtf8(f_.Install("updater")));
  {
    CountingDlg dlg(&app, &ui_);
    ASSERT_TRUE(dlg.OnInitDialog());
    ui_.RunModal();
    // Jobs for the requests in flight only, never one per entry.
    EXPECT_LE(dlg.most_queued, static_cast<unsigned>(UpdateRun::kMaxConnections * CDownLoad::kPipelineDepth));
    ui_.DestroyMainWindow();
  }
  EXPECT_TRUE(f_.LobbyStarted());
  for (const auto& f : v6_) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "6");
}

TEST_F(InstallSafetyTest, ManyRefusedEntriesAreEachLoggedAndTheRestIsInstalled) {
  f_.Publish(6, v6_);
  f_.InstallFiles(v5_);
  const std::string config = f_.ServerRoot() + "/update/6/FileConfig.xml";
  std::string manifest = ReadFileBytes(config);
  std::string entries;
  for (int i = 0; i < 2000; ++i) {
    entries += "<File><FileName>x" + std::to_string(i) + "</FileName><LocalPath>../..</LocalPath></File>";
  }
  manifest.insert(manifest.find("</Product>"), entries);
  WriteFileBytes(config, manifest);
  f_.Run(&ui_);
  ASSERT_EQ(ui_.failures_shown.size(), 1u);
  const std::string log = f_.Log();
  size_t lines = 0;
  for (size_t at = log.find("文件路径不安全"); at != std::string::npos; at = log.find("文件路径不安全", at + 1)) ++lines;
  EXPECT_EQ(lines, 2000u);
  EXPECT_TRUE(f_.FileMatches("data/map.bin", v6_["data/map.bin"]));
  EXPECT_EQ(f_.server().CountRequests("/x"), 0);
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "5");
}

TEST_F(InstallSafetyTest, NoVersionListIsLeftInTheTemporaryDirectoryAfterServerSwitches) {
  std::string tmp = f_.Install("tmp");
  mkdir(tmp.c_str(), 0755);
  const char* old_tmp = getenv("TMPDIR");
  std::string saved_tmp = old_tmp ? old_tmp : "";
  setenv("TMPDIR", tmp.c_str(), 1);
  f_.Publish(6, v6_);
  f_.InstallFiles(v5_);
  // Server 1 never answers; server 2 sends half a list and stops.
  f_.server().SetRules("{\"/update/VerAndUrl.xml\": \"stall-header\"}");
  TestUpdateServer second(f_.ServerRoot());
  second.SetRules("{\"/update/VerAndUrl.xml\": \"stall\"}");
  TestUpdateServer third(f_.ServerRoot());
  f_.WriteIni("[Version]\r\nCurrentVersion=5\r\n[Temp]\r\nTemp1=" + f_.ServerWord() + "\r\nTemp2=127.0.0.1:" +
              std::to_string(second.port()) + "\r\nTemp3=127.0.0.1:" + std::to_string(third.port()) + "\r\n");
  f_.clock_speed = 30;
  f_.Run(&ui_);
  if (old_tmp) setenv("TMPDIR", saved_tmp.c_str(), 1);
  else unsetenv("TMPDIR");
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "6");
  EXPECT_EQ(ListDirectory(tmp), std::vector<std::string>{});
}
