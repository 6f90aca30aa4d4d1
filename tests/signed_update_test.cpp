#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/text.h"
#include "signing_key.h"
#include "support/update_fixture.h"

namespace {

std::string Bytes(size_t size, char seed) {
  std::string s(size, seed);
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(seed + i * 13 + (i >> 7));
  return s;
}

void FlipByte(const std::string& path, size_t offset) {
  std::string bytes = ReadFileBytes(path);
  bytes.at(offset) ^= 0x01;
  WriteFileBytes(path, bytes);
}

// Versions 5, 6 and 7 published signed and served by nginx; the install at
// version 5 trusts the publisher's key.
struct SignedScene {
  SignedScene() {
    std::wstring error;
    EXPECT_TRUE(key_.Generate(platform::FromUtf8(f_.Install("../publisher.pem")), &error));
    EXPECT_TRUE(other_.Generate(platform::FromUtf8(f_.Install("../other.pem")), &error));
    v5_ = {{"game.dat", {Bytes(300000, 'a'), Stamp(5, 1)}},
           {"data/map.bin", {Bytes(70000, 'b'), Stamp(5, 2)}}};
    v6_ = v5_;
    v6_["data/map.bin"] = {Bytes(90000, 'c'), Stamp(6, 2)};
    v6_["data/new/sound.ogg"] = {Bytes(12345, 'd'), Stamp(6, 4)};
    v7_ = v6_;
    v7_["game.dat"] = {Bytes(400000, 'e'), Stamp(7, 1)};
    f_.Publish(5, v5_, &key_);
    f_.Publish(6, v6_, &key_);
    f_.Publish(7, v7_, &key_);
    f_.PublishVersionList(7, 7, {}, &key_);
    f_.InstallFiles(v5_);
    Trust({&key_});
  }
  void Trust(const std::vector<const SigningKey*>& keys) {
    std::string text = "# publisher keys\n";
    for (const SigningKey* k : keys) text += k->PublicKeyLine() + "\n";
    WriteFileBytes(f_.Install("UpdateTrust.pub"), text);
  }
  // Serves the server tree with nginx, as server 1 (and |second| as 2).
  bool Serve(const std::string& second_root = "") {
    nginx_.reset(new NginxServer(f_.ServerRoot()));
    if (!nginx_->ok()) return false;
    std::string ini = "[Version]\r\nCurrentVersion=" + version_ + "\r\n[Temp]\r\nTemp1=127.0.0.1:" +
                      std::to_string(nginx_->port()) + "\r\n";
    if (!second_root.empty()) {
      second_.reset(new NginxServer(second_root));
      if (!second_->ok()) return false;
      ini += "Temp2=127.0.0.1:" + std::to_string(second_->port()) + "\r\n";
    }
    f_.WriteIni(ini);
    return true;
  }
  std::string Served(const std::string& path) { return f_.ServerRoot() + "/update/" + path; }
  void ExpectVersionFiveKept() {
    EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), version_);
    for (const auto& f : v5_) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
    EXPECT_FALSE(PathExists(f_.Install("data/new/sound.ogg")));
  }
  std::string Refusal(const std::string& document, const std::string& reason) {
    return "[update/" + document + "], 原因 [" + reason + "]";
  }

  UpdateFixture f_;
  SigningKey key_, other_;
  GameFiles v5_, v6_, v7_;
  std::string version_ = "5";
  std::unique_ptr<NginxServer> nginx_, second_;
  ScriptedUi ui_;
};

class SignedUpdateTest : public testing::Test, public SignedScene {};

}  // namespace

TEST_F(SignedUpdateTest, SignedReleasesUpdateWithoutComplaint) {
  if (!Serve()) GTEST_SKIP() << "nginx is not installed";
  f_.Run(&ui_);
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "7");
  for (const auto& f : v7_) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
  EXPECT_EQ(f_.Complaints(), "");
}

