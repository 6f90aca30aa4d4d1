#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/connection_pool.h"
#include "net/download.h"
#include "platform/event_loop.h"
#include "platform/text.h"
#include "support/scripted_server.h"

namespace {

struct Sink : IDownLoadSink {
  std::string body;
  std::vector<int> errors;
  bool finished = false;
  CDownLoad* reset_on_information = nullptr;
  bool OnDownLoadError(int code) override {
    errors.push_back(code);
    finished = true;
    return true;
  }
  bool OnDownLoadStatus(int status) override {
    finished = finished || status == kDownLoadComplete;
    return true;
  }
  bool OnDownLoadData(const char* data, uint32_t count) override {
    body.append(data, count);
    return true;
  }
  bool OnDataInformation(uint64_t, const std::wstring&, const std::wstring&) override {
    if (reset_on_information) {
      reset_on_information->Reset();
      finished = true;
    }
    return true;
  }
};

std::string Answer(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Chunked(const std::string& body) {
  char size[16];
  snprintf(size, sizeof(size), "%zx", body.size());
  return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(size) + "\r\n" + body +
         "\r\n0\r\n\r\n";
}

// Fetches |path| with its own request, as range parts and file jobs do.
bool Fetch(const ScriptedServer& server, const std::string& path, Sink* sink, CDownLoad* request) {
  const std::wstring url = platform::FromUtf8(server.base() + path);
  if (!request->DownLoad(url, sink)) return false;
  return platform::RunUntil([&] { return sink->finished; }, 20000);
}

// Replies for a server that eight connections lead to: |first| on the
// first, a short answer on each of the other seven, "fresh" on a ninth.
std::vector<std::vector<std::string>> EightLines(const std::vector<std::string>& first) {
  std::vector<std::vector<std::string>> replies = {first};
  for (int i = 1; i < CDownLoad::kLinesPerServer; ++i) replies.push_back({Answer("other")});
  replies.push_back({Answer("fresh")});
  return replies;
}

// One pipelined request on each of the eight connections, and a ninth that
// waits behind the first.
void StartNineRequests(const ScriptedServer& server, Sink* sinks, CDownLoad* lines) {
  for (int i = 0; i <= CDownLoad::kLinesPerServer; ++i) {
    lines[i].SetPipelining(true);
    ASSERT_TRUE(lines[i].DownLoad(platform::FromUtf8(server.base() + "/" + std::to_string(i)), &sinks[i]));
  }
}

class ConnectionReuse : public ::testing::Test {
 protected:
  // Connections kept by earlier tests lead to servers that are gone.
  void SetUp() override { CloseIdleConnections(); }
  void TearDown() override { CloseIdleConnections(); }
};

}  // namespace

TEST_F(ConnectionReuse, RequestsInARowToOneServerShareItsConnection) {
  ScriptedServer server({{Answer("first"), ScriptedServer::kNextRequest, Chunked("second"),
                          ScriptedServer::kNextRequest, Answer("")}});
  Sink a, b, c;
  CDownLoad one, two;
  ASSERT_TRUE(Fetch(server, "/a", &a, &one));
  ASSERT_TRUE(Fetch(server, "/b", &b, &two));
  ASSERT_TRUE(Fetch(server, "/c", &c, &one));
  EXPECT_EQ(a.body, "first");
  EXPECT_EQ(b.body, "second");
  EXPECT_TRUE(c.errors.empty());
  EXPECT_TRUE(two.reused());
  EXPECT_EQ(server.connections(), 1);
  ASSERT_EQ(server.requests().size(), 3u);
  EXPECT_EQ(server.requests()[1].substr(0, 15), "GET /b HTTP/1.1");
}

TEST_F(ConnectionReuse, AnswersThatEndTheirConnectionAreNotReused) {
  const std::string second = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfresh";
  const std::vector<std::string> ending = {
      "HTTP/1.1 200 OK\r\nConnection: keep-alive, close\r\nContent-Length: 5\r\n\r\nfirst",
      "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nfirst",
      "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfirst and more than its length",
  };
  for (const std::string& first : ending) {
    SCOPED_TRACE(first);
    // A client that wrongly kept the connection gets "stale" on it.
    ScriptedServer server({{first, ScriptedServer::kNextRequest, Answer("stale")}, {second}});
    Sink a, b;
    CDownLoad one, two;
    ASSERT_TRUE(Fetch(server, "/a", &a, &one));
    ASSERT_TRUE(Fetch(server, "/b", &b, &two));
    EXPECT_EQ(a.body, "first");
    EXPECT_EQ(b.body, "fresh");
    EXPECT_FALSE(two.reused());
  }
}

TEST_F(ConnectionReuse, ABodyReadToTheCloseOrLeftMidwayEndsItsConnection) {
  {
    ScriptedServer server({{"HTTP/1.1 200 OK\r\n\r\nto the close"}, {Answer("fresh")}});
    Sink a, b;
    CDownLoad one;
    ASSERT_TRUE(Fetch(server, "/a", &a, &one));
    ASSERT_TRUE(Fetch(server, "/b", &b, &one));
    EXPECT_EQ(a.body, "to the close");
    EXPECT_EQ(b.body, "fresh");
    EXPECT_EQ(server.connections(), 2);
  }
  {
    // The rest of the first body would be read as the next answer.
    ScriptedServer server({{"HTTP/1.1 200 OK\r\nContent-Length: 40\r\n\r\nhalf",
                            ScriptedServer::kNextRequest, Answer("stale")},
                           {Answer("fresh")}});
    Sink a, b;
    CDownLoad one;
    a.reset_on_information = &one;
    ASSERT_TRUE(Fetch(server, "/a", &a, &one));
    ASSERT_TRUE(Fetch(server, "/b", &b, &one));
    EXPECT_EQ(b.body, "fresh");
    EXPECT_FALSE(one.reused());
  }
}

TEST_F(ConnectionReuse, AKeptConnectionTheServerClosesIsDroppedOrRetriedOnce) {
  {
    // Closed while idle: the pool notices and lets it go.
    ScriptedServer server({{Answer("first")}, {Answer("second")}});
    Sink a, b;
    CDownLoad one;
    ASSERT_TRUE(Fetch(server, "/a", &a, &one));
    ASSERT_TRUE(platform::RunUntil([] { return SharedConnectionPool().idle() == 0; }, 20000));
    ASSERT_TRUE(Fetch(server, "/b", &b, &one));
    EXPECT_EQ(b.body, "second");
    EXPECT_FALSE(one.reused());
  }
  {
    // Closed as the next request arrives: sent again on a fresh one.
    ScriptedServer server({{Answer("first"), ScriptedServer::kNextRequest}, {Answer("second")}});
    Sink a, b;
    CDownLoad one, two;
    ASSERT_TRUE(Fetch(server, "/a", &a, &one));
    ASSERT_TRUE(Fetch(server, "/b", &b, &two));
    EXPECT_TRUE(b.errors.empty());
    EXPECT_EQ(b.body, "second");
    EXPECT_EQ(server.connections(), 2);
    ASSERT_EQ(server.requests().size(), 3u);
    EXPECT_EQ(server.requests()[2], server.requests()[1]);
  }
}

TEST_F(ConnectionReuse, AStrayLineEndBeforeTheNextAnswerIsSkipped) {
  // Servers that send a line end more than the length they announced: on
  // a kept connection it comes before the next answer.
  ScriptedServer server({{Answer("first"), ScriptedServer::kNextRequest, "\r\n" + Answer("second"),
                          ScriptedServer::kNextRequest, "\n\r\n", Answer("third")}});
  Sink a, b, c;
  CDownLoad one;
  ASSERT_TRUE(Fetch(server, "/a", &a, &one));
  ASSERT_TRUE(Fetch(server, "/b", &b, &one));
  ASSERT_TRUE(b.errors.empty());
  ASSERT_TRUE(Fetch(server, "/c", &c, &one));
  EXPECT_EQ(a.body, "first");
  EXPECT_EQ(b.body, "second");
  EXPECT_TRUE(c.errors.empty());
  EXPECT_EQ(c.body, "third");
  EXPECT_EQ(server.connections(), 1);
}

TEST_F(ConnectionReuse, EmptyLinesThatGoOnPastTheHeaderCapFailTheRequest) {
  // A server that sends line ends without end fails as one whose header
  // never ends, not after the watchdog's wait.
  ScriptedServer server({{std::string(80 * 1024, '\n') + Answer("late")}});
  Sink a;
  CDownLoad one;
  ASSERT_TRUE(Fetch(server, "/a", &a, &one));
  EXPECT_EQ(a.errors.size(), 1u);
  EXPECT_EQ(a.body, "");
}

TEST_F(ConnectionReuse, AnAnswerBehindBytesPastTheLengthBeforeIsAskedForOnAFreshConnection) {
  // A script that announced a file's length and then printed a warning
  // after it: on a kept connection the next answer comes behind the text.
  ScriptedServer server({{Answer("first"), ScriptedServer::kNextRequest,
                          "<b>Notice</b>: Undefined index in send.php on line 3\r\n" + Answer("stale")},
                         {Answer("second")}});
  Sink a, b;
  CDownLoad one;
  ASSERT_TRUE(Fetch(server, "/a", &a, &one));
  ASSERT_TRUE(Fetch(server, "/b", &b, &one));
  EXPECT_EQ(a.body, "first");
  EXPECT_TRUE(b.errors.empty());
  EXPECT_EQ(b.body, "second");
  EXPECT_EQ(server.connections(), 2);
  EXPECT_FALSE(one.reused());
}

TEST_F(ConnectionReuse, BytesPastTheLengthOfAnAnswerSpoilNoneOfTheAnswersBehindIt) {
  // Eight connections lead to the server; a ninth request waits behind the
  // first. A line end after its answer is skipped; a warning text sends the
  // request behind to a fresh connection.
  const std::string extras[] = {"\r\n", "<b>Notice</b>: Undefined index in send.php on line 3\n"};
  const char* const bodies[] = {"behind", "fresh"};
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    CloseIdleConnections();
    ScriptedServer server(EightLines({Answer("first") + extras[round] + Answer("behind")}));
    Sink sinks[CDownLoad::kLinesPerServer + 1];
    CDownLoad lines[CDownLoad::kLinesPerServer + 1];
    StartNineRequests(server, sinks, lines);
    for (int i = 0; i <= CDownLoad::kLinesPerServer; ++i) {
      ASSERT_TRUE(platform::RunUntil([&] { return sinks[i].finished; }, 20000)) << i;
      EXPECT_TRUE(sinks[i].errors.empty()) << i;
    }
    EXPECT_EQ(sinks[0].body, "first");
    EXPECT_EQ(sinks[CDownLoad::kLinesPerServer].body, bodies[round]);
  }
}

