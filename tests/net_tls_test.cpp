// Downloads over https from nginx on 127.0.0.1, with certificates from a
// test CA that the client trusts through SSL_CERT_FILE: documents and ranged
// files, refused certificates, redirects between http and https, and TLS
// through proxy tunnels.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cwchar>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "update/file_job.h"
#include "net/secure_texts.h"
#include "platform/event_loop.h"
#include "platform/text.h"
#include "support/job_runner.h"
#include "support/servers.h"
#include "support/temp_dir.h"
#include "support/test_certs.h"

namespace {

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131) ^ (i >> 9));
  return data;
}

std::wstring W(const std::string& text) { return platform::FromUtf8(text); }

struct Sink : IDownLoadSink {
  std::string body;
  int result = -1;
  bool OnDownLoadError(int code) override { return (result = 100 + code), true; }
  bool OnDownLoadStatus(int status) override {
    if (status == kDownLoadComplete) result = 0;
    return true;
  }
  bool OnDownLoadData(const char* data, uint32_t count) override {
    body.append(data, count);
    return true;
  }
  bool OnDataInformation(uint64_t, const std::wstring&, const std::wstring&) override { return true; }
};

class NetTlsTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    certs_ = new TestCertificates;
    root_ = new TempDir;
    for (const char* d : {"update", "update/1"}) mkdir(root_->File(d).c_str(), 0755);
    WriteFileBytes(root_->File("update/1/small.txt"), "hello over tls");
    WriteFileBytes(root_->File("update/1/mid.bin"), Pattern(3000));
    WriteFileBytes(root_->File("update/1/big.bin"), Pattern(6 * 1048576 + 3));
    servers_ = new std::map<std::string, NginxServer*>;
    if (!certs_->ok()) return;
    setenv("SSL_CERT_FILE", certs_->ca().c_str(), 1);
    unsetenv("SSL_CERT_DIR");
    auto& s = *servers_;
    s["plain"] = new NginxServer(root_->path());
    s["good"] = new NginxServer(root_->path(),
                                "location = /to-plain { return 302 " + s["plain"]->base() + "/update/1/small.txt; }",
                                certs_->Server("good"));
    s["to-tls"] = new NginxServer(root_->path(),
                                  "location = /to-tls { return 301 " + s["good"]->base() + "/update/1/small.txt; }");
    for (const char* name : {"expired", "wronghost", "untrusted"}) {
      s[name] = new NginxServer(root_->path(), "", certs_->Server(name));
    }
  }
  static void TearDownTestSuite() {
    for (auto& s : *servers_) delete s.second;
    delete servers_;
    delete root_;
    delete certs_;
    unsetenv("SSL_CERT_FILE");
  }
  void SetUp() override {
    if (!certs_->ok()) GTEST_SKIP() << "the test certificates could not be made (openssl)";
    for (auto& s : *servers_) {
      if (!s.second->ok()) GTEST_SKIP() << "nginx is not installed";
    }
  }
  static std::string Base(const std::string& name) { return servers_->at(name)->base(); }
  std::unique_ptr<CInetFile> Document(const std::string& url) {
    auto job = std::make_unique<CInetFile>(W(url), nullptr, L"1");
    job->Kind = kJobManifest;
    job->TargetPath = out_.WFile("doc");
    return job;
  }

  static TestCertificates* certs_;
  static TempDir* root_;
  static std::map<std::string, NginxServer*>* servers_;
  TempDir out_;
  JobRunner runner_;
};

TestCertificates* NetTlsTest::certs_ = nullptr;
TempDir* NetTlsTest::root_ = nullptr;
std::map<std::string, NginxServer*>* NetTlsTest::servers_ = nullptr;

TEST_F(NetTlsTest, DocumentsAndRangedFilesComeOverTls) {
  auto doc = Document(Base("good") + "/update/1/small.txt");
  ASSERT_EQ(runner_.Run(doc.get(), false), kJobOk);
  EXPECT_EQ(ReadFileBytes(out_.File("doc")), "hello over tls");

  auto file = std::make_unique<CInetFile>(W(Base("good") + "/update/1/big.bin"), nullptr, L"1");
  file->Kind = kJobFile;
  file->TargetPath = out_.WFile("big.bin");
  file->ExpectedLength = 6 * 1048576 + 3;
  ASSERT_EQ(runner_.Run(file.get(), true), kJobOk);
  EXPECT_TRUE(ReadFileBytes(out_.File("big.bin.update.1")) == Pattern(6 * 1048576 + 3));
  EXPECT_EQ(runner_.progress_total, 6u * 1048576 + 3);
}

