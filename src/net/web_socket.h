#pragma once
// One outgoing TCP connection driven by loop events: connects without
// blocking, sends a request (keeping back what the network cannot take yet),
// collects the response header up to its blank line, and hands the header
// and then the body to its owner.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/rate_limiter.h"
#include "platform/socket_events.h"
#include "platform/tls.h"

class IWEBSocketSink {
 public:
  // |error| is a Windows Sockets error code; 0 means connected.
  virtual bool OnSocketConnect(uint16_t error) = 0;
  // |reason| is a CWEBSocket::CloseReason other than kCloseSilent.
  virtual bool OnSocketClose(uint8_t reason) = 0;
  // Body bytes; a count of 0 means the peer closed the connection.
  virtual bool OnSocketData(const char* data, int32_t count) = 0;
  virtual bool OnSocketHeader(const char* header, uint32_t length, int32_t status) = 0;

 protected:
  ~IWEBSocketSink() = default;
};

struct ProxySettings {
  uint16_t port = 0;
  wchar_t user[32] = {};
  wchar_t password[32] = {};
  wchar_t host[32] = {};
};

// Reads keep within the process's bandwidth cap (SharedRateLimiter): when
// it is spent, the socket stops reading until the limiter lets it go on.
class CWEBSocket : private platform::SocketEventSink, private RateWaiter {
 public:
  enum State : uint8_t { kClosed = 0, kConnecting = 1, kConnected = 2 };
  enum ProxyType : uint8_t { kNoProxy = 0, kHttpConnect = 1, kSocks4 = 2, kSocks5 = 3 };
  // Why a connection was closed; only a silent close is not reported.
  enum CloseReason : uint8_t { kCloseSilent = 0, kCloseFailed = 4 };
  // What Connect reports, and what the proxy handshake reports to it.
  enum ConnectResult : uint8_t {
    kConnectStarted = 0,
    kConnectFailed = 2,
    kProxyFailed = 3,
    kProxyAuthRefused = 4,
  };
  // What OnSocketConnect reports when TLS refused the server; tls_failure()
  // says why.
  static constexpr uint16_t kSecureRefused = 0xFFFF;
  // A response header may take this much, blank line included; the buffer
  // starts small and grows as a header needs it.
  static constexpr uint32_t kMaxHeader = 64 * 1024;
  // Largest piece handed to the sink at once.
  static constexpr int32_t kMaxDelivery = 4096;

  CWEBSocket();
  virtual ~CWEBSocket();
  CWEBSocket(const CWEBSocket&) = delete;
  CWEBSocket& operator=(const CWEBSocket&) = delete;

  void SetSink(IWEBSocketSink* sink) { sink_ = sink; }
  // Connections made from now on speak TLS (https), through a proxy too:
  // OnSocketConnect(0) comes once the server has proved by its certificate
  // to be the host given to Connect, and everything sent and received is
  // plain text to the sink.
  void SetSecure(bool secure) { secure_ = secure; }
  // Why TLS refused the last connection; kNone when it did not.
  platform::TlsFailure tls_failure() const { return tls_failure_; }
  bool SetProxy(uint8_t type, const ProxySettings& settings);
  // kConnectStarted when a direct attempt is under way or a proxy tunnel
  // stands; kConnectFailed when it failed at once (the connection is then
  // closed silently).
  uint8_t Connect(const std::wstring& host, uint16_t port);
  // The length accepted, or 0 when refused or failed.
  uint16_t Send(const char* data, uint16_t length);
  // Sends a further request behind the one whose answer is under way
  // (pipelining): the exchange in progress goes on untouched. The length
  // accepted, or 0 when refused or failed.
  uint16_t Queue(const char* data, uint16_t length);
  // kCloseSilent closes silently; any other reason is reported to the sink.
  void Close(uint8_t reason);

