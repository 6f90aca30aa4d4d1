#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>

#include "platform/text.h"
#include "manifest/update_files.h"
#include "support/update_fixture.h"
#include "update/resume_file.h"

namespace {

std::string Bytes(size_t size, char seed) {
  std::string s(size, seed);
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(seed + i * 7 + (i >> 8));
  return s;
}

class UpdateFlowTest : public testing::Test {
 protected:
  // Versions 5, 6 and 7 of a small game.
  void SetUp() override {
    v5_ = {{"game.dat", {Bytes(300000, 'a'), Stamp(5, 1)}},
           {"data/map.bin", {Bytes(70000, 'b'), Stamp(5, 2)}},
           {"说明.txt", {"第五版", Stamp(5, 3)}}};
    v6_ = v5_;
    v6_["data/map.bin"] = {Bytes(90000, 'c'), Stamp(6, 2)};
    v6_["data/new/sound.ogg"] = {Bytes(12345, 'd'), Stamp(6, 4)};
    v7_ = v6_;
    v7_["说明.txt"] = {"第七版", Stamp(7, 3)};
    v7_["game.dat"] = {Bytes(400000, 'e'), Stamp(7, 1)};
    f_.Publish(5, v5_);
    f_.Publish(6, v6_);
    f_.Publish(7, v7_);
  }
  void StandardIni(const std::string& version) {
    f_.WriteIni("[Version]\r\nCurrentVersion=" + version + "\r\n[Temp]\r\nTemp1=" + f_.ServerWord() +
                "\r\n");
  }
  int ManifestRequests(int version) {
    return f_.server().CountRequests("/update/" + std::to_string(version) + "/FileConfig.xml");
  }

  UpdateFixture f_;
  GameFiles v5_, v6_, v7_;
  ScriptedUi ui_;
};

}  // namespace

TEST_F(UpdateFlowTest, BringsVersionFiveUpToSevenAndStartsTheLobby) {
  f_.PublishVersionList(7, 7, {f_.ServerWord(), "127.0.0.1:9/mirror-two"});
  StandardIni("5");
  GameFiles installed = v5_;
  installed["说明.txt"].stamp = Stamp(4, 3);  // differs, but version 5 fetches only missing files
  installed.erase("data/map.bin");            // missing: fetched for version 5
  f_.InstallFiles(installed);

  f_.Run(&ui_);

  EXPECT_FALSE(ui_.timed_out);
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "7");
  // Stored as the list gave it (scrambled, being long), read back plain.
  EXPECT_EQ(ResumeFile(platform::FromUtf8(f_.Install("UpdateTemp.ini"))).ReadServerAddress(2),
            L"127.0.0.1:9/mirror-two");
  for (const auto& f : v7_) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
  // Manifests 5, 6, 7 in order; for 5 only the missing file came.
  std::string log = f_.server().RequestLog();
  size_t p5 = log.find("/update/5/FileConfig.xml"), p6 = log.find("/update/6/FileConfig.xml"),
         p7 = log.find("/update/7/FileConfig.xml");
  ASSERT_NE(p7, std::string::npos);
  EXPECT_LT(p5, p6);
  EXPECT_LT(p6, p7);
  EXPECT_EQ(f_.server().CountRequests("/update/5/data/map.bin"), 1);  // short: one stream
  EXPECT_EQ(f_.server().CountRequests("/update/5/game.dat"), 0);
  EXPECT_EQ(f_.server().CountRequests("/update/5/%E8%AF%B4"), 0);
  EXPECT_EQ(f_.Complaints(), "");  // nothing went wrong
  EXPECT_FALSE(PathExists(f_.Install("game.dat.update.7")));
}

TEST_F(UpdateFlowTest, WithoutAResumeFileTheLobbyStartsAtOnce) {
  f_.Run(&ui_);
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_EQ(f_.server().RequestLog(), "");
  EXPECT_EQ(f_.app->ExitInstance(), 0);
}

TEST_F(UpdateFlowTest, AtTheNewestVersionMissingFilesAreRestored) {
  f_.PublishVersionList(7, 7, {});
  StandardIni("7");
  GameFiles installed = v7_;
  installed.erase("data/new/sound.ogg");
  f_.InstallFiles(installed);
  f_.Run(&ui_);
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_TRUE(f_.FileMatches("data/new/sound.ogg", v7_["data/new/sound.ogg"]));
  EXPECT_EQ(ManifestRequests(7), 1);
  EXPECT_EQ(f_.IniValue("Temp", "Temp1"), f_.ServerWord());  // empty list entries keep old keys
}

