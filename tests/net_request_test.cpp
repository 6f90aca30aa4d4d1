#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "net/connection_pool.h"
#include "net/download.h"
#include "net/range_download.h"
#include "platform/event_loop.h"
#include "platform/text.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

namespace {

// Records every report of a request as a line of text.
struct RecordingSink : IDownLoadSink {
  std::vector<std::string> events;
  std::string body;
  CDownLoad* reset_on_information = nullptr;
  bool finished = false;
  bool OnDownLoadError(int code) override {
    events.push_back("error " + std::to_string(code));
    finished = true;
    return true;
  }
  bool OnDownLoadStatus(int status) override {
    events.push_back("status " + std::to_string(status));
    finished = finished || status == 2;
    return true;
  }
  bool OnDownLoadData(const char* data, uint32_t count) override {
    body.append(data, count);
    return true;
  }
  bool OnDataInformation(uint64_t length, const std::wstring& tag, const std::wstring& path) override {
    events.push_back("info " + std::to_string(length) + " " + platform::ToUtf8(tag) + " " +
                     platform::ToUtf8(path));
    if (reset_on_information) {
      reset_on_information->Reset();
      finished = true;
    }
    return true;
  }
};

// A response whose header is |size| bytes, blank line included (none when
// |ended| is false): a content-security-policy and session cookies, as
// hardened servers and CDNs send, padded to the size.
std::string LargeHeader(size_t size, const std::string& body, bool ended = true) {
  std::string head = "HTTP/1.1 200 OK\r\nServer: nginx\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\nContent-Security-Policy: default-src 'self'; script-src 'self' https://cdn.example; "
                     "img-src 'self' data:\r\n";
  const std::string end = ended ? "\r\n" : "";
  for (int n = 0; head.size() + end.size() < size; ++n) {
    const std::string name = "Set-Cookie: s" + std::to_string(n) + "=";
    const size_t room = size - head.size() - end.size();
    // Lines of about 4 KiB; the last one takes exactly what is left.
    const size_t line = room <= 4096 + 64 ? room : 4096;
    head += name + std::string(line - name.size() - 2, 'v') + "\r\n";
  }
  return head + end;
}

// Splits |text| at the given offsets.
std::vector<std::string> Pieces(const std::string& text, std::vector<size_t> cuts) {
  std::vector<std::string> out;
  size_t at = 0;
  for (size_t cut : cuts) {
    out.push_back(text.substr(at, cut - at));
    at = cut;
  }
  out.push_back(text.substr(at));
  return out;
}

const char kFileHeaders[] = "Accept: */*\r\nUser-Agent: AutoUpdate_Lurin\r\nCache-Control: no-cache\r\n";

}  // namespace

TEST(DownLoad, SendsTheRequestByteForByteAndCollectsAHeaderInPieces) {
  ScriptedServer server({{"HTTP/1.1 200 OK\r\nContent-", "Length: 10\r\nETag: \"t1\"\r\n",
                          "\r\n01234", "56789"}});
  CDownLoad request;
  RecordingSink sink;
  request.SetExtraHeaders(kFileHeaders);
  ASSERT_TRUE(request.DownLoad(platform::FromUtf8(server.base() + "/update/6/a b.dll"), &sink));
  ASSERT_TRUE(platform::RunUntil([&] { return sink.finished; }, 5000));
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0], "GET /update/6/a%20b.dll HTTP/1.1\r\nHost: 127.0.0.1:" +
                                      std::to_string(server.port()) + "\r\n" + kFileHeaders + "\r\n");
  EXPECT_EQ(sink.events, (std::vector<std::string>{"status 0", "status 1", "info 10 t1 /update/6/a b.dll",
                                                   "status 2"}));
  EXPECT_EQ(sink.body, "0123456789");
  EXPECT_EQ(request.GetState(), CDownLoad::kIdle);
  EXPECT_FALSE(request.DownLoad(L"ftp2://x", &sink));
}

