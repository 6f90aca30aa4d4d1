#pragma once
// One HTTP/1.1 GET of a URL: status check, redirects, body length and end,
// body delivered straight to the owner. Connections come from and go back
// to the process's ConnectionPool: an answer that ends by its framing
// leaves its connection for the next request to the same server.
#include <cstdint>
#include <memory>
#include <string>

#include "net/head_translate.h"
#include "net/web_socket.h"

// What OnDownLoadStatus reports: the request is connecting; the header was
// accepted and the body follows; the body is complete (the request is idle
// again).
enum DownLoadStatus : int { kDownLoadConnecting = 0, kDownLoadAccepted = 1, kDownLoadComplete = 2 };
// What OnDownLoadError reports: the connection failed; any other failure of
// the request; a range part could not open its file; the connection broke
// under the answer while requests waited behind it. A server that closes
// with requests it has not read makes its system reset the connection,
// which can cut short an answer it had sent in full: such a request may
// be tried again, on a connection of its own.
enum DownLoadError : int {
  kDownLoadFailed = 0,
  kDownLoadConnectFailed = 1,
  kDownLoadFileFailed = 2,
  kDownLoadLineBroken = 3,
};

class IDownLoadSink {
 public:
  // A DownLoadError; the request is idle again when this is called.
  virtual bool OnDownLoadError(int code) = 0;
  // A DownLoadStatus.
  virtual bool OnDownLoadStatus(int status) = 0;
  virtual bool OnDownLoadData(const char* data, uint32_t count) = 0;
  // Once per accepted response, right after status 1. |length| is 0 when
  // the response announced none.
  virtual bool OnDataInformation(uint64_t length, const std::wstring& entityTag,
                                 const std::wstring& path) = 0;

 protected:
  ~IDownLoadSink() = default;
};

// Requests that allow it may be pipelined: once kLinesPerServer connections
// lead to a server, a further request is sent on the one with the fewest
// requests under way (at most kPipelineDepth), and its answer is read when
// those before it have ended. The requests on one connection form a line;
// the first owns the connection. Should the line break (the connection
// closes, an answer does not keep it, a request leaves its place), the
// requests still unanswered are sent again on a fresh connection.
class CDownLoad : public IWEBSocketSink {
 public:
  enum State { kRequesting = 0, kReceiving = 1, kIdle = 2 };
  static constexpr int kMaxRedirects = 10;
  static constexpr int kLinesPerServer = 8;
  static constexpr int kPipelineDepth = 4;

  CDownLoad();
  virtual ~CDownLoad();
  CDownLoad(const CDownLoad&) = delete;
  CDownLoad& operator=(const CDownLoad&) = delete;

  // Tunnels the connections through a proxy; none is configured by the
  // updater itself.
  bool SetProxy(uint8_t type, const ProxySettings& settings);
  // Header lines sent with every request, each ending in CR LF.
  void SetExtraHeaders(const std::string& text) { extra_headers_ = text; }
  // False (and nothing reported) when busy or when the start fails.
  bool DownLoad(const std::wstring& url, IDownLoadSink* sink);
  // Whether requests from now on may wait behind others on a connection:
  // for short answers only, as every request behind waits for them.
  void SetPipelining(bool on) { pipelining_ = on; }
  // Requests that a connection to the server of |url| carries at once:
  // kPipelineDepth, or 1 once that server was seen to end a connection
  // after its first answer while requests waited on it.
  static int RequestsPerConnection(const std::wstring& url);
  int GetState() const { return state_; }
  void Reset();

  // The latest request went out on a connection an earlier one had used.
  bool reused() const { return reused_; }

