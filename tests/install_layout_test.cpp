// Install trees whose shape changes between releases, and names as long as
// a file system takes: a file where a directory is now needed, a directory
// where a file is now needed, and a 250-byte file name.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "digest/md5.h"
#include "platform/text.h"
#include "support/update_fixture.h"
#include "update/download_progress.h"
#include "update/file_job.h"
#include "update/installer.h"

namespace {

class InstallLayoutTest : public testing::Test {
 protected:
  InstallLayoutTest() {
    v5_ = {{"game.dat", {"game five", Stamp(5, 1)}}};
    f_.clock_speed = 10;
  }

  // Publishes |v6| as the newest version over version 5, installed.
  void Prepare(const GameFiles& v6) {
    v6_ = v6;
    f_.Publish(5, v5_);
    f_.Publish(6, v6_);
    f_.PublishVersionList(5, 6, {});
    f_.InstallFiles(v5_);
    f_.WriteIni("[Version]\r\nCurrentVersion=5\r\n[Temp]\r\nTemp1=" + f_.ServerWord() + "\r\n");
  }

  // Version 6 has a file "data/extra" where the install has a directory.
  void PrepareFileWhereADirectoryIs() {
    GameFiles v6 = v5_;
    v6["data/extra"] = {"now a file", Stamp(6, 2)};
    Prepare(v6);
    ASSERT_EQ(mkdir(f_.Install("data").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(f_.Install("data/extra").c_str(), 0755), 0);
  }

  // Runs once, pressing Exit in the failure dialog; the texts it showed.
  std::vector<std::wstring> Run() {
    ScriptedUi ui;
    ui.failure_actions = {ScriptedUi::kExit};
    f_.Run(&ui);
    EXPECT_FALSE(ui.timed_out);
    return ui.failures_shown;
  }

  void ExpectVersionSixComplete() {
    EXPECT_TRUE(f_.LobbyStarted());
    EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "6");
    for (const auto& f : v6_) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
  }

  std::vector<std::string> Listing(const std::string& dir) {
    std::vector<std::string> names = ListDirectory(f_.Install(dir));
    std::sort(names.begin(), names.end());
    return names;
  }

  UpdateFixture f_;
  GameFiles v5_, v6_;
};

TEST_F(InstallLayoutTest, AFileOfAnEarlierReleaseGivesWayToADirectoryOnceTheVersionIsRecorded) {
  v5_["data/sounds"] = {"one sound file", Stamp(5, 2)};
  GameFiles v6 = v5_;
  v6.erase("data/sounds");
  v6["data/sounds/theme.ogg"] = {"the theme", Stamp(6, 2)};
  v6["data/sounds/voice.ogg"] = {"the voice", Stamp(6, 3)};
  Prepare(v6);
  // The first run fails on another file of the version, after the theme
  // is in place: the old file is moved aside, not gone, while version 5 is
  // what is recorded.
  const std::string served = f_.ServerRoot() + "/update/6/data/sounds/voice.ogg";
  ASSERT_EQ(rename(served.c_str(), (served + ".away").c_str()), 0);
  f_.server().SetRules("{\"/update/6/data/sounds/voice.ogg\": \"late-status:404\"}");
  ASSERT_EQ(Run().size(), 1u);
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "5");
  EXPECT_EQ(Listing("data"), (std::vector<std::string>{"sounds", "sounds.update.6.aside"}));
  EXPECT_EQ(ReadFileBytes(f_.Install("data/sounds.update.6.aside")), "one sound file");

  ASSERT_EQ(rename((served + ".away").c_str(), served.c_str()), 0);
  f_.server().SetRules("{}");
  EXPECT_TRUE(Run().empty());
  ExpectVersionSixComplete();
  EXPECT_EQ(Listing("data"), std::vector<std::string>{"sounds"});
  EXPECT_EQ(Listing("data/sounds"), (std::vector<std::string>{"theme.ogg", "voice.ogg"}));
  EXPECT_EQ(f_.Log().find("不安全"), std::string::npos) << f_.Log();
}