TEST(DownLoad, ZeroLengthCompletesAtOnceAndAResetDropsTheBodyThatCameWithTheHeader) {
  ScriptedServer server({{"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"},
                         {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nabcde"}});
  CDownLoad request;
  RecordingSink sink;
  ASSERT_TRUE(request.DownLoad(platform::FromUtf8(server.base() + "/empty"), &sink));
  ASSERT_TRUE(platform::RunUntil([&] { return sink.finished; }, 5000));
  EXPECT_EQ(sink.events.back(), "status 2");

  RecordingSink resetting;
  resetting.reset_on_information = &request;
  ASSERT_TRUE(request.DownLoad(platform::FromUtf8(server.base() + "/x"), &resetting));
  ASSERT_TRUE(platform::RunUntil([&] { return resetting.finished; }, 5000));
  platform::RunUntil([] { return false; }, 100);
  EXPECT_EQ(resetting.body, "");
  EXPECT_EQ(resetting.events.back(), "info 5  /x");
}

TEST(DownLoad, HeadersUpTo64KiBAreReadInPiecesOfAnySize) {
  const std::string small = LargeHeader(1538, "hello") + "hello";
  const std::string big = LargeHeader(60 * 1024, "world") + "world";
  const std::string full = LargeHeader(64 * 1024, "edge!") + "edge!";
  ASSERT_EQ(small.size(), 1538u + 5);
  ASSERT_EQ(full.size(), 65536u + 5);
  std::vector<size_t> bytes;
  for (size_t at = 1; at < 1538; at += 97) bytes.push_back(at);
  const std::vector<std::vector<std::string>> replies = {
      {small},
      Pieces(small, {1, 1023, 1024, 1025, 1540}),
      Pieces(small, bytes),
      {big},
      Pieces(big, {4095, 20000, 61437, 61440 + 3}),
      {full},
      Pieces(full, {65535, 65536, 65537}),
  };
  const char* const bodies[] = {"hello", "hello", "hello", "world", "world", "edge!", "edge!"};
  ScriptedServer server(replies);
  CDownLoad request;
  for (size_t i = 0; i < replies.size(); ++i) {
    RecordingSink sink;
    ASSERT_TRUE(request.DownLoad(platform::FromUtf8(server.base() + "/h"), &sink));
    ASSERT_TRUE(platform::RunUntil([&] { return sink.finished; }, 10000)) << i;
    EXPECT_EQ(sink.events.back(), "status 2") << i;
    EXPECT_EQ(sink.body, bodies[i]) << i;
  }
}

TEST(WebSocket, AHeaderOver64KiBClosesTheConnection) {
  struct Sink : IWEBSocketSink {
    bool connected = false;
    int headers = 0;
    std::vector<int> closes;
    bool OnSocketConnect(uint16_t error) override { return connected = error == 0; }
    bool OnSocketClose(uint8_t reason) override {
      closes.push_back(reason);
      return true;
    }
    bool OnSocketData(const char*, int32_t) override { return true; }
    bool OnSocketHeader(const char*, uint32_t, int32_t) override { return ++headers; }
  };
  // One byte too many, complete; and a header that never ends, sent on and
  // on past the limit.
  const std::string over = LargeHeader(64 * 1024 + 1, "x") + "x";
  const std::string endless = LargeHeader(200 * 1024, "", false);
  ScriptedServer server({Pieces(over, {1000, 65535, 65536}), Pieces(endless, {30000, 66000, 100000})});
  for (int i = 0; i < 2; ++i) {
    Sink sink;
    CWEBSocket socket;
    socket.SetSink(&sink);
    ASSERT_EQ(socket.Connect(L"127.0.0.1", static_cast<uint16_t>(server.port())), 0);
    ASSERT_TRUE(platform::RunUntil([&] { return sink.connected; }, 5000));
    ASSERT_EQ(socket.Send("GET / HTTP/1.1\r\n\r\n", 18), 18);
    ASSERT_TRUE(platform::RunUntil([&] { return !sink.closes.empty(); }, 10000)) << i;
    EXPECT_EQ(sink.closes, std::vector<int>{CWEBSocket::kCloseFailed}) << i;
    EXPECT_EQ(sink.headers, 0) << i;
    EXPECT_EQ(socket.state(), CWEBSocket::kClosed);
  }
}

TEST(DownLoad, RejectedStatusesAndEarlyClosesAreOneError) {
  ScriptedServer server({{"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"},
                         {"HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\nshort"},
                         {"HTTP/1.1 302 Found\r\nContent-Length: 0\r\n\r\n"}});
  CDownLoad request;
  for (int i = 0; i < 3; ++i) {
    RecordingSink sink;
    ASSERT_TRUE(request.DownLoad(platform::FromUtf8(server.base() + "/x"), &sink));
    ASSERT_TRUE(platform::RunUntil([&] { return sink.finished; }, 5000)) << i;
    EXPECT_EQ(sink.events.back(), "error 0") << i;
  }
}

TEST(DownLoad, ChunkedCodingWinsOverAnyContentLength) {
  ScriptedServer server({std::vector<std::string>{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 5, 7\r\n\r\n",
                          "3\r\nabc\r\n0\r\n\r\n"}});
  CDownLoad request;
  RecordingSink sink;
  ASSERT_TRUE(request.DownLoad(platform::FromUtf8(server.base() + "/c"), &sink));
  ASSERT_TRUE(platform::RunUntil([&] { return sink.finished; }, 5000));
  EXPECT_EQ(sink.events.back(), "status 2");
  EXPECT_EQ(sink.body, "abc");
}

TEST(RangeDownLoad, WritesItsRangeInPlaceAlsoWhenTheServerIgnoresRange) {
  // The range asked for; the whole file; a 206 that starts where asked and
  // ends later, as from servers that round ranges up to blocks of their own.
  TempDir dir;
  ScriptedServer server({{"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 2-3/10\r\n"
                          "Content-Length: 2\r\n\r\n23"},
                         {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789"},
                         {"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 2-9/10\r\n"
                          "Content-Length: 8\r\n\r\n23456789"}});
  const std::string path = dir.File("target");
  for (int round = 0; round < 3; ++round) {
    WriteFileBytes(path, std::string(10, '.'));
    CRangeDownLoad part;
    RecordingSink owner;
    std::unique_ptr<platform::DiskFile> file =
        platform::RealDisk().Open(platform::FromUtf8(path), platform::File::kWriteExisting);
    ASSERT_TRUE(part.Start(platform::FromUtf8(server.base() + "/f"), &owner, 2, 3, 10, file.get()));
    ASSERT_TRUE(platform::RunUntil([&] { return owner.finished; }, 5000));
    EXPECT_EQ(owner.events.back(), "status 2") << round;
    EXPECT_EQ(ReadFileBytes(path), "..23......") << round;
    EXPECT_EQ(owner.body, "23");
    EXPECT_TRUE(part.IsIdle());
  }
  EXPECT_NE(server.requests()[0].find("\r\nRange: bytes=2-3\r\n"), std::string::npos);
}

TEST(RangeDownLoad, ARangeWhoseAnswerEndsWithItLeavesItsConnectionForTheNext) {
  // A part that takes up another range after its own asks on the
  // connection its first answer came on, whose window has grown already.
  CloseIdleConnections();
  TempDir dir;
  ScriptedServer server({{"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-1/4\r\n"
                          "Content-Length: 2\r\n\r\nab",
                          ScriptedServer::kNextRequest,
                          "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 2-3/4\r\n"
                          "Content-Length: 2\r\n\r\ncd"},
                         {"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 2-3/4\r\n"
                          "Content-Length: 2\r\n\r\ncd"}});
  const std::string path = dir.File("target");
  WriteFileBytes(path, "....");
  std::unique_ptr<platform::DiskFile> file =
      platform::RealDisk().Open(platform::FromUtf8(path), platform::File::kWriteExisting);
  CRangeDownLoad part;
  const std::wstring url = platform::FromUtf8(server.base() + "/f");
  // As a file job does, the next range starts from the report of the end.
  struct NextRange : RecordingSink {
    std::function<void()> next;
    bool OnDownLoadStatus(int status) override {
      RecordingSink::OnDownLoadStatus(status);
      if (next) {
        finished = false;
        std::function<void()> start = std::move(next);
        next = nullptr;
        start();
      }
      return true;
    }
  } owner;
  owner.next = [&] { EXPECT_TRUE(part.Start(url, &owner, 2, 3, 4, file.get())); };
  ASSERT_TRUE(part.Start(url, &owner, 0, 1, 4, file.get()));
  ASSERT_TRUE(platform::RunUntil([&] { return owner.finished; }, 5000));
  EXPECT_EQ(owner.events, (std::vector<std::string>{"info 2  /f", "status 2", "info 2  /f", "status 2"}));
  EXPECT_EQ(ReadFileBytes(path), "abcd");
  EXPECT_EQ(server.connections(), 1);
  CloseIdleConnections();
}

TEST(RangeDownLoad, AResumeSendsTheLongestValidatorWhole) {
  TempDir dir;
  ScriptedServer server({{"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 5-9/10\r\n"
                          "Content-Length: 5\r\n\r\n56789"}});
  WriteFileBytes(dir.File("t"), "01234.....");
  const std::string tag = "\"" + std::string(254, 't') + "\"";
  std::unique_ptr<platform::DiskFile> file = platform::RealDisk().Open(dir.WFile("t"), platform::File::kWriteExisting);
  CRangeDownLoad part;
  ASSERT_TRUE(part.Start(platform::FromUtf8(server.base() + "/f"), nullptr, 0, 9, 10, file.get(), 5, tag));
  ASSERT_TRUE(platform::RunUntil([&] { return part.IsIdle(); }, 5000));
  EXPECT_EQ(ReadFileBytes(dir.File("t")), "0123456789");
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0], "GET /f HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                                      "\r\nAccept: */*\r\nUser-Agent: AutoUpdate_Lurin\r\nRange: bytes=5-9\r\n"
                                      "If-Range: " + tag + "\r\nCache-Control: no-cache\r\n\r\n");
}

TEST(RangeDownLoad, APartWithoutAnOwnerStillWritesItsRange) {
  TempDir dir;
  ScriptedServer server({{"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-1/4\r\n"
                          "Content-Length: 2\r\n\r\nab"}});
  WriteFileBytes(dir.File("t"), "....");
  std::unique_ptr<platform::DiskFile> file = platform::RealDisk().Open(dir.WFile("t"), platform::File::kWriteExisting);
  CRangeDownLoad part;
  ASSERT_TRUE(part.Start(platform::FromUtf8(server.base() + "/f"), nullptr, 0, 1, 4, file.get()));
  ASSERT_TRUE(platform::RunUntil([&] { return part.IsIdle(); }, 5000));
  EXPECT_EQ(ReadFileBytes(dir.File("t")), "ab..");
}

TEST(WebSocket, SendBeforeConnectedIsRefusedAndCloseReportsOnce) {
  struct Sink : IWEBSocketSink {
    int closes = 0, connects = 0;
    bool OnSocketConnect(uint16_t) override { return ++connects; }
    bool OnSocketClose(uint8_t) override { return ++closes; }
    bool OnSocketData(const char*, int32_t) override { return true; }
    bool OnSocketHeader(const char*, uint32_t, int32_t) override { return true; }
  } sink;
  ScriptedServer server(std::vector<std::vector<std::string>>(1));
  CWEBSocket socket;
  socket.SetSink(&sink);
  ASSERT_EQ(socket.Connect(L"127.0.0.1", static_cast<uint16_t>(server.port())), 0);
  EXPECT_EQ(socket.state(), CWEBSocket::kConnecting);
  EXPECT_EQ(socket.Send("x", 1), 0);
  ASSERT_TRUE(platform::RunUntil([&] { return sink.connects == 1; }, 5000));
  EXPECT_EQ(socket.Send("GET / HTTP/1.1\r\n\r\n", 18), 18);
  uint16_t serial = socket.serial();
  socket.Close(4);
  socket.Close(4);
  EXPECT_EQ(sink.closes, 1);
  EXPECT_EQ(socket.serial(), serial + 2);
  ProxySettings settings;
  EXPECT_FALSE(socket.SetProxy(4, settings));
}
