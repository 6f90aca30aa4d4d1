#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "platform/files.h"
#include "platform/text.h"
#include "signing_key.h"
#include "support/update_fixture.h"

namespace {

std::string Bytes(size_t size, char seed) {
  std::string s(size, seed);
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(seed + i * 11 + (i >> 6));
  return s;
}

// Replaces the first |from| in |text|; false when there is none.
bool ReplaceOnce(std::string* text, const std::string& from, const std::string& to) {
  size_t at = text->find(from);
  if (at == std::string::npos) return false;
  text->replace(at, from.size(), to);
  return true;
}

// An install at version 5 and a server with version 6 of a small game,
// whose manifest each test edits by hand as a careless or hostile
// publisher would.
class UpdateNamesTest : public testing::Test {
 protected:
  void SetUp() override {
    v5_ = {{"game.dat", {Bytes(3000, 'a'), Stamp(5, 1)}}, {"data/map.dat", {Bytes(7000, 'b'), Stamp(5, 2)}}};
    v6_ = v5_;
    v6_["data/map.dat"] = {Bytes(9000, 'c'), Stamp(6, 2)};
    v6_["extra.dll"] = {Bytes(5000, 'd'), Stamp(6, 3)};
    f_.Publish(5, v5_);
    f_.Publish(6, v6_);
    f_.PublishVersionList(6, 6, {});
    f_.InstallFiles(v5_);
    f_.WriteIni("[Version]\r\nCurrentVersion=5\r\n[Temp]\r\nTemp1=" + f_.ServerWord() + "\r\n");
    manifest_ = ReadFileBytes(ManifestPath());
  }
  std::string ManifestPath() const { return f_.ServerRoot() + "/update/6/FileConfig.xml"; }
  // The <File> element of the entry named |name|, as published.
  std::string Entry(const std::string& name) const {
    size_t at = manifest_.find("<FileName>" + name + "</FileName>");
    if (at == std::string::npos) return std::string();
    size_t start = manifest_.rfind("<File>", at);
    size_t end = manifest_.find("</File>", at) + 7;
    return manifest_.substr(start, end - start);
  }
  // Adds |entry| after the entry named |after|.
  void AddEntryAfter(const std::string& after, const std::string& entry) {
    const std::string existing = Entry(after);
    ASSERT_FALSE(existing.empty()) << after;
    ASSERT_TRUE(ReplaceOnce(&manifest_, existing, existing + "\r\n" + entry));
  }
  void Serve(const SigningKey* key = nullptr) {
    WriteFileBytes(ManifestPath(), manifest_);
    if (!key) return;
    std::wstring error;
    ASSERT_TRUE(key->Sign(platform::FromUtf8(ManifestPath()), "update/6/FileConfig.xml", nullptr, &error));
  }
  void ExpectVersionFiveKept() {
    EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "5");
    for (const auto& f : v5_) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
  }
  std::string Log() const { return f_.Log(); }

  UpdateFixture f_;
  GameFiles v5_, v6_;
  std::string manifest_;
  ScriptedUi ui_;
};

}  // namespace

TEST_F(UpdateNamesTest, AFileListedTwiceAlikeIsInstalledOnce) {
  // The second listing spells the same target another way.
  std::string again = Entry("map.dat");
  ASSERT_TRUE(ReplaceOnce(&again, "<LocalPath>data", "<LocalPath>./data/"));
  AddEntryAfter("map.dat", Entry("map.dat"));
  AddEntryAfter("extra.dll", again);
  Serve();
  f_.Run(&ui_);
  EXPECT_TRUE(ui_.failures_shown.empty());
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "6");
  for (const auto& f : v6_) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
  EXPECT_EQ(Log().find("删除文件失败"), std::string::npos) << Log();
}

TEST_F(UpdateNamesTest, AFileListedTwiceWithDifferentContentsRefusesTheManifest) {
  const std::string first = Entry("map.dat");
  const std::vector<std::pair<std::string, std::string>> disagreements = {
      {"<Length>9000</Length>", "<Length>9001</Length>"},
      {"<FileDateLow>", "<FileDateLow>1"},
      {"<Md5>", "<Md5>0"}};
  for (const auto& change : disagreements) {
    std::string second = first;
    ASSERT_TRUE(ReplaceOnce(&second, change.first, change.second));
    std::string edited = manifest_;
    ASSERT_TRUE(ReplaceOnce(&edited, first, first + "\r\n" + second));
    WriteFileBytes(ManifestPath(), edited);
    WriteFileBytes(f_.Install("UpdateLog.log"), "");
    ScriptedUi ui;
    f_.Run(&ui);
    // Like a manifest this server could not give: the run goes on without it.
    EXPECT_NE(Log().find("放弃 1 号游戏服务器：版本 6 的文件列表中 [data/map.dat] 出现多次且内容不一致"),
              std::string::npos)
        << change.second << "\n" << Log();
    EXPECT_EQ(f_.server().CountRequests("map.dat"), 0) << change.second;
    ExpectVersionFiveKept();
  }
}