TEST_F(InstallLayoutTest, ADirectoryHoldingOnlyOurLeftoversGivesWayToAFile) {
  PrepareFileWhereADirectoryIs();
  // Empty directories, and a kept download for a version still to come.
  ASSERT_EQ(mkdir(f_.Install("data/extra/empty").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(f_.Install("data/extra/kept").c_str(), 0755), 0);
  WriteFileBytes(f_.Install("data/extra/kept/old.bin.update.7"), "partial");
  WriteFileBytes(f_.Install("data/extra/kept/old.bin.update.7.progress"), "updater-progress 1\n");

  EXPECT_TRUE(Run().empty()) << f_.Log();
  ExpectVersionSixComplete();
  EXPECT_EQ(Listing("data"), std::vector<std::string>{"extra"});
}

TEST_F(InstallLayoutTest, ADirectoryHoldingAnythingElseStaysAndIsNamed) {
  PrepareFileWhereADirectoryIs();
  WriteFileBytes(f_.Install("data/extra/kept.bin.update.7"), "partial");
  ASSERT_EQ(mkdir(f_.Install("data/extra/saves").c_str(), 0755), 0);
  WriteFileBytes(f_.Install("data/extra/saves/slot1.sav"), "the user's game");

  const std::vector<std::wstring> failures = Run();
  ASSERT_EQ(failures.size(), 1u);
  const std::string shown = platform::ToUtf8(failures[0]);
  EXPECT_NE(shown.find(f_.Install("data/extra")), std::string::npos) << shown;
  EXPECT_NE(shown.find("saves/slot1.sav"), std::string::npos) << shown;
  EXPECT_NE(f_.Log().find(shown), std::string::npos) << f_.Log();
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "5");
  EXPECT_FALSE(f_.LobbyStarted());
  // Nothing in it was touched.
  EXPECT_EQ(ReadFileBytes(f_.Install("data/extra/saves/slot1.sav")), "the user's game");
  EXPECT_EQ(ReadFileBytes(f_.Install("data/extra/kept.bin.update.7")), "partial");
}

TEST_F(InstallLayoutTest, AUserFileWhoseNameOnlyLooksLikeADownloadOfOursStays) {
  PrepareFileWhereADirectoryIs();
  for (const char* name : {"notes.update.txt", "mod.update.7z", "a.update.", "b.update.3x"}) {
    WriteFileBytes(f_.Install(std::string("data/extra/") + name), "the user's own");
  }
  const std::vector<std::wstring> failures = Run();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_NE(platform::ToUtf8(failures[0]).find(f_.Install("data/extra")), std::string::npos);
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "5");
  for (const char* name : {"notes.update.txt", "mod.update.7z", "a.update.", "b.update.3x"}) {
    EXPECT_EQ(ReadFileBytes(f_.Install(std::string("data/extra/") + name)), "the user's own") << name;
  }
}

// Requests for |name| in a server's log that went on from kept bytes.
int ResumedRequests(const std::string& log, const std::string& name) {
  int count = 0;
  size_t begin = 0;
  for (size_t end; (end = log.find('\n', begin)) != std::string::npos; begin = end + 1) {
    const std::string line = log.substr(begin, end - begin);
    if (line.find(name) != std::string::npos && line.find("If-Range") != std::string::npos) ++count;
  }
  return count;
}

TEST_F(InstallLayoutTest, AFileNameOf250BytesInstallsAndResumesUnderAShortPendingName) {
  const std::string long_name = std::string(246, 'n') + ".ogg";
  const std::string gone_name = std::string(246, 'g') + ".ogg";
  const std::string big = RandomBytes(CInetFile::kOneStreamBelow + 500000, 5);
  GameFiles v6 = v5_;
  v6["music/" + long_name] = {big, Stamp(6, 2)};
  Prepare(v6);
  // An earlier run was stopped with all but the last 16 KiB on disk, under
  // the short name; and a kept copy of a file no longer listed.
  const std::wstring target = platform::FromUtf8(f_.Install("music/" + long_name));
  const std::wstring pending = PendingCopyPath(target, L"6");
  ASSERT_NE(pending.find(L"/music/"), std::wstring::npos);
  const std::string pending_name = platform::ToUtf8(pending.substr(pending.rfind(L'/') + 1));
  EXPECT_LE(pending_name.size() + sizeof(".progress.new") - 1, 255u);
  ASSERT_EQ(mkdir(f_.Install("music").c_str(), 0755), 0);
  WriteFileBytes(platform::ToUtf8(pending), big);
  char tag[33];
  MD5_CTX md5;
  ASSERT_TRUE(md5.DigestFile(tag, pending));
  DownloadProgress p;
  p.length = big.size();
  p.validator = "\"" + std::string(tag, 16) + "\"";
  for (int i = 0; i < CInetFile::kParts; ++i) {
    const uint64_t first = static_cast<uint64_t>(i) * big.size() / CInetFile::kParts;
    const uint64_t end = i + 1 < CInetFile::kParts ? static_cast<uint64_t>(i + 1) * big.size() / CInetFile::kParts
                                                   : big.size() - 16384;
    p.parts.push_back({first, end - first});
  }
  ASSERT_TRUE(SaveProgress(platform::RealDisk(), pending, p));
  const std::wstring gone = PendingCopyPath(platform::FromUtf8(f_.Install("music/" + gone_name)), L"6");
  WriteFileBytes(platform::ToUtf8(gone), "old bytes");
  DownloadProgress gone_record = p;
  gone_record.length = 9;
  gone_record.parts = {{0, 9}};
  ASSERT_TRUE(SaveProgress(platform::RealDisk(), gone, gone_record));

  EXPECT_TRUE(Run().empty()) << f_.Log();
  ExpectVersionSixComplete();
  EXPECT_GE(ResumedRequests(f_.server().RequestLog(), "nnnn.ogg"), 1) << f_.server().RequestLog();
  // Nothing kept is left once the version is recorded.
  EXPECT_EQ(Listing("music"), std::vector<std::string>{long_name});
}

}  // namespace
