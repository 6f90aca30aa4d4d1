// Whole updates from nginx over https, with certificates from a test CA that
// the client trusts through SSL_CERT_FILE: a full update, refused
// certificates that move the run to the next server with a line in the
// log, and redirects between http and https.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "platform/event_loop.h"
#include "platform/text.h"
#include "support/test_certs.h"
#include "update/resume_file.h"
#include "support/update_fixture.h"

namespace {

std::string Bytes(size_t size, char seed) {
  std::string s(size, seed);
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(seed + i * 13 + (i >> 7));
  return s;
}

class UpdateTlsTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    certs_ = new TestCertificates;
    if (certs_->ok()) setenv("SSL_CERT_FILE", certs_->ca().c_str(), 1);
    unsetenv("SSL_CERT_DIR");
  }
  static void TearDownTestSuite() {
    delete certs_;
    unsetenv("SSL_CERT_FILE");
  }
  void SetUp() override {
    if (!certs_->ok()) GTEST_SKIP() << "the test certificates could not be made (openssl)";
    if (FindProgram("nginx").empty()) GTEST_SKIP() << "nginx is not installed";
    ui_.failure_actions = {ScriptedUi::kExit};
    v1_ = {{"game.dat", {Bytes(1000, 'a'), Stamp(1, 1)}}, {"说明.txt", {"第一版", Stamp(1, 2)}}};
    v2_ = v1_;
    v2_["game.dat"] = {Bytes(700000, 'b'), Stamp(2, 1)};
    v2_["maps/新地图.bin"] = {Bytes(300000, 'c'), Stamp(2, 2)};
    f_.Publish(1, v1_);
    f_.Publish(2, v2_);
    f_.InstallFiles(v1_);
  }
  NginxServer* Serve(const std::string& certificate, const std::string& extra = "") {
    servers_.emplace_back(new NginxServer(f_.ServerRoot(), extra, certs_->Server(certificate)));
    return servers_.back().get();
  }
  // Entries longer than 20 characters are kept scrambled, as the version
  // list hands them out.
  static std::string Entry(const std::string& address) {
    if (address.size() <= 20) return address;
    return platform::ToUtf8(ScrambleServerEntry(platform::FromUtf8(address), L"KelvoraUpdateMirror0"));
  }
  void Ini(const std::vector<std::string>& servers) {
    std::string text = "[Version]\r\nCurrentVersion=1\r\n[Temp]\r\n";
    for (size_t i = 0; i < servers.size(); ++i) {
      text += "Temp" + std::to_string(i + 1) + "=" + Entry(servers[i]) + "\r\n";
    }
    f_.WriteIni(text);
  }
  void ExpectUpdated() {
    EXPECT_TRUE(ui_.failures_shown.empty()) << platform::ToUtf8(ui_.failures_shown[0]);
    EXPECT_TRUE(f_.LobbyStarted());
    EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "2");
    for (const auto& f : v2_) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
  }

  static TestCertificates* certs_;
  UpdateFixture f_;
  ScriptedUi ui_;
  GameFiles v1_, v2_;
  std::vector<std::unique_ptr<NginxServer>> servers_;
};

TestCertificates* UpdateTlsTest::certs_ = nullptr;

TEST_F(UpdateTlsTest, AFullUpdateComesOverHttps) {
  std::string base = Serve("good")->base();
  f_.PublishVersionList(2, 2, {base});
  std::string entry = base;
  entry.replace(0, 5, "HTTPS");  // the scheme in any case
  Ini({entry});
  f_.Run(&ui_);
  ExpectUpdated();
  EXPECT_EQ(f_.Log(), "");
  // The list's address is recorded, scheme and all.
  EXPECT_EQ(DescrambleServerEntry(platform::FromUtf8(f_.IniValue("Temp", "Temp1"))), platform::FromUtf8(base));
}

TEST_F(UpdateTlsTest, DecryptedBytesHeldWhileTheCapPausesReadsAreNotLostOrLate) {
  std::string base = Serve("good")->base();
  f_.PublishVersionList(2, 2, {base});
  f_.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + Entry(base) +
              "\r\n[Download]\r\nMaxRate=256\r\n");
  const uint64_t start = platform::MonotonicMs();
  f_.Run(&ui_);
  const uint64_t took = platform::MonotonicMs() - start;
  ExpectUpdated();
  // A million bytes of files at 256 KiB/s: nearly four seconds at least;
  // only far longer would mean reads stalled.
  const uint64_t implied = 1000000 * 1000 / (256 * 1024);
  EXPECT_GE(took, implied * 95 / 100);
  EXPECT_LE(took, implied * 10);
}

TEST_F(UpdateTlsTest, EachRefusedCertificateMovesTheRunToTheNextServerWithALogLine) {
  Ini({Serve("expired")->base(), Serve("wronghost")->base(), Serve("untrusted")->base(), Serve("good")->base()});
  f_.PublishVersionList(2, 2, {});
  f_.Run(&ui_);
  ExpectUpdated();
  std::string log = f_.Log();
  for (const char* reason : {"服务器证书已过期", "服务器证书与服务器地址不符", "服务器证书不受信任"}) {
    EXPECT_NE(log.find(std::string(" 安全连接失败 [localhost]：") + reason + "\r\n"), std::string::npos)
        << reason << "\n" << log;
  }
  EXPECT_NE(log.find("放弃 3 号游戏服务器"), std::string::npos) << log;
  EXPECT_EQ(log.find("放弃 4 号游戏服务器"), std::string::npos) << log;
}

TEST_F(UpdateTlsTest, AServerThatRedirectsToHttpsIsFollowed) {
  std::string secure = Serve("good")->base();
  NginxServer plain(f_.ServerRoot(), "location /update/ { return 301 " + secure + "$request_uri; }");
  ASSERT_TRUE(plain.ok());
  f_.PublishVersionList(2, 2, {});
  Ini({plain.base()});
  f_.Run(&ui_);
  ExpectUpdated();
  EXPECT_EQ(f_.Log(), "");
}

TEST_F(UpdateTlsTest, ARedirectFromHttpsToHttpIsRefusedAndLogged) {
  NginxServer plain(f_.ServerRoot());
  ASSERT_TRUE(plain.ok());
  std::string lowering = Serve("good", "location /update/ { return 302 " + plain.base() + "$request_uri; }")->base();
  f_.PublishVersionList(2, 2, {});
  Ini({lowering, Serve("good")->base()});
  f_.Run(&ui_);
  ExpectUpdated();
  std::string log = f_.Log();
  EXPECT_NE(log.find(" 拒绝从安全连接重定向到非安全地址 [" + plain.base() + "/update/VerAndUrl.xml]\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("放弃 1 号游戏服务器"), std::string::npos) << log;
}

}  // namespace