TEST_F(UpdateNamesTest, AFileNamedAsAnotherFilesPendingCopyRefusesTheManifest) {
  // Installed, it would be taken for the other file's download: moved into
  // that file's place, or swept away as a leftover.
  for (const std::string name : {"map.dat.update.6", "map.dat.update.6.progress"}) {
    std::string named = Entry("map.dat");
    ASSERT_TRUE(ReplaceOnce(&named, "<FileName>map.dat", "<FileName>" + name));
    std::string edited = manifest_;
    ASSERT_TRUE(ReplaceOnce(&edited, Entry("map.dat"), Entry("map.dat") + "\r\n" + named));
    WriteFileBytes(ManifestPath(), edited);
    WriteFileBytes(f_.ServerRoot() + "/update/6/data/" + name, v6_["data/map.dat"].content);
    WriteFileBytes(f_.Install("UpdateLog.log"), "");
    ScriptedUi ui;
    f_.Run(&ui);
    EXPECT_NE(Log().find("放弃 1 号游戏服务器：版本 6 的文件列表中 [data/" + name + "] 与更新用的临时文件同名"),
              std::string::npos)
        << Log();
    EXPECT_EQ(f_.server().CountRequests("map.dat"), 0) << name;
    ExpectVersionFiveKept();
  }
}

TEST_F(UpdateNamesTest, NamesThatDifferInCaseAreTwoFilesWhereTheFileSystemSaysSo) {
  // On a file system that tells case apart both are installed.
  if (!platform::IsMissing(platform::FromUtf8(f_.Install("GAME.DAT")))) GTEST_SKIP() << "case-blind file system";
  std::string upper = Entry("map.dat");
  ASSERT_TRUE(ReplaceOnce(&upper, "<FileName>map.dat", "<FileName>Map.dat"));
  AddEntryAfter("map.dat", upper);
  WriteFileBytes(f_.ServerRoot() + "/update/6/data/Map.dat", v6_["data/map.dat"].content);
  Serve();
  f_.Run(&ui_);
  EXPECT_TRUE(ui_.failures_shown.empty());
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "6");
  EXPECT_TRUE(f_.FileMatches("data/map.dat", v6_["data/map.dat"]));
  EXPECT_TRUE(f_.FileMatches("data/Map.dat", v6_["data/map.dat"]));
}

TEST_F(UpdateNamesTest, OnlyASignedManifestMayInstallIntoTheSystemDirectories) {
  for (const char* keyword : {"WINDOWSDIR", "SYSTEMDIR", "systemdir"}) {
    std::string edited = manifest_;
    ASSERT_TRUE(ReplaceOnce(&edited, Entry("extra.dll"),
                            [&] {
                              std::string e = Entry("extra.dll");
                              ReplaceOnce(&e, "<InstallDir>CURRENTDIR", std::string("<InstallDir>") + keyword);
                              return e;
                            }()));
    WriteFileBytes(ManifestPath(), edited);
    ScriptedUi ui;
    ui.failure_actions = {ScriptedUi::kExit};
    f_.Run(&ui);
    EXPECT_EQ(ui.failures_shown.size(), 1u) << keyword;
    EXPECT_NE(Log().find("文件列表未签名，不能写入系统目录，已跳过 [/extra.dll]"), std::string::npos) << Log();
    EXPECT_EQ(f_.server().CountRequests("extra.dll"), 0) << keyword;
    EXPECT_TRUE(platform::IsMissing(platform::FromUtf8(f_.Install("extra.dll")))) << keyword;
    // The other files are in place, but the version is not recorded.
    EXPECT_TRUE(f_.FileMatches("data/map.dat", v6_["data/map.dat"]));
    EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "5");
  }
}

