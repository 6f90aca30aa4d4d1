// Many small files: once eight connections lead to the server, requests
// wait behind others on them (pipelining). nginx logs which requests came
// pipelined and on which connection; the test server breaks lines in the
// ways real servers do, and every file still arrives once and intact.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "platform/text.h"
#include "support/test_certs.h"
#include "support/update_fixture.h"
#include "update/resume_file.h"

namespace {

std::string Bytes(size_t size, char seed) {
  std::string s(size, seed);
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(seed + i * 13 + (i >> 7));
  return s;
}

std::string Name(int i) {
  char name[32];
  snprintf(name, sizeof(name), "small/%03d.dat", i);
  return name;
}

// What nginx's log tells of the requests for the small files.
struct Served {
  std::map<std::string, int> requests;  // by path
  std::set<std::string> connections;
  int pipelined = 0;
};

Served FromNginx(const std::string& log) {
  Served s;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    const size_t get = line.find("\"GET /update/2/small/");
    if (get == std::string::npos) continue;
    ++s.requests[line.substr(get + 5, line.find(' ', get + 5) - get - 5)];
    const size_t last = line.rfind(' ');
    s.connections.insert(line.substr(last + 1));
    s.pipelined += line.compare(last - 2, 3, " p ") == 0;
  }
  return s;
}

class UpdatePipelineTest : public testing::Test {
 protected:
  static constexpr int kFiles = 100;
  void SetUp() override {
    ui_.failure_actions = {ScriptedUi::kExit};
    v1_ = {{"game.dat", {Bytes(1000, 'a'), Stamp(1, 1)}}};
    v2_ = v1_;
    for (int i = 0; i < kFiles; ++i) v2_[Name(i)] = {Bytes(3000 + i, static_cast<char>('b' + i)), Stamp(2, i)};
    f_.Publish(1, v1_);
    f_.Publish(2, v2_);
    f_.InstallFiles(v1_);
  }
  // Entries longer than 20 characters are kept scrambled, as the version
  // list hands them out.
  void Ini(const std::string& server) {
    const std::string entry =
        server.size() <= 20
            ? server
            : platform::ToUtf8(ScrambleServerEntry(platform::FromUtf8(server), L"KelvoraUpdateMirror0"));
    f_.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + entry + "\r\n");
  }
  void ExpectUpdated() {
    EXPECT_TRUE(ui_.failures_shown.empty()) << platform::ToUtf8(ui_.failures_shown[0]) << f_.Log();
    EXPECT_TRUE(f_.LobbyStarted());
    EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "2");
    for (const auto& f : v2_) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
  }
  // Every small file asked for exactly once, on at most eight connections,
  // requests behind others. nginx calls a request pipelined when it came
  // in the same read as the one before; the first requests of each line go
  // out together, later ones as places in the lines come free.
  static void ExpectPipelined(const std::string& log) {
    const Served served = FromNginx(log);
    EXPECT_EQ(served.requests.size(), static_cast<size_t>(kFiles)) << log;
    for (const auto& r : served.requests) EXPECT_EQ(r.second, 1) << r.first;
    EXPECT_LE(served.connections.size(), 8u) << log;
    EXPECT_GE(served.pipelined, 1) << log;
  }

  UpdateFixture f_;
  ScriptedUi ui_;
  GameFiles v1_, v2_;
};

TEST_F(UpdatePipelineTest, SmallFilesWaitBehindOthersOnEightConnections) {
  NginxServer nginx(f_.ServerRoot());
  if (!nginx.ok()) GTEST_SKIP() << "nginx is not installed";
  const std::string word = "127.0.0.1:" + std::to_string(nginx.port());
  f_.PublishVersionList(2, 2, {word});
  Ini(word);
  f_.Run(&ui_);
  ExpectUpdated();
  EXPECT_EQ(f_.Log(), "");
  ExpectPipelined(nginx.AccessLog());
}