TEST_F(UpdateFlowTest, FailedFileShowsTheDialogAndRetryAsksWithUpdateAppended) {
  f_.PublishVersionList(7, 7, {});
  StandardIni("7");
  f_.InstallFiles(v7_);
  platform::DeleteFile(platform::FromUtf8(f_.Install("说明.txt")));
  f_.server().SetRules("{\"/update/7/说明.txt\": \"status:500\"}");
  // The ".update" name is there on the server, so the retry succeeds.
  WriteFileBytes(f_.ServerRoot() + "/update/7/说明.txt.update", v7_["说明.txt"].content);
  ui_.failure_actions = {ScriptedUi::kRetry};
  f_.Run(&ui_);
  ASSERT_EQ(ui_.failures_shown.size(), 1u);
  EXPECT_EQ(ui_.failures_shown[0], L"下载文件失败[说明.txt], 错误代码 [6]");
  EXPECT_NE(f_.Log().find(" 下载文件失败[说明.txt], 错误代码 [6]\r\n"), std::string::npos);
  // The next line names the address asked for last.
  EXPECT_NE(f_.Log().find(" 最后请求的地址 [" + f_.server().base() + "/update/7/%E8%AF%B4%E6%98%8E.txt]\r\n"),
            std::string::npos)
      << f_.Log();
  EXPECT_EQ(f_.server().CountRequests("说明.txt.update"), 1);
  EXPECT_FALSE(f_.app == nullptr);
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_EQ(ReadFileBytes(f_.Install("说明.txt")), v7_["说明.txt"].content);
}

TEST_F(UpdateFlowTest, SkipOnTheFailureDialogStartsTheLobbyAndExitDoesNot) {
  f_.PublishVersionList(7, 7, {});
  for (auto action : {ScriptedUi::kSkip, ScriptedUi::kExit}) {
    StandardIni("7");
    f_.InstallFiles(v7_);
    platform::DeleteFile(platform::FromUtf8(f_.Install("game.dat")));
    platform::DeleteFile(platform::FromUtf8(f_.Install("lobby.txt")));
    f_.server().SetRules("{\"/update/7/game.dat\": \"close-mid-body\"}");
    ScriptedUi ui;
    ui.failure_actions = {action};
    f_.Run(&ui);
    EXPECT_EQ(ui.failures_shown.size(), 1u);
    EXPECT_FALSE(ui.timed_out);
    if (action == ScriptedUi::kSkip) {
      EXPECT_TRUE(f_.LobbyStarted());
    } else {
      platform::RunUntil([] { return false; }, 800);
      EXPECT_FALSE(PathExists(f_.Install("lobby.txt")));
      EXPECT_EQ(f_.app->ExitInstance(), 1);
    }
    EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "7");
  }
}

TEST_F(UpdateFlowTest, DigestMismatchLeavesTheOldFileAndShowsTheDialogAtTheEnd) {
  f_.PublishVersionList(6, 6, {});
  StandardIni("5");
  f_.InstallFiles(v5_);
  // The server's copy differs from what the manifest's digest says.
  std::string served = f_.ServerRoot() + "/update/6/data/map.bin";
  std::string tampered = ReadFileBytes(served);
  tampered[100] ^= 1;
  WriteFileBytes(served, tampered);
  ui_.failure_actions = {ScriptedUi::kExit};
  f_.Run(&ui_);
  ASSERT_EQ(ui_.failures_shown.size(), 1u);
  EXPECT_NE(ui_.failures_shown[0].find(L"MD5检验失败，正在更新的版本号[6],下载到本地的的文件名["),
            std::wstring::npos);
  std::string log = f_.Log();
  EXPECT_NE(log.find("MD5检验失败，正在更新的版本号[6],XML配置文件名[map.bin],MD5=["), std::string::npos);
  EXPECT_NE(log.find(",下载到本地的的文件名["), std::string::npos);
  EXPECT_TRUE(f_.FileMatches("data/map.bin", v5_["data/map.bin"]));  // untouched
  EXPECT_FALSE(PathExists(f_.Install("data/map.bin.update.6")));  // known bad: deleted
  EXPECT_EQ(ReadFileBytes(f_.Install("data/new/sound.ogg")), v6_["data/new/sound.ogg"].content);
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "5");  // the version is not recorded
}