TEST_F(SignedUpdateTest, RefusedDocumentsInstallNothingAndNameTheReason) {
  struct Case {
    const char* name;
    void (*spoil)(SignedScene* t);
    const char* document;
    const char* reason;
  };
  const Case cases[] = {
      {"flipped byte in a manifest", [](SignedScene* t) { FlipByte(t->Served("6/FileConfig.xml"), 300); },
       "6/FileConfig.xml", "签名与内容不符"},
      {"flipped byte in a signature",
       [](SignedScene* t) {
         // Another hex digit of s: still well-formed, no longer valid.
         std::string sig = ReadFileBytes(t->Served("6/FileConfig.xml.sig"));
         char& digit = sig[sig.size() - 5];
         digit = digit == '0' ? '1' : '0';
         WriteFileBytes(t->Served("6/FileConfig.xml.sig"), sig);
       },
       "6/FileConfig.xml", "签名与内容不符"},
      {"missing signature",
       [](SignedScene* t) { platform::DeleteFile(platform::FromUtf8(t->Served("6/FileConfig.xml.sig"))); },
       "6/FileConfig.xml", "缺少签名"},
      {"foreign key", [](SignedScene* t) { t->f_.Publish(6, t->v6_, &t->other_); },
       "6/FileConfig.xml", "签名密钥不受信任"},
      {"manifest of another version",
       [](SignedScene* t) {
         WriteFileBytes(t->Served("6/FileConfig.xml"), ReadFileBytes(t->Served("5/FileConfig.xml")));
         WriteFileBytes(t->Served("6/FileConfig.xml.sig"), ReadFileBytes(t->Served("5/FileConfig.xml.sig")));
       },
       "6/FileConfig.xml", "签名不属于该文件"},
      {"expired version list", [](SignedScene* t) { t->f_.PublishVersionList(7, 7, {}, &t->key_, -10); },
       "VerAndUrl.xml", "签名已过期"},
      {"unsigned version list", [](SignedScene* t) { t->f_.PublishVersionList(7, 7, {}); },
       "VerAndUrl.xml", "缺少签名"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SignedScene t;
    c.spoil(&t);
    if (!t.Serve()) GTEST_SKIP() << "nginx is not installed";
    t.f_.Run(&t.ui_);
    EXPECT_TRUE(t.f_.LobbyStarted());  // no server left to try
    EXPECT_NE(t.f_.Log().find(t.Refusal(c.document, c.reason)), std::string::npos) << t.f_.Log();
    t.ExpectVersionFiveKept();
  }
}

TEST_F(SignedUpdateTest, RolledBackVersionListIsRefused) {
  version_ = "7";
  f_.InstallFiles(v7_);
  f_.PublishVersionList(6, 6, {}, &key_);
  if (!Serve()) GTEST_SKIP() << "nginx is not installed";
  f_.Run(&ui_);
  EXPECT_NE(f_.Log().find(Refusal("VerAndUrl.xml", "版本低于已安装的版本")), std::string::npos) << f_.Log();
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "7");
  for (const auto& f : v7_) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
}

TEST_F(SignedUpdateTest, RefusedServerGivesWayToTheNextOne) {
  std::string mirror = f_.Install("../mirror");
  ASSERT_EQ(system(("cp -r '" + f_.ServerRoot() + "' '" + mirror + "'").c_str()), 0);
  FlipByte(Served("VerAndUrl.xml"), 120);
  if (!Serve(mirror)) GTEST_SKIP() << "nginx is not installed";
  f_.Run(&ui_);
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_NE(f_.Log().find(Refusal("VerAndUrl.xml", "签名与内容不符")), std::string::npos);
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "7");
  for (const auto& f : v7_) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
}

TEST_F(SignedUpdateTest, FileThatDiffersFromItsSha256IsNotInstalled) {
  // Same length, one changed byte: the signed manifest no longer matches it.
  FlipByte(Served("6/data/map.bin"), 500);
  // The MD5 is the attacker's to choose; only the SHA-256 is signed.
  ui_.failure_actions = {ScriptedUi::kExit};
  if (!Serve()) GTEST_SKIP() << "nginx is not installed";
  f_.Run(&ui_);
  ASSERT_EQ(ui_.failures_shown.size(), 1u);
  std::string log = f_.Log();
  EXPECT_NE(log.find("SHA256检验失败，正在更新的版本号[6],XML配置文件名[map.bin],SHA256=["), std::string::npos)
      << log;
  EXPECT_NE(log.find("SHA256检验失败，正在更新的版本号[6],下载到本地的的文件名["), std::string::npos);
  EXPECT_TRUE(f_.FileMatches("data/map.bin", v5_["data/map.bin"]));
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "5");
}