TEST_F(UpdatePipelineTest, OverHttpsToo) {
  if (FindProgram("nginx").empty()) GTEST_SKIP() << "nginx is not installed";
  TestCertificates certs;
  if (!certs.ok()) GTEST_SKIP() << "the test certificates could not be made (openssl)";
  setenv("SSL_CERT_FILE", certs.ca().c_str(), 1);
  NginxServer nginx(f_.ServerRoot(), "", certs.Server("good"));
  f_.PublishVersionList(2, 2, {nginx.base()});
  Ini(nginx.base());
  f_.Run(&ui_);
  unsetenv("SSL_CERT_FILE");
  ExpectUpdated();
  ExpectPipelined(nginx.AccessLog());
}

// A server that ends a connection with requests waiting on it (an answer
// with "Connection: close", an HTTP/1.0 answer) or hangs up on a request
// that waited, before its answer or in the middle of its header: what was
// not answered is asked again on a fresh connection.
TEST_F(UpdatePipelineTest, RequestsLeftUnansweredWhenALineBreaksAreSentAgain) {
  f_.server().SetRules("{\"/update/2/" + Name(40) + "\": \"hang-up-once\", \"/update/2/" + Name(45) +
                       "\": \"half-header-once\", \"/update/2/" + Name(60) +
                       "\": \"close-after\", \"/update/2/" + Name(70) + "\": \"http10\", \"/update/2/" +
                       Name(85) + "\": \"close-after\"}");
  f_.PublishVersionList(2, 2, {f_.ServerWord()});
  Ini(f_.ServerWord());
  f_.Run(&ui_);
  ExpectUpdated();
  if (HasFailure()) fprintf(stderr, "%s", f_.server().RequestLog().c_str());
  // The request hung up on was asked for again, as were those that waited
  // behind the answers that ended their connections.
  EXPECT_GE(f_.server().CountRequests(Name(40)), 2);
  EXPECT_GE(f_.server().CountRequests(Name(45)), 2);
  std::istringstream log(f_.server().RequestLog());
  int requests = 0;
  for (std::string line; std::getline(log, line);) requests += line.find("/update/2/small/") != std::string::npos;
  EXPECT_GT(requests, kFiles);
}

// Every small file moves to another address on the same server: a request
// sent again after a redirect is a line's head no longer, and the requests
// that waited behind it go out again; each file still arrives once.
TEST_F(UpdatePipelineTest, RedirectedRequestsInLines) {
  std::string rules = "{";
  for (int i = 0; i < kFiles; ++i) {
    const std::string path = "/update/2/" + Name(i);
    rules += std::string(i ? ", " : "") + "\"" + path + "\": \"redirect:?m=1\", \"" + path + "?m=1\": \"serve\"";
  }
  f_.server().SetRules(rules + "}");
  f_.PublishVersionList(2, 2, {f_.ServerWord()});
  Ini(f_.ServerWord());
  f_.Run(&ui_);
  ExpectUpdated();
}

// A server that ends every connection after its first answer: the
// requests that waited in the lines go out one after another, never on
// more than eight connections at once.
TEST_F(UpdatePipelineTest, NoMoreThanEightConnectionsToAServerThatTakesOneRequestEach) {
  std::string rules = "{";
  for (int i = 0; i < kFiles; ++i) rules += std::string(i ? ", " : "") + "\"/update/2/" + Name(i) + "\": \"http10\"";
  f_.server().SetRules(rules + "}");
  f_.PublishVersionList(2, 2, {f_.ServerWord()});
  Ini(f_.ServerWord());
  f_.Run(&ui_);
  ExpectUpdated();
  std::istringstream log(f_.server().RequestLog());
  int most = 0;
  for (std::string line; std::getline(log, line);) {
    const size_t open = line.find("\"open\": ");
    if (open != std::string::npos) most = std::max(most, atoi(line.c_str() + open + 8));
  }
  EXPECT_GE(most, 1);
  EXPECT_LE(most, 8);
}

}  // namespace