TEST_F(UpdateFlowTest, AFileThatCannotBeMovedIntoPlaceIsLoggedAndNotCounted) {
  f_.PublishVersionList(6, 6, {});
  StandardIni("5");
  f_.InstallFiles(v5_);
  // A directory where the new file must go: the move cannot succeed.
  mkdir(f_.Install("data/new").c_str(), 0755);
  mkdir(f_.Install("data/new/sound.ogg").c_str(), 0755);
  WriteFileBytes(f_.Install("data/new/sound.ogg/keep"), "x");
  ui_.failure_actions = {ScriptedUi::kExit};
  f_.Run(&ui_);
  ASSERT_EQ(ui_.failures_shown.size(), 1u);
  // The text names the path and what stands there.
  const std::string text = "无法安装文件 [" + f_.Install("data/new/sound.ogg") + "]：该位置已有目录，其中有其他内容 [" +
                           f_.Install("data/new/sound.ogg/keep") + "]";
  EXPECT_EQ(platform::ToUtf8(ui_.failures_shown[0]), text);
  EXPECT_NE(f_.Log().find(text), std::string::npos);
  EXPECT_EQ(ReadFileBytes(f_.Install("data/new/sound.ogg/keep")), "x");
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "5");
}

TEST_F(UpdateFlowTest, ATraversalEntryIsNeverFetched) {
  // A manifest written by hand, with one entry that climbs out.
  std::string manifest =
      "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\r\n<xmlRoot><Product productVerion=\"6\">"
      "<File><FileName>evil.txt</FileName><LocalPath>../..</LocalPath><Length>4</Length></File>"
      "</Product></xmlRoot>\r\n";
  WriteFileBytes(f_.ServerRoot() + "/update/6/FileConfig.xml", manifest);
  f_.PublishVersionList(6, 6, {});
  StandardIni("6");
  ui_.failure_actions = {ScriptedUi::kExit};
  f_.Run(&ui_);
  EXPECT_FALSE(ui_.timed_out);
  ASSERT_EQ(ui_.failures_shown.size(), 1u);
  EXPECT_NE(f_.Log().find("文件路径不安全，已跳过 [../../evil.txt]"), std::string::npos);
  EXPECT_EQ(f_.server().CountRequests("evil"), 0);
}

TEST_F(UpdateFlowTest, TheUpdatersOwnFileIsReplacedWhileItRuns) {
  GameFiles v6 = v6_;
  v6["updater"] = {"the new updater", Stamp(6, 9)};
  f_.Publish(6, v6);
  f_.PublishVersionList(6, 6, {});
  StandardIni("5");
  f_.InstallFiles(v5_);
  f_.Run(&ui_);
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_TRUE(f_.FileMatches("updater", v6["updater"]));
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "6");
}

TEST_F(UpdateFlowTest, TooOldInstallationGetsTheMessageTheHomePageAndNoLobby) {
  f_.PublishVersionList(7, 7, {});
  f_.WriteIni("[Version]\r\nCurrentVersion=3\r\n[Temp]\r\nTemp1=" + f_.ServerWord() +
              "\r\n[HOME]\r\nURL=http://127.0.0.1:9/reinstall\r\n");  // no manifest for 3
  // The desktop's opener, standing in: it records what it was asked to open.
  std::string bin = f_.Install("fake-bin");
  mkdir(bin.c_str(), 0755);
  // Written aside and renamed, so that the file never appears empty.
  WriteFileBytes(bin + "/xdg-open",
                 "#!/bin/sh\necho \"$1\" > '" + bin + "/opening' && mv '" + bin + "/opening' '" + bin + "/opened'\n");
  chmod((bin + "/xdg-open").c_str(), 0755);
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (bin + ":" + path).c_str(), 1);
  f_.Run(&ui_);
  setenv("PATH", path.c_str(), 1);
  platform::RunUntil([&] { return PathExists(bin + "/opened"); }, 3000);
  EXPECT_EQ(ReadFileBytes(bin + "/opened"), "http://127.0.0.1:9/reinstall\n");
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0], L"很抱歉，您的游戏当前版本太旧了，请到游戏官网重新下载安装！");
  EXPECT_TRUE(ui_.ended);
  platform::RunUntil([] { return false; }, 800);
  EXPECT_FALSE(PathExists(f_.Install("lobby.txt")));
}

