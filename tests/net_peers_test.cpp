// Downloads against real peers from the distribution: nginx, and proxies
// (tinyproxy for HTTP CONNECT, dante for SOCKS4, microsocks for SOCKS5).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cwchar>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "manifest/update_file.h"
#include "update/file_job.h"
#include "platform/text.h"
#include "support/job_runner.h"
#include "support/servers.h"
#include "support/temp_dir.h"

namespace {

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131) ^ (i >> 9));
  return data;
}

class PeersTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new TempDir;
    for (const char* d : {"update", "update/1", "update/1/sub", "update/sub"}) {
      mkdir(root_->File(d).c_str(), 0755);
    }
    for (auto& f : Files()) WriteFileBytes(root_->File("update/1/" + f.first), f.second);
    WriteFileBytes(root_->File("update/sub/file.bin"), Pattern(777));
    nginx_ = new NginxServer(root_->path());
  }
  static void TearDownTestSuite() {
    delete nginx_;
    delete root_;
  }
  static const std::map<std::string, std::string>& Files() {
    static const std::map<std::string, std::string> files = {
        {"one.bin", "x"},          {"five.bin", "12345"},
        {"empty.bin", ""},         {"big.bin", Pattern(6 * 1048576 + 3)},
        {"with space.bin", Pattern(5000)}, {"中文名.bin", Pattern(70000)},
        {"sub/deep.bin", Pattern(12345)},
        {"100%41.dat", Pattern(4000)},     {"C#1.dat", Pattern(4100)},
        {"sub/a+b&c=d;e?f.dat", Pattern(4200)},
    };
    return files;
  }
  void SetUp() override {
    if (!nginx_->ok()) GTEST_SKIP() << "nginx is not installed";
  }
  std::unique_ptr<CInetFile> Job(const std::string& name) {
    CUpdateFile entry(L"");
    size_t slash = name.rfind('/');
    entry.LocalPath = slash == std::string::npos ? L"" : platform::FromUtf8(name.substr(0, slash + 1));
    entry.FileName = platform::FromUtf8(name.substr(slash == std::string::npos ? 0 : slash + 1));
    auto job = std::make_unique<CInetFile>(platform::FromUtf8(nginx_->base()), &entry, L"1");
    job->TargetPath = out_.WFile("f");
    job->ExpectedLength = Files().at(name).size();
    return job;
  }
  static TempDir* root_;
  static NginxServer* nginx_;
  TempDir out_;
  JobRunner runner_;
};

TempDir* PeersTest::root_ = nullptr;
NginxServer* PeersTest::nginx_ = nullptr;

struct Sink : IDownLoadSink {
  std::string body;
  int result = -1;
  bool OnDownLoadError(int code) override { return (result = 100 + code), true; }
  bool OnDownLoadStatus(int status) override {
    if (status == 2) result = 0;
    return true;
  }
  bool OnDownLoadData(const char* data, uint32_t count) override {
    body.append(data, count);
    return true;
  }
  bool OnDataInformation(uint64_t, const std::wstring&, const std::wstring&) override { return true; }
};

void CopyInto(wchar_t* out, const std::wstring& text) { wcsncpy(out, text.c_str(), 31); }

}  // namespace

TEST_F(PeersTest, EveryKindOfFileDownloadsFromNginx) {
  for (const auto& f : Files()) {
    auto job = Job(f.first);
    ASSERT_EQ(runner_.Run(job.get(), true), kJobOk) << f.first;
    EXPECT_EQ(ReadFileBytes(out_.File("f.update.1")), f.second) << f.first;
    EXPECT_EQ(runner_.progress_total, f.second.size());
    EXPECT_EQ(runner_.done_count, 1);
    EXPECT_LE(runner_.largest_progress, 4096u);
  }
}

TEST_F(PeersTest, NginxRedirectIsFollowed) {
  auto job = std::make_unique<CInetFile>(platform::FromUtf8(nginx_->base() + "/moved"), nullptr, L"1");
  job->Kind = kJobManifest;
  job->TargetPath = out_.WFile("moved");
  ASSERT_EQ(runner_.Run(job.get(), false), kJobOk);
  EXPECT_EQ(ReadFileBytes(out_.File("moved")), Pattern(777));
}

TEST_F(PeersTest, ProxyHandshakesReachNginx) {
  const std::string url = nginx_->base() + "/update/1/five.bin";
  struct Case {
    const char* name;
    uint8_t type;
    // The proxy's command line for a port; empty when it is not installed.
    std::function<std::vector<std::string>(int)> argv;
    std::wstring user, password;
  };
  TempDir conf;
  std::vector<Case> cases;
  if (!FindProgram("tinyproxy").empty()) {
    cases.push_back({"HTTP CONNECT", CWEBSocket::kHttpConnect, [&](int port) { return TinyproxyCommand(conf.path(), port); }, L"", L""});
  }
  if (!FindProgram("danted").empty()) {
    cases.push_back({"SOCKS4", CWEBSocket::kSocks4, [&](int port) {
                       WriteFileBytes(conf.File("sockd.conf"),
                                      "logoutput: " + conf.File("sockd.log") + "\ninternal: 127.0.0.1 port = " +
                                      std::to_string(port) + "\nexternal: 127.0.0.1\nclientmethod: none\n"
                                      "socksmethod: none\nuser.privileged: root\nuser.unprivileged: nobody\n"
                                      "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                                      "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n");
                       return std::vector<std::string>{FindProgram("danted"), "-f", conf.File("sockd.conf"), "-p",
                                                       conf.File("sockd.pid")};
                     }, L"", L""});
  }
  if (!FindProgram("microsocks").empty()) {
    cases.push_back({"SOCKS5", CWEBSocket::kSocks5, [](int port) { return MicrosocksCommand(port); }, L"", L""});
    cases.push_back({"SOCKS5 with password", CWEBSocket::kSocks5, [](int port) { return MicrosocksCommand(port, "player", "secret"); },
                     L"player", L"secret"});
  }
  if (cases.empty()) GTEST_SKIP() << "no proxy is installed";
  for (const Case& c : cases) {
    int port = 0;
    std::unique_ptr<ChildProcess> proxy = StartOnFreePort(c.argv, &port);
    ASSERT_TRUE(proxy) << c.name;
    ProxySettings settings;
    settings.port = static_cast<uint16_t>(port);
    CopyInto(settings.host, L"127.0.0.1");
    CopyInto(settings.user, c.user);
    CopyInto(settings.password, c.password);
    CDownLoad request;
    ASSERT_TRUE(request.SetProxy(c.type, settings));
    Sink sink;
    ASSERT_TRUE(request.DownLoad(platform::FromUtf8(url), &sink)) << c.name;
    ASSERT_TRUE(platform::RunUntil([&] { return sink.result >= 0; }, 10000)) << c.name;
    EXPECT_EQ(sink.result, 0) << c.name;
    EXPECT_EQ(sink.body, "12345") << c.name;
    if (!c.user.empty()) {
      CopyInto(settings.password, L"wrong");
      request.SetProxy(c.type, settings);
      EXPECT_FALSE(request.DownLoad(platform::FromUtf8(url), &sink)) << "refused password";
    }
  }
}