TEST_F(ConnectionReuse, ATimeOutAnswerOnAKeptConnectionIsAskedForOnAFreshOne) {
  // Servers that end an idle connection with a 408 of their own: the
  // request that went out on it just then was never read.
  const std::string timeout = "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
  ScriptedServer server({{Answer("first"), ScriptedServer::kNextRequest, timeout}, {Answer("second")}, {timeout}});
  Sink a, b, c;
  CDownLoad one;
  ASSERT_TRUE(Fetch(server, "/a", &a, &one));
  ASSERT_TRUE(Fetch(server, "/b", &b, &one));
  EXPECT_TRUE(b.errors.empty());
  EXPECT_EQ(b.body, "second");
  // On a fresh connection a 408 is the server's answer.
  ASSERT_TRUE(Fetch(server, "/c", &c, &one));
  EXPECT_EQ(c.errors, std::vector<int>{kDownLoadFailed});
  EXPECT_EQ(one.last_status(), 408);
}

TEST_F(ConnectionReuse, ARequestThatFailsOnAFreshConnectionIsNotRetried) {
  ScriptedServer server({{}, {Answer("second")}});
  Sink a;
  CDownLoad one;
  ASSERT_TRUE(Fetch(server, "/a", &a, &one));
  ASSERT_EQ(a.errors.size(), 1u);
  EXPECT_EQ(a.errors[0], kDownLoadFailed);
  EXPECT_EQ(a.body, "");
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(ConnectionReuse, AConnectionALeftRequestWasSentOnIsNotKept) {
  // Eight connections lead to the server; a ninth request waits behind the
  // first and leaves once sent: its answer still comes on that connection.
  ScriptedServer server(EightLines(
      {"HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nfir", ScriptedServer::kNextRequest, "st.", Answer("stale")}));
  Sink sinks[CDownLoad::kLinesPerServer + 1];
  CDownLoad lines[CDownLoad::kLinesPerServer + 1];
  StartNineRequests(server, sinks, lines);
  ASSERT_TRUE(platform::RunUntil([&] { return !sinks[0].body.empty(); }, 20000));
  lines[CDownLoad::kLinesPerServer].Reset();
  ASSERT_TRUE(platform::RunUntil([&] { return sinks[0].finished; }, 20000));
  EXPECT_EQ(sinks[0].body, "first.");
  Sink next;
  CDownLoad alone;
  ASSERT_TRUE(Fetch(server, "/next", &next, &alone));
  EXPECT_EQ(next.body, "fresh");
  for (int i = 1; i < CDownLoad::kLinesPerServer; ++i) {
    ASSERT_TRUE(platform::RunUntil([&] { return sinks[i].finished; }, 20000));
    EXPECT_EQ(sinks[i].body, "other");
  }
}