TEST_F(UpdateFlowTest, BadVersionListsMoveOnToTheNextServerUntilNoneIsLeft) {
  const char* lists[] = {"<r><Product productVerion=\"1\"", "garbage \x01\x02",
                         "<r><Product productVerion=\"7\" maxVersion=\"../../x\"/></r>"};
  for (const char* list : lists) {
    WriteFileBytes(f_.ServerRoot() + "/update/VerAndUrl.xml", list);
    f_.WriteIni("[Version]\r\nCurrentVersion=5\r\n[Temp]\r\nTemp1=" + f_.ServerWord() + "\r\nTemp2=" +
                f_.ServerWord() + "\r\n");
    platform::DeleteFile(platform::FromUtf8(f_.Install("lobby.txt")));
    ScriptedUi ui;
    f_.Run(&ui);
    EXPECT_TRUE(f_.LobbyStarted()) << list;
    EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "5");
  }
  EXPECT_EQ(f_.server().CountRequests("FileConfig"), 0);
  EXPECT_EQ(f_.server().CountRequests("VerAndUrl.xml"), 6);  // two servers, three runs
}

TEST_F(UpdateFlowTest, ManifestWithoutProductVersionOrWithWrongLengthsInstallsNothingWrong) {
  f_.PublishVersionList(6, 6, {});
  StandardIni("5");
  f_.InstallFiles(v5_);
  f_.server().SetRules("{\"/update/6/data/map.bin\": \"long-length\"}");
  ui_.failure_actions = {ScriptedUi::kExit};
  f_.Run(&ui_);
  EXPECT_EQ(ui_.failures_shown.size(), 1u);
  EXPECT_TRUE(f_.FileMatches("data/map.bin", v5_["data/map.bin"]));

  WriteFileBytes(f_.ServerRoot() + "/update/6/FileConfig.xml", "<r><Product maxVersion=\"\"/></r>");
  std::string before = ReadFileBytes(f_.Install("game.dat"));
  ScriptedUi ui;
  f_.Run(&ui);
  EXPECT_TRUE(f_.LobbyStarted());  // next server: none, so the lobby
  EXPECT_EQ(ReadFileBytes(f_.Install("game.dat")), before);
}

TEST_F(UpdateFlowTest, AnUndeletableTargetKeepsItsOldContentAndThePendingCopyWaits) {
  f_.PublishVersionList(6, 6, {});
  StandardIni("5");
  f_.InstallFiles(v5_);
  const std::string target = f_.Install("data/map.bin");
  if (system(("chattr +i '" + target + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "the file system cannot make a file immutable";
  }
  ui_.failure_actions = {ScriptedUi::kExit};
  f_.Run(&ui_);
  EXPECT_EQ(system(("chattr -i '" + target + "'").c_str()), 0);
  ASSERT_EQ(ui_.failures_shown.size(), 1u);
  EXPECT_EQ(ui_.failures_shown[0], L"删除文件失败 [map.bin]");
  EXPECT_NE(f_.Log().find("删除文件失败 [map.bin]\r\n"), std::string::npos);
  EXPECT_TRUE(f_.FileMatches("data/map.bin", v5_["data/map.bin"]));
  // The new copy waits beside it, with the manifest's time.
  platform::FILETIME t;
  ASSERT_TRUE(platform::GetLastWriteTime(platform::FromUtf8(target + ".update.6"), &t));
  EXPECT_EQ(platform::ToTicks(t), platform::ToTicks(v6_["data/map.bin"].stamp));
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "5");
}

TEST_F(UpdateFlowTest, AServerAddressEndingInASlashAsksForTheSamePaths) {
  // Servers that keep "//update" apart from "/update" (object stores and
  // the CDNs before them) would answer 404 to every document and file.
  f_.PublishVersionList(7, 7, {});
  const std::wstring address = platform::FromUtf8("http://" + f_.ServerWord() + "//");
  f_.WriteIni("[Version]\r\nCurrentVersion=6\r\n[Temp]\r\nTemp1=" +
              platform::ToUtf8(ScrambleServerEntry(address, L"KelvoraUpdateMirror0")) + "\r\n");
  f_.InstallFiles(v6_);
  f_.Run(&ui_);
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_TRUE(f_.FileMatches("game.dat", v7_["game.dat"]));
  const std::string log = f_.server().RequestLog();
  EXPECT_NE(log.find("GET /update/VerAndUrl.xml "), std::string::npos) << log;
  EXPECT_NE(log.find("GET /update/7/FileConfig.xml "), std::string::npos) << log;
  EXPECT_EQ(log.find("GET //"), std::string::npos) << log;
}

TEST_F(UpdateFlowTest, UpdatesFromNginxToo) {
  NginxServer nginx(f_.ServerRoot());
  if (!nginx.ok()) GTEST_SKIP() << "nginx is not installed";
  f_.PublishVersionList(7, 7, {});
  f_.WriteIni("[Version]\r\nCurrentVersion=5\r\n[Temp]\r\nTemp1=127.0.0.1:" + std::to_string(nginx.port()) +
              "\r\n");
  f_.InstallFiles(v5_);
  f_.Run(&ui_);
  EXPECT_TRUE(f_.LobbyStarted());
  for (const auto& f : v7_) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "7");
}

