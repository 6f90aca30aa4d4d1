// How a run ends short: only a manifest the server says is gone means "too
// old"; every other failure of a server moves on to the next one.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "manifest/update_files.h"
#include "platform/event_loop.h"
#include "support/update_fixture.h"

namespace {

class FailoverTest : public testing::Test {
 protected:
  // Version 3 is installed; the servers publish 3 and 4.
  void SetUp() override {
    f_.Publish(3, {{"a.txt", {"three", Stamp(3, 1)}}});
    f_.Publish(4, {{"a.txt", {"four", Stamp(4, 1)}}});
    f_.PublishVersionList(3, 4, {});
    f_.InstallFiles({{"a.txt", {"three", Stamp(3, 1)}}});
    // The desktop's opener, standing in: it records what it was asked.
    bin_ = f_.Install("fake-bin");
    mkdir(bin_.c_str(), 0755);
    // Written aside and renamed, so that the file never appears empty.
    WriteFileBytes(bin_ + "/xdg-open", "#!/bin/sh\necho \"$1\" > '" + bin_ + "/opening' && mv '" + bin_ +
                                           "/opening' '" + bin_ + "/opened'\n");
    chmod((bin_ + "/xdg-open").c_str(), 0755);
    path_ = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", (bin_ + ":" + path_).c_str(), 1);
  }
  void TearDown() override { setenv("PATH", path_.c_str(), 1); }

  // Server 1 answers version 3's manifest by |rule|; server 2 is sound.
  void RunWithFirstServer(const std::string& rule, TestUpdateServer* second) {
    f_.server().SetRules("{\"/update/3/FileConfig.xml\": \"" + rule + "\"}");
    std::string ini = "[Version]\r\nCurrentVersion=3\r\n[Temp]\r\nTemp1=" + f_.ServerWord();
    if (second) ini += "\r\nTemp2=127.0.0.1:" + std::to_string(second->port());
    f_.WriteIni(ini + "\r\n[HOME]\r\nURL=http://127.0.0.1:9/reinstall\r\n");
    f_.clock_speed = 30;
    f_.Run(&ui_);
  }

  UpdateFixture f_;
  ScriptedUi ui_;
  std::string bin_, path_;
};

}  // namespace

TEST_F(FailoverTest, AManifestTheServerSaysIsGoneMeansTooOld) {
  for (const char* rule : {"status:404", "status:410"}) {
    ScriptedUi ui;
    f_.server().SetRules(std::string("{\"/update/3/FileConfig.xml\": \"") + rule + "\"}");
    f_.WriteIni("[Version]\r\nCurrentVersion=3\r\n[Temp]\r\nTemp1=" + f_.ServerWord() +
                "\r\n[HOME]\r\nURL=http://127.0.0.1:9/reinstall\r\n");
    f_.Run(&ui);
    ASSERT_EQ(ui.boxes.size(), 1u) << rule;
    EXPECT_EQ(ui.boxes[0], L"很抱歉，您的游戏当前版本太旧了，请到游戏官网重新下载安装！");
    platform::RunUntil([&] { return PathExists(bin_ + "/opened"); }, 3000);
    EXPECT_EQ(ReadFileBytes(bin_ + "/opened"), "http://127.0.0.1:9/reinstall\n") << rule;
    EXPECT_FALSE(PathExists(f_.Install("lobby.txt"))) << rule;
    unlink((bin_ + "/opened").c_str());
  }
}

class ServerFaultTest : public FailoverTest, public testing::WithParamInterface<const char*> {};

TEST_P(ServerFaultTest, AManifestThatFailsMovesToTheNextServer) {
  TestUpdateServer second(f_.ServerRoot());
  RunWithFirstServer(GetParam(), &second);
  EXPECT_TRUE(ui_.boxes.empty());
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_EQ(ReadFileBytes(f_.Install("a.txt")), "four");
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "4");
  // A cut body may end as a stall: either way server 1 is given up.
  EXPECT_NE(f_.Log().find(" 放弃 1 号游戏服务器："), std::string::npos) << f_.Log();
  EXPECT_FALSE(PathExists(bin_ + "/opened"));
}

INSTANTIATE_TEST_SUITE_P(Faults, ServerFaultTest,
                         testing::Values("partial:40", "close-mid-body", "status:500", "stall"));

TEST_F(FailoverTest, WhenNoServerIsLeftTheRunSaysSoAndStillStartsTheLobby) {
  RunWithFirstServer("status:503", nullptr);
  EXPECT_TRUE(ui_.boxes.empty());
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "3");
  const std::string log = f_.Log();
  EXPECT_NE(log.find(" 放弃 1 号游戏服务器：版本 3 的文件列表获取失败\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" 未能更新到最新版本 4（当前版本 3），直接启动游戏大厅\r\n"), std::string::npos) << log;
  EXPECT_FALSE(PathExists(bin_ + "/opened"));
}

TEST_F(FailoverTest, AnEntryTypedInUnscrambledIsLoggedAsUnreadableAndTheNextServerServes) {
  TestUpdateServer second(f_.ServerRoot());
  // Over 20 characters: the updater expects it scrambled.
  f_.WriteIni("[Version]\r\nCurrentVersion=3\r\n[Temp]\r\nTemp1=http://127.0.0.1:8080/game\r\nTemp2=127.0.0.1:" +
              std::to_string(second.port()) + "\r\n");
  f_.clock_speed = 30;
  f_.Run(&ui_);
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "4");
  const std::string log = f_.Log();
  EXPECT_NE(log.find(" 服务器地址无法读取 [Temp1]\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("[Temp2]"), std::string::npos) << log;
}

TEST_F(FailoverTest, EightServersThatAllFailEndTheSearchAndANinthKeyIsNeverAsked) {
  // Each of the eight answers the version list with an error; a key past
  // them, typed in by hand, names a sound server.
  std::string ini = "[Version]\r\nCurrentVersion=3\r\n[Temp]\r\n";
  for (int i = 1; i <= 8; ++i) {
    ini += "Temp" + std::to_string(i) + "=" + f_.ServerWord() + "/x" + std::to_string(i) + "\r\n";
  }
  ini += "Temp9=" + f_.ServerWord() + "\r\n";
  f_.WriteIni(ini);
  f_.clock_speed = 30;
  f_.Run(&ui_);
  EXPECT_FALSE(ui_.timed_out);
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "3");
  // The eight were asked, and only they.
  EXPECT_EQ(f_.server().CountRequests("/update/VerAndUrl.xml"), 8) << f_.server().RequestLog();
  const std::string log = f_.Log();
  EXPECT_NE(log.find(" 放弃 8 号游戏服务器：版本列表无法读取\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.find(" 9 号"), std::string::npos) << log;
  EXPECT_EQ(log.find("服务器地址无法读取"), std::string::npos) << log;
  EXPECT_NE(log.find(" 没有服务器提供版本列表，未能更新，直接启动游戏大厅\r\n"), std::string::npos) << log;
}