  // Of the accepted response: its status, whether it announced a length,
  // and the first byte and complete length of its Content-Range (-1 when
  // none).
  int status_code() const { return status_code_; }
  // The status of the last response of the latest DownLoad, accepted or
  // not, redirects included; 0 before any arrived.
  int last_status() const { return last_status_; }
  bool length_known() const { return length_known_; }
  // Every byte of the accepted response's announced length has been
  // handed on: its end follows, with the connection kept when it may be.
  bool BodyDelivered() const { return length_known_ && received_ == expected_length_; }
  int64_t range_start() const { return head_.range_start(); }
  // The validator of the accepted response for If-Range: its strong
  // ETag, else its Last-Modified date; empty when it has neither. Valid
  // until the request ends.
  const std::string& strong_tag() const { return head_.strong_tag(); }
  const std::string& last_modified() const { return head_.last_modified(); }
  int64_t range_total() const { return head_.range_total(); }
  int64_t range_end() const { return head_.range_end(); }
  const std::string& content_type() const { return head_.content_type(); }
  // A line for the log on why the latest DownLoad failed, when its reason
  // is one the codes do not tell (TLS refused the server; a redirect from
  // https to http); empty otherwise.
  const std::wstring& failure_note() const { return failure_note_; }

  // IWEBSocketSink
  bool OnSocketConnect(uint16_t error) override;
  bool OnSocketClose(uint8_t reason) override;
  bool OnSocketData(const char* data, int32_t count) override;
  bool OnSocketHeader(const char* header, uint32_t length, int32_t status) override;

 private:
  bool StartRequest(const std::wstring& url);
  // Opens a new connection to the current target on a new socket object:
  // the old one may still be running further up the stack.
  bool Connect();
  void SendRequest();
  std::string RequestText() const;
  void Deliver(const char* data, uint32_t count);
  // With |keep| the connection may carry the next request; |unused| bytes
  // at the end of the latest piece lie beyond the answer.
  void Complete(bool keep, uint32_t unused = 0);
  void Fail(int code);

  // The line: this request's place in it and the connection it shares.
  bool InLine() const { return ahead_ != nullptr; }
  CDownLoad* LineHead();
  int LineLength() const;
  bool Joinable() const;
  // A line to the same server to wait in, or null when this request takes
  // a connection of its own.
  CDownLoad* LineToJoin() const;
  void JoinBehind(CDownLoad* head);
  // Whether the requests waiting behind go out before this head's answer
  // ended: not to a server that ends a connection after its first answer.
  bool SendsBehind() const;
  // Sends |waiting|'s request on this head's connection.
  void SendBehind(CDownLoad* waiting);
  // This head's answer is over: |next| reads the next one on |socket|.
  void HandOver(CDownLoad* next, std::unique_ptr<CWEBSocket> socket);
  // Leaves the line; a request already sent spoils the answers behind it.
  void LeaveLine();
  // The connection of this head is gone: the requests behind it go out
  // again, on a fresh connection.
  void ResendLine();
  // Starts this request again on a fresh connection of its own.
  void Reconnect();
  // Heads with a connection in use, for the lines to join.
  void Enlist();
  void Delist();

  uint64_t expected_length_ = 0;
  uint64_t received_ = 0;
  uint16_t port_ = 0;
  bool secure_ = false;
  std::wstring path_;
  std::wstring host_;
  std::wstring url_;
  int state_ = kIdle;
  std::string extra_headers_;
  uint8_t proxy_type_ = CWEBSocket::kNoProxy;
  ProxySettings proxy_;
  // Null between requests once the connection went back to the pool.
  std::unique_ptr<CWEBSocket> socket_;
  // What the pool files the connection under: scheme, host, port, proxy.
  std::string pool_key_;
  bool reused_ = false;
  CHeadTranslate head_;
  IDownLoadSink* sink_ = nullptr;

  // Changes with every Reset and start, so that code running after a sink
  // call can tell that the sink began something new.
  uint64_t run_ = 0;
  int redirects_ = 0;
  int status_code_ = 0;
  int last_status_ = 0;
  bool length_known_ = false;
  bool chunked_ = false;
  ChunkedDecoder decoder_;
  std::string decoded_;
  std::wstring failure_note_;

  bool pipelining_ = false;
  // Neighbours in the line: the request whose answer comes before this
  // one's, and the one after.
  CDownLoad* ahead_ = nullptr;
  CDownLoad* behind_ = nullptr;
  // A head: its request is on the connection. In a line: the same.
  bool request_sent_ = false;
  // A request that left after it was sent: the answers on this head's
  // connection no longer match the requests behind.
  bool line_spoilt_ = false;
};