  uint8_t state() const { return state_; }
  uint16_t serial() const { return serial_; }
  // Some of an answer has arrived since the last Send.
  bool answered() const { return header_complete_ || header_fill_ > 0; }
  // Ends the exchange on a connection that stays open: nothing more of it
  // reaches the sink, and the next Send waits for a new header. |unused| is
  // how many bytes at the end of the piece just handed to the sink lie
  // beyond the answer. Without |carry| those, and any other bytes read past
  // the answer, were asked by no one: false, as when the connection cannot
  // carry another request (closed, still sending). With |carry| they begin
  // the answer to the next request already sent (Queue), which the sink set
  // next is handed from the loop.
  bool EndExchange(uint32_t unused, bool carry);

 private:
  void OnSocketEvent(int event, int error) override;
  void OnBudget() override;
  // Pauses reading until the bandwidth cap allows more.
  void WaitForBudget();
  void Receive();
  // Makes room for more of the header; false once it holds kMaxHeader.
  bool GrowHeader();
  // Drops the empty lines and complete interim (1xx) responses at the
  // start of the header buffer; the end of the final header then, or
  // kHeaderIncomplete / kHeaderMalformed.
  int32_t TakeInterimResponses();
  void Flush();
  // Sends bytes as they are, keeping back what the network cannot take.
  bool SendRaw(const char* data, uint32_t length);
  bool AppendPending(const char* data, uint32_t length);
  // The stream the sink reads: the socket's bytes, or what TLS decrypted
  // from them. -1 with |would_block| when nothing is there yet.
  long ReadStream(char* data, size_t size, bool* would_block);
  bool Buffered() const { return plain_taken_ < plain_length_; }
  void StartTls();
  void ContinueHandshake();
  void RefuseTls(platform::TlsFailure failure);
  // Hands the ciphertext TLS has made to the socket.
  bool PushCipher();
  uint8_t ProxyHandshake(uint32_t target, uint16_t port);
  void DeliverBody(const char* data, long count, uint16_t serial);
  // Bytes read past the answer whose piece the sink has just been handed,
  // |unused| of them at that piece's end.
  std::string BeyondAnswer(uint32_t unused) const;

  uint16_t serial_ = 1;
  bool header_complete_ = false;
  uint8_t state_ = kClosed;
  uint32_t header_fill_ = 0;
  // Empty lines dropped before this exchange's answer: they count towards
  // the header's cap, so that a server sending nothing else fails as soon.
  size_t blank_taken_ = 0;
  std::vector<char> header_;
  bool send_pending_ = false;
  uint32_t pending_length_ = 0;
  uint32_t pending_capacity_ = 0;
  std::unique_ptr<char[]> pending_;
  platform::TcpSocket socket_;
  IWEBSocketSink* sink_ = nullptr;
  uint8_t proxy_type_ = kNoProxy;
  ProxySettings proxy_;

  bool secure_ = false;
  std::string tls_host_;
  std::unique_ptr<platform::TlsSession> tls_;
  std::unique_ptr<char[]> cipher_;  // one read of ciphertext
  platform::TlsFailure tls_failure_ = platform::TlsFailure::kNone;
  // Decrypted bytes not handed on yet: plain_taken_ to plain_length_.
  std::unique_ptr<char[]> plain_;
  size_t plain_length_ = 0;
  size_t plain_taken_ = 0;
  // The last read filled its buffer: more may be waiting.
  bool more_waiting_ = false;
  // Bytes of the delivery under way not handed to the sink yet, and the
  // delivery itself while the sink reads a piece of it: from |delivery_|,
  // |delivery_end_| bytes, the piece ending at |piece_end_|.
  long undelivered_ = 0;
  const char* delivery_ = nullptr;
  long delivery_end_ = 0;
  long piece_end_ = 0;
  // While the sink reads a header: where the bytes read after it end in
  // the header buffer.
  uint32_t header_held_ = 0;
  // Reads are paused until the rate limiter says otherwise.
  bool waiting_budget_ = false;
};

// The status code after the first blank of a header; 0 without one.
int32_t ParseStatusCode(const char* header, uint32_t length);