TEST_F(UpdateFlowTest, FilesThatCameBeforeAFailureAreInPlaceWhenTheDialogShows) {
  struct Snapshot : ScriptedUi {
    std::function<void()> on_show;
    void ShowFailureDialog(bool show) override {
      if (show && on_show) on_show();
      ScriptedUi::ShowFailureDialog(show);
    }
  } ui;
  f_.PublishVersionList(6, 6, {});
  StandardIni("5");
  f_.InstallFiles(v5_);
  f_.server().SetRules("{\"/update/6/data/new/sound.ogg\": \"status:500\"}");
  // Files come several at once: one that had finished is in place; one
  // still under way stopped, the old file untouched, keeping what bytes it
  // had with their record.
  bool map_new = false, map_old = false, map_pending = true, map_kept = false;
  ui.on_show = [&] {
    map_new = f_.FileMatches("data/map.bin", v6_["data/map.bin"]);
    map_old = f_.FileMatches("data/map.bin", v5_["data/map.bin"]);
    map_pending = PathExists(f_.Install("data/map.bin.update.6"));
    map_kept = map_pending && PathExists(f_.Install("data/map.bin.update.6.progress"));
  };
  ui.failure_actions = {ScriptedUi::kExit};
  f_.Run(&ui);
  ASSERT_EQ(ui.failures_shown.size(), 1u);
  EXPECT_TRUE(map_new ? !map_pending : map_old && (!map_pending || map_kept));
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "5");
}

// A game with very many files has a manifest of tens of MiB: larger than any
// other server document, and than the tree reader's cap. It is read as the
// small one is.
TEST_F(UpdateFlowTest, AManifestOfSeventyMiBIsRead) {
  f_.PublishVersionList(6, 6, {});
  StandardIni("5");
  f_.InstallFiles(v5_);
  const std::string manifest = f_.ServerRoot() + "/update/6/FileConfig.xml";
  std::string body = ReadFileBytes(manifest);
  const size_t root_end = body.rfind("</");
  ASSERT_NE(root_end, std::string::npos);
  std::string padding;
  for (int i = 0; i < 70; ++i) padding += "<!--" + std::string(1u << 20, ' ') + "-->";
  body.insert(root_end, padding);
  WriteFileBytes(manifest, body);
  f_.Run(&ui_);
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "6");
  for (const auto& f : v6_) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
  EXPECT_EQ(f_.Log(), "");
}

TEST_F(UpdateFlowTest, AMissingLobbyIsToldAndLogged) {
  f_.PublishVersionList(7, 7, {});
  StandardIni("7");
  f_.InstallFiles(v7_);
  unlink(f_.Install("kelvora.exe").c_str());
  f_.Run(&ui_);
  EXPECT_FALSE(f_.app->LobbyStarted);
  const std::wstring told = L"无法启动游戏大厅 [" + platform::FromUtf8(f_.Install("kelvora.exe")) + L"]";
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0], told);
  EXPECT_NE(f_.Log().find(platform::ToUtf8(told) + "\r\n"), std::string::npos) << f_.Log();
}

TEST_F(UpdateFlowTest, AVersionThatCannotBeRecordedIsLogged) {
  f_.PublishVersionList(7, 7, {});
  StandardIni("5");
  f_.InstallFiles(v5_);
  chmod(f_.Install("UpdateTemp.ini").c_str(), 0444);
  f_.Run(&ui_);
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "5");
  const std::string log = f_.Log();
  for (const char* version : {"6", "7"}) {
    EXPECT_NE(log.find(std::string("无法记录版本号 ") + version + " [" + f_.Install("UpdateTemp.ini") + "]\r\n"),
              std::string::npos)
        << log;
  }
}