// The whole response comes in one read and is decrypted at once; what the
// header buffer could not take waits in memory, where no read event will
// announce it (nginx keeps the connection open).
TEST_F(NetTlsTest, BodyDecryptedTogetherWithTheHeaderIsDelivered) {
  for (int i = 0; i < 5; ++i) {
    auto doc = Document(Base("good") + "/update/1/mid.bin");
    ASSERT_EQ(runner_.Run(doc.get(), false, 5000), kJobOk);
    EXPECT_TRUE(ReadFileBytes(out_.File("doc")) == Pattern(3000));
  }
}

TEST_F(NetTlsTest, SchemeIsTakenInAnyCase) {
  std::string url = Base("good") + "/update/1/small.txt";
  url.replace(0, 5, "HtTpS");
  auto doc = Document(url);
  ASSERT_EQ(runner_.Run(doc.get(), false), kJobOk);
  EXPECT_EQ(ReadFileBytes(out_.File("doc")), "hello over tls");
}

TEST_F(NetTlsTest, RefusedCertificatesFailTheJobWithTheReasonForTheLog) {
  const std::map<std::string, platform::TlsFailure> cases = {
      {"expired", platform::TlsFailure::kExpired},
      {"wronghost", platform::TlsFailure::kWrongHost},
      {"untrusted", platform::TlsFailure::kUntrusted},
  };
  for (const auto& c : cases) {
    auto doc = Document(Base(c.first) + "/update/1/small.txt");
    EXPECT_EQ(runner_.Run(doc.get(), false), kJobTransferFailed) << c.first;
    EXPECT_EQ(doc->FailureNote, platform::Format(texts::kSecureConnectFailed, L"localhost",
                                                 texts::TlsFailureReason(c.second)))
        << c.first;
    EXPECT_EQ(ReadFileBytes(out_.File("doc")), "") << c.first;
  }
  // The note belongs to the run: a later good run carries none.
  auto doc = Document(Base("good") + "/update/1/small.txt");
  ASSERT_EQ(runner_.Run(doc.get(), false), kJobOk);
  EXPECT_EQ(doc->FailureNote, L"");
}

TEST_F(NetTlsTest, RedirectFromHttpToHttpsIsFollowed) {
  auto doc = Document(Base("to-tls") + "/to-tls");
  ASSERT_EQ(runner_.Run(doc.get(), false), kJobOk);
  EXPECT_EQ(ReadFileBytes(out_.File("doc")), "hello over tls");
}

TEST_F(NetTlsTest, RedirectFromHttpsToHttpIsRefused) {
  auto doc = Document(Base("good") + "/to-plain");
  EXPECT_EQ(runner_.Run(doc.get(), false), kJobTransferFailed);
  EXPECT_EQ(doc->FailureNote,
            platform::Format(texts::kInsecureRedirect, W(Base("plain") + "/update/1/small.txt").c_str()));
  EXPECT_EQ(ReadFileBytes(out_.File("doc")), "");
}

TEST_F(NetTlsTest, ProxyTunnelsCarryTls) {
  struct Case {
    const char* name;
    uint8_t type;
    std::function<std::vector<std::string>(int)> argv;
  };
  TempDir conf;
  std::vector<Case> cases;
  if (!FindProgram("tinyproxy").empty()) {
    cases.push_back({"HTTP CONNECT", CWEBSocket::kHttpConnect, [&](int port) { return TinyproxyCommand(conf.path(), port); }});
  }
  if (!FindProgram("microsocks").empty()) {
    cases.push_back({"SOCKS5", CWEBSocket::kSocks5, [](int port) { return MicrosocksCommand(port); }});
  }
  if (cases.empty()) GTEST_SKIP() << "no proxy is installed";
  for (const Case& c : cases) {
    int port = 0;
    std::unique_ptr<ChildProcess> proxy = StartOnFreePort(c.argv, &port);
    ASSERT_TRUE(proxy) << c.name;
    ProxySettings settings;
    settings.port = static_cast<uint16_t>(port);
    wcsncpy(settings.host, L"127.0.0.1", 31);
    for (const char* server : {"good", "untrusted"}) {
      CDownLoad request;
      ASSERT_TRUE(request.SetProxy(c.type, settings));
      Sink sink;
      ASSERT_TRUE(request.DownLoad(W(Base(server) + "/update/1/small.txt"), &sink)) << c.name;
      ASSERT_TRUE(platform::RunUntil([&] { return sink.result >= 0; }, 10000)) << c.name;
      if (std::string(server) == "good") {
        EXPECT_EQ(sink.result, 0) << c.name;
        EXPECT_EQ(sink.body, "hello over tls") << c.name;
      } else {
        EXPECT_EQ(sink.result, 100 + kDownLoadConnectFailed) << c.name;
        EXPECT_EQ(sink.body, "") << c.name;
      }
    }
  }
}

}  // namespace