TEST_F(SignedUpdateTest, EntryWithoutSha256IsNotInstalled) {
  // A signed manifest whose entry lacks the element (an old publisher's
  // entry, re-signed): without a digest the file cannot be trusted.
  std::string manifest = Served("6/FileConfig.xml");
  std::string text = ReadFileBytes(manifest);
  size_t at = text.find("sound.ogg");
  size_t from = text.find("\t\t\t<Sha256>", at);
  size_t to = text.find("\r\n", from) + 2;
  text.erase(from, to - from);
  WriteFileBytes(manifest, text);
  std::wstring error;
  ASSERT_TRUE(key_.Sign(platform::FromUtf8(manifest), "update/6/FileConfig.xml", nullptr, &error));
  ui_.failure_actions = {ScriptedUi::kExit};
  if (!Serve()) GTEST_SKIP() << "nginx is not installed";
  f_.Run(&ui_);
  EXPECT_NE(f_.Log().find("缺少SHA256，未安装文件 [sound.ogg]"), std::string::npos) << f_.Log();
  EXPECT_FALSE(PathExists(f_.Install("data/new/sound.ogg")));
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "5");
}

TEST_F(SignedUpdateTest, KeysRotateThroughASignedRelease) {
  // Version 6 ships the new key beside the old; version 7 is signed by the
  // new key only, and so is nothing before it.
  v6_["UpdateTrust.pub"] = {key_.PublicKeyLine() + "\n" + other_.PublicKeyLine() + "\n", Stamp(6, 9)};
  v7_["UpdateTrust.pub"] = {other_.PublicKeyLine() + "\n", Stamp(7, 9)};
  f_.Publish(6, v6_, &key_);
  f_.Publish(7, v7_, &other_);
  if (!Serve()) GTEST_SKIP() << "nginx is not installed";
  f_.Run(&ui_);
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_EQ(f_.Complaints(), "");
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "7");
  for (const auto& f : v7_) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
}

TEST_F(SignedUpdateTest, KeyFileWithLongCommentsIsRead) {
  std::string text = ReadFileBytes(f_.Install("UpdateTrust.pub"));
  for (int i = 0; i < 1000; ++i) text += "# " + std::string(75, 'c') + "\r\n";
  WriteFileBytes(f_.Install("UpdateTrust.pub"), "\xEF\xBB\xBF" + text);
  if (!Serve()) GTEST_SKIP() << "nginx is not installed";
  f_.Run(&ui_);
  EXPECT_EQ(f_.Complaints(), "");
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "7");
}

TEST_F(SignedUpdateTest, UnsignedReleaseIsRefusedWhenTheKeyFileCannotBeRead) {
  // An attacker's release, and a key file the updater cannot read.
  f_.Publish(6, v6_);
  f_.Publish(7, v7_);
  f_.PublishVersionList(7, 7, {});
  platform::DeleteFile(platform::FromUtf8(f_.Install("UpdateTrust.pub")));
  ASSERT_TRUE(platform::CreateDirectory(platform::FromUtf8(f_.Install("UpdateTrust.pub"))));
  if (!Serve()) GTEST_SKIP() << "nginx is not installed";
  f_.Run(&ui_);
  EXPECT_TRUE(f_.LobbyStarted());
  const std::string log = f_.Log();
  EXPECT_NE(log.find("无法读取签名密钥文件 ["), std::string::npos) << log;
  EXPECT_NE(log.find("UpdateTrust.pub]"), std::string::npos) << log;
  EXPECT_NE(log.find(Refusal("VerAndUrl.xml", "缺少签名")), std::string::npos) << log;
  ExpectVersionFiveKept();
}

TEST(UnsignedUpdate, WithoutAKeyFileNothingIsAskedOrLoggedAboutSignatures) {
  UpdateFixture f;
  GameFiles v1 = {{"a.dat", {Bytes(5000, 'x'), Stamp(1, 1)}}};
  GameFiles v2 = {{"a.dat", {Bytes(6000, 'y'), Stamp(2, 1)}}};
  f.Publish(1, v1);
  f.Publish(2, v2);
  f.PublishVersionList(2, 2, {});
  f.InstallFiles(v1);
  f.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + f.ServerWord() + "\r\n");
  ScriptedUi ui;
  f.Run(&ui);
  EXPECT_TRUE(f.LobbyStarted());
  EXPECT_TRUE(f.FileMatches("a.dat", v2["a.dat"]));
  EXPECT_EQ(f.server().CountRequests(".sig"), 0);
  EXPECT_EQ(f.Log(), "");
}