TEST_F(UpdateNamesTest, ASignedManifestInstallsIntoTheSystemDirectory) {
  // Here the system directory is the executable's.
  SigningKey key;
  std::wstring error;
  ASSERT_TRUE(key.Generate(platform::FromUtf8(f_.Install("../publisher.pem")), &error));
  f_.Publish(5, v5_, &key);
  f_.Publish(6, v6_, &key);
  f_.PublishVersionList(6, 6, {}, &key);
  WriteFileBytes(f_.Install("UpdateTrust.pub"), key.PublicKeyLine() + "\n");
  manifest_ = ReadFileBytes(ManifestPath());
  std::string system = Entry("extra.dll");
  ASSERT_TRUE(ReplaceOnce(&system, "<InstallDir>CURRENTDIR", "<InstallDir>SYSTEMDIR"));
  ASSERT_TRUE(ReplaceOnce(&manifest_, Entry("extra.dll"), system));
  Serve(&key);
  f_.Run(&ui_);
  EXPECT_TRUE(ui_.failures_shown.empty()) << Log();
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "6") << Log();
  EXPECT_TRUE(f_.FileMatches("extra.dll", v6_["extra.dll"]));
}

namespace {

// The same scene under a locale whose code page lacks some characters, as
// GBK does: run under LC_ALL=zh_CN.GBK (a ctest of its own does).
class LegacyCodePageNamesTest : public UpdateNamesTest {
 protected:
  void SetUp() override {
    if (platform::ToAnsi(L"名") == platform::ToUtf8(L"名")) {
      const char* locale = getenv("LC_ALL");
      if (locale && std::string(locale).find("GBK") != std::string::npos) {
        FAIL() << "the zh_CN.GBK locale is not installed (scripts/install-deps.sh makes it)";
      }
      GTEST_SKIP() << "needs LC_ALL=zh_CN.GBK";
    }
    UpdateNamesTest::SetUp();
  }
};

}  // namespace

TEST_F(LegacyCodePageNamesTest, NamesTheCodePageCannotSpellAreNeverWritten) {
  // 音乐😀.ogg and 音乐😁.ogg would both become 音乐?.ogg; 音乐.ogg is fine.
  const std::wstring names[] = {L"音乐\U0001F600.ogg", L"音乐\U0001F601.ogg", L"音乐.ogg"};
  const std::string refs[] = {"&#x97F3;&#x4E50;&#x1F600;.ogg", "&#x97F3;&#x4E50;&#x1F601;.ogg",
                              "&#x97F3;&#x4E50;.ogg"};
  const std::string content = v6_["extra.dll"].content;
  for (int i = 0; i < 3; ++i) {
    std::string entry = Entry("extra.dll");
    ASSERT_TRUE(ReplaceOnce(&entry, "<FileName>extra.dll", "<FileName>" + refs[i]));
    AddEntryAfter("extra.dll", entry);
    // Served under its UTF-8 name, so that a run that asked would get it.
    WriteFileBytes(f_.ServerRoot() + "/update/6/" + platform::ToUtf8(names[i]), content);
  }
  Serve();
  ui_.failure_actions = {ScriptedUi::kExit};
  f_.Run(&ui_);
  EXPECT_EQ(ui_.failures_shown.size(), 1u);
  std::wstring log;
  ASSERT_TRUE(platform::DecodeCharset(Log(), "GBK", &log));
  EXPECT_NE(log.find(L"文件名无法在本机编码中准确表示，已跳过 [/音乐<U+1F600>.ogg]"), std::wstring::npos)
      << platform::ToUtf8(log);
  EXPECT_NE(log.find(L"文件名无法在本机编码中准确表示，已跳过 [/音乐<U+1F601>.ogg]"), std::wstring::npos);
  EXPECT_EQ(f_.server().CountRequests("%F0%9F"), 0);
  // Nothing under a lossy name; the other files are in place.
  std::vector<platform::DirectoryEntry> entries;
  ASSERT_TRUE(platform::ListDirectory(platform::FromUtf8(f_.Install()), &entries));
  for (const auto& e : entries) {
    EXPECT_EQ(e.name.find(L'?'), std::wstring::npos) << platform::ToUtf8(e.name);
    EXPECT_EQ(e.name.find(L".update."), std::wstring::npos) << platform::ToUtf8(e.name);
  }
  EXPECT_EQ(ReadFileBytes(f_.Install(platform::ToAnsi(L"音乐.ogg"))), content);
  EXPECT_TRUE(f_.FileMatches("extra.dll", v6_["extra.dll"]));
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "5");
}
