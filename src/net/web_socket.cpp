#include "net/web_socket.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "net/head_translate.h"
#include "net/request_headers.h"
#include "platform/text.h"

namespace {

// One receive takes up to this much from the socket; the sink still gets
// pieces of at most kMaxDelivery. Fewer, larger reads keep a single thread
// from spending its time in the kernel.
constexpr size_t kReceiveChunk = 64 * 1024;
// At most this much is taken per read event, so other connections get turns.
constexpr size_t kReceiveBudget = 1024 * 1024;
// Most headers fit in the first allocation.
constexpr size_t kInitialHeader = 1024;
// Room for all that TLS can decrypt after one receive: the receive and a
// record begun by the one before.
constexpr size_t kPlainBuffer = kReceiveChunk + 32 * 1024;

std::string Narrow(const wchar_t* text) { return platform::ToAnsi(text); }

}  // namespace

int32_t ParseStatusCode(const char* header, uint32_t length) {
  const char* space = static_cast<const char*>(memchr(header, ' ', length));
  if (!space) return 0;
  char digits[16] = {};
  size_t take = std::min<size_t>(15, header + length - space);
  memcpy(digits, space, take);
  return static_cast<int32_t>(strtol(digits, nullptr, 10));
}

CWEBSocket::CWEBSocket() = default;

CWEBSocket::~CWEBSocket() {
  sink_ = nullptr;
  if (waiting_budget_) SharedRateLimiter().Forget(this);
  socket_.Close();
}

bool CWEBSocket::SetProxy(uint8_t type, const ProxySettings& settings) {
  if (type > kSocks5) return false;
  proxy_type_ = type;
  proxy_ = type == kNoProxy ? ProxySettings() : settings;
  return true;
}

uint8_t CWEBSocket::Connect(const std::wstring& host, uint16_t port) {
  header_fill_ = 0;
  blank_taken_ = 0;
  tls_failure_ = platform::TlsFailure::kNone;
  tls_host_ = platform::ToAnsi(host);
  uint32_t address = 0xFFFFFFFFu;
  platform::ResolveIpv4(platform::ToAnsi(host), &address);
  if (!socket_.Open()) {
    Close(kCloseSilent);
    return kConnectFailed;
  }
  // Under a cap, a window of the usual size would let the line carry a few
  // MiB per connection at full speed before paused reads tell. A sixteenth
  // of a second of the cap (the kernel allows twice that) still lets five
  // ranges reach the cap over a round trip of 400 ms.
  const RateLimiter& limiter = SharedRateLimiter();
  if (limiter.limited()) socket_.LimitReceiveBuffer(std::max<uint64_t>(16 * 1024, limiter.rate() / 16));
  if (proxy_type_ == kNoProxy) {
    if (!socket_.ConnectAsync(address, port, this)) {
      Close(kCloseSilent);
      return kConnectFailed;
    }
    state_ = kConnecting;
    return kConnectStarted;
  }
  if (ProxyHandshake(address, port) != kConnectStarted) {
    Close(kCloseSilent);
    return kConnectFailed;
  }
  // Through the tunnel, TLS begins with the posted connect event.
  state_ = secure_ ? kConnecting : kConnected;
  socket_.StartEvents(this);
  return kConnectStarted;
}

uint8_t CWEBSocket::ProxyHandshake(uint32_t target, uint16_t port) {
  uint32_t proxy_address = 0xFFFFFFFFu;
  platform::ResolveIpv4(Narrow(proxy_.host), &proxy_address);
  if (!socket_.ConnectBlocking(proxy_address, proxy_.port)) return kProxyFailed;
  unsigned char reply[512];
  const auto* ip = reinterpret_cast<const unsigned char*>(&target);  // network order
  if (proxy_type_ == kSocks5) {
    std::string user = Narrow(proxy_.user), password = Narrow(proxy_.password);
    unsigned char hello[3] = {5, 1, static_cast<unsigned char>(user.empty() ? 0 : 2)};
    if (!socket_.SendAllBlocking(hello, 3) || !socket_.RecvExactBlocking(reply, 2)) return kProxyFailed;
    if (reply[0] != 5 || (reply[1] != 0 && reply[1] != 2)) return kProxyFailed;
    if (reply[1] == 2) {
      if (user.size() > 255 || password.size() > 255) return kProxyAuthRefused;
      std::string auth(1, '\x01');
      auth += static_cast<char>(user.size());
      auth += user;
      auth += static_cast<char>(password.size());
      auth += password;
      if (!socket_.SendAllBlocking(auth.data(), auth.size()) ||
          !socket_.RecvExactBlocking(reply, 2)) {
        return kProxyFailed;
      }
      if (reply[0] != 1 || reply[1] != 0) return kProxyAuthRefused;
    }
  }
  if (proxy_type_ == kHttpConnect) {
    char request[512];
    int n = snprintf(request, sizeof(request),
                     "CONNECT %d.%d.%d.%d:%d HTTP/1.1\r\nUser-Agent: %s\r\n\r\n", ip[0],
                     ip[1], ip[2], ip[3], port, kUserAgent);
    if (!socket_.SendAllBlocking(request, static_cast<size_t>(n))) return kProxyFailed;
    long got = socket_.RecvSomeBlocking(reply, sizeof(reply));
    if (got < 4) return kProxyFailed;
    for (long i = 0; i + 4 <= got; ++i) {
      if (memcmp(reply + i, " 200", 4) == 0) return kConnectStarted;
    }
    return kProxyFailed;
  }
  if (proxy_type_ == kSocks4) {
    unsigned char request[9] = {4, 1, static_cast<unsigned char>(port >> 8),
                                static_cast<unsigned char>(port), ip[0], ip[1], ip[2], ip[3], 0};
    if (!socket_.SendAllBlocking(request, 9) || !socket_.RecvExactBlocking(reply, 8)) return kProxyFailed;
    return reply[0] == 0 && reply[1] == 0x5A ? kConnectStarted : kProxyFailed;
  }
  unsigned char request[10] = {5, 1, 0, 1, ip[0], ip[1], ip[2], ip[3],
                               static_cast<unsigned char>(port >> 8), static_cast<unsigned char>(port)};
  if (!socket_.SendAllBlocking(request, 10) || !socket_.RecvExactBlocking(reply, 4)) return kProxyFailed;
  if (reply[0] != 5 || reply[1] != 0) return kProxyFailed;
  // The bound address follows; its size depends on its type.
  size_t rest = reply[3] == 1 ? 6 : reply[3] == 4 ? 18 : 0;
  if (reply[3] == 3) {
    if (!socket_.RecvExactBlocking(reply, 1)) return kProxyFailed;
    rest = reply[0] + 2u;
  }
  if (rest == 0) return kProxyFailed;
  return socket_.RecvExactBlocking(reply, rest) ? kConnectStarted : kProxyFailed;
}

uint16_t CWEBSocket::Send(const char* data, uint16_t length) {
  if (length == 0 || !data || !socket_.IsOpen() || state_ != kConnected) return 0;
  header_fill_ = 0;
  blank_taken_ = 0;
  header_complete_ = false;
  ++serial_;
  // What is left of an earlier response is no part of the next one.
  plain_length_ = plain_taken_ = 0;
  return Queue(data, length);
}

uint16_t CWEBSocket::Queue(const char* data, uint16_t length) {
  if (length == 0 || !data || !socket_.IsOpen() || state_ != kConnected) return 0;
  if (!tls_) return SendRaw(data, length) ? length : 0;
  if (!tls_->Write(data, length)) {
    Close(kCloseFailed);
    return 0;
  }
  return PushCipher() ? length : 0;
}

bool CWEBSocket::SendRaw(const char* data, uint32_t length) {
  uint32_t sent = 0;
  if (!send_pending_) {
    while (sent < length) {
      long n = socket_.Send(data + sent, length - sent);
      if (n < 0) {
        if (socket_.LastError() != platform::kWsaWouldBlock) {
          Close(kCloseFailed);
          return false;
        }
        break;
      }
      sent += static_cast<uint32_t>(n);
    }
  }
  if (sent < length) {
    if (!AppendPending(data + sent, length - sent)) return false;
    socket_.WantWrite();
  }
  return true;
}

bool CWEBSocket::PushCipher() {
  char buffer[16 * 1024];
  size_t n;
  while (tls_ && (n = tls_->TakeOutgoing(buffer, sizeof(buffer))) > 0) {
    if (!SendRaw(buffer, static_cast<uint32_t>(n))) return false;
  }
  return true;
}

void CWEBSocket::StartTls() {
  tls_ = platform::StartTlsSession(tls_host_);
  if (tls_->failure() != platform::TlsFailure::kNone) {
    RefuseTls(tls_->failure());
    return;
  }
  PushCipher();
}

void CWEBSocket::ContinueHandshake() {
  char buffer[16 * 1024];
  long n = socket_.Recv(buffer, sizeof(buffer));
  if (n < 0 && socket_.LastError() == platform::kWsaWouldBlock) return;
  if (n <= 0) {
    RefuseTls(platform::TlsFailure::kHandshake);  // the server broke off
    return;
  }
  if (!tls_->Received(buffer, static_cast<size_t>(n))) {
    RefuseTls(tls_->failure());
    return;
  }
  const uint16_t serial = serial_;
  if (!PushCipher() || serial_ != serial || !tls_->Established()) return;
  state_ = kConnected;
  if (sink_) sink_->OnSocketConnect(0);
}

void CWEBSocket::RefuseTls(platform::TlsFailure failure) {
  tls_failure_ = failure;
  Close(kCloseSilent);
  if (sink_) sink_->OnSocketConnect(kSecureRefused);
}

long CWEBSocket::ReadStream(char* data, size_t size, bool* would_block) {
  *would_block = false;
  if (!tls_) {
    long n = socket_.Recv(data, size);
    more_waiting_ = n > 0 && static_cast<size_t>(n) == size;
    *would_block = n < 0 && socket_.LastError() == platform::kWsaWouldBlock;
    return n;
  }
  if (!cipher_) {
    cipher_.reset(new char[kReceiveChunk]);
    plain_.reset(new char[kPlainBuffer]);
  }
  bool socket_drained = false;
  while (!Buffered()) {
    // Decrypted bytes may still wait in the session from an earlier read.
    plain_length_ = plain_taken_ = 0;
    size_t got;
    while (plain_length_ < kPlainBuffer &&
           (got = tls_->Read(plain_.get() + plain_length_, kPlainBuffer - plain_length_)) > 0) {
      plain_length_ += got;
    }
    if (plain_length_ == kPlainBuffer) more_waiting_ = true;
    if (tls_->failure() != platform::TlsFailure::kNone) return -1;
    const uint16_t serial = serial_;
    if (!PushCipher() || serial_ != serial) return -1;
    if (Buffered()) break;
    if (tls_->PeerClosed()) return 0;
    if (socket_drained) {
      *would_block = true;
      return -1;
    }
    long n = socket_.Recv(cipher_.get(), kReceiveChunk);
    if (n < 0) {
      *would_block = socket_.LastError() == platform::kWsaWouldBlock;
      return -1;
    }
    // A close without TLS's own end may have cut the stream short.
    if (n == 0 || !tls_->Received(cipher_.get(), static_cast<size_t>(n))) return -1;
    more_waiting_ = static_cast<size_t>(n) == kReceiveChunk;
    socket_drained = !more_waiting_;
  }
  size_t n = std::min(size, plain_length_ - plain_taken_);
  memcpy(data, plain_.get() + plain_taken_, n);
  plain_taken_ += n;
  return static_cast<long>(n);
}

bool CWEBSocket::AppendPending(const char* data, uint32_t length) {
  if (pending_length_ + length > pending_capacity_) {
    uint32_t capacity = std::max(pending_length_ + length, pending_capacity_ * 2);
    std::unique_ptr<char[]> grown(new (std::nothrow) char[capacity]);
    if (!grown) {
      Close(kCloseFailed);
      return false;
    }
    if (pending_length_) memcpy(grown.get(), pending_.get(), pending_length_);
    pending_ = std::move(grown);
    pending_capacity_ = capacity;
  }
  memcpy(pending_.get() + pending_length_, data, length);
  pending_length_ += length;
  send_pending_ = true;
  return true;
}

void CWEBSocket::Flush() {
  if (!send_pending_ || pending_length_ == 0) return;
  uint32_t sent = 0;
  while (sent < pending_length_) {
    long n = socket_.Send(pending_.get() + sent, std::min<uint32_t>(4096, pending_length_ - sent));
    if (n < 0) {
      if (socket_.LastError() != platform::kWsaWouldBlock) {
        Close(kCloseFailed);
        return;
      }
      memmove(pending_.get(), pending_.get() + sent, pending_length_ - sent);
      pending_length_ -= sent;
      send_pending_ = pending_length_ > 0;
      socket_.WantWrite();
      return;
    }
    sent += static_cast<uint32_t>(n);
  }
  pending_length_ = 0;
  send_pending_ = false;
}

void CWEBSocket::OnSocketEvent(int event, int error) {
  switch (event) {
    case platform::kFdRead:
      if (tls_ && !tls_->Established()) ContinueHandshake();
      else Receive();
      break;
    case platform::kFdWrite:
      Flush();
      break;
    case platform::kFdConnect:
      if (error == 0 && secure_) {
        StartTls();  // the sink hears of the connection once TLS stands
        break;
      }
      if (error == 0) state_ = kConnected;
      else Close(kCloseSilent);
      if (sink_) sink_->OnSocketConnect(static_cast<uint16_t>(error));
      break;
    default:
      break;
  }
}

void CWEBSocket::DeliverBody(const char* data, long count, uint16_t serial) {
  delivery_ = data;
  delivery_end_ = count;
  for (long done = 0; done < count && serial_ == serial && sink_;) {
    int32_t piece = static_cast<int32_t>(std::min<long>(kMaxDelivery, count - done));
    undelivered_ = count - done - piece;
    piece_end_ = done + piece;
    sink_->OnSocketData(data + done, piece);
    done += piece;
  }
  undelivered_ = 0;
  delivery_ = nullptr;
}

std::string CWEBSocket::BeyondAnswer(uint32_t unused) const {
  if (delivery_) {
    const long from = std::max<long>(0, piece_end_ - static_cast<long>(unused));
    return std::string(delivery_ + from, delivery_ + delivery_end_);
  }
  // An answer that ended with its header (no body).
  if (header_complete_ && header_held_ > header_fill_) {
    return std::string(header_.data() + header_fill_, header_.data() + header_held_);
  }
  return std::string();
}

bool CWEBSocket::EndExchange(uint32_t unused, bool carry) {
  const std::string beyond = BeyondAnswer(unused);
  ++serial_;
  header_complete_ = false;
  header_fill_ = 0;
  blank_taken_ = 0;
  header_held_ = 0;
  const bool open = state_ == kConnected && socket_.IsOpen();
  if (!carry) return open && !send_pending_ && beyond.empty() && !Buffered();
  if (!open) return false;
  // What came after the answer begins the next one: it is read as a header
  // from the loop, as if it had just arrived.
  if (header_.size() < beyond.size()) header_.resize(beyond.size());
  if (!beyond.empty()) memcpy(header_.data(), beyond.data(), beyond.size());
  header_fill_ = static_cast<uint32_t>(beyond.size());
  if (!waiting_budget_) {
    socket_.PauseReads();
    socket_.ResumeReads();
  }
  return true;
}

int32_t CWEBSocket::TakeInterimResponses() {
  for (;;) {
    // Empty lines before a status line are line ends some servers send
    // past the length of the answer before; they begin no answer.
    uint32_t blank = 0;
    while (blank < header_fill_) {
      if (header_[blank] == '\n') ++blank;
      else if (header_[blank] == '\r' && blank + 1 < header_fill_ && header_[blank + 1] == '\n') blank += 2;
      else break;
    }
    if (blank > 0) {
      blank_taken_ += blank;
      if (blank_taken_ > kMaxHeader) return kHeaderMalformed;
      header_fill_ -= blank;
      memmove(header_.data(), header_.data() + blank, header_fill_);
    }
    const int32_t end = FindHeaderEnd(header_.data(), header_fill_);
    if (end <= 0) return end;
    const int32_t status = ParseStatusCode(header_.data(), static_cast<uint32_t>(end));
    // 100 Continue, 103 Early Hints and the like precede the response
    // proper; a client skips any number of them.
    if (status < 100 || status > 199 || status == 101) return end;
    header_fill_ -= static_cast<uint32_t>(end);
    memmove(header_.data(), header_.data() + end, header_fill_);
  }
}

bool CWEBSocket::GrowHeader() {
  if (header_fill_ < header_.size()) return true;
  if (header_.size() >= kMaxHeader) return false;
  header_.resize(std::min<size_t>(kMaxHeader, std::max(kInitialHeader, header_.size() * 2)));
  return true;
}

void CWEBSocket::WaitForBudget() {
  if (!socket_.IsOpen() || waiting_budget_) return;
  socket_.PauseReads();
  waiting_budget_ = true;
  SharedRateLimiter().Wait(this);
}

void CWEBSocket::OnBudget() {
  waiting_budget_ = false;
  socket_.ResumeReads();
}

void CWEBSocket::Receive() {
  const uint16_t serial = serial_;
  RateLimiter& limiter = SharedRateLimiter();
  const bool capped = limiter.limited();
  if (capped && limiter.Allowance(1) == 0) {
    WaitForBudget();
    return;
  }
  if (!header_complete_) {
    // The buffer may already hold the start of this answer, read with the
    // end of the one before it.
    int32_t end = header_fill_ > 0 ? TakeInterimResponses() : kHeaderIncomplete;
    while (end == kHeaderIncomplete) {
      if (!GrowHeader()) {
        Close(kCloseFailed);  // a header that does not fit is never going to end
        return;
      }
      bool would_block = false;
      long n = ReadStream(header_.data() + header_fill_, header_.size() - header_fill_, &would_block);
      if (would_block) return;
      if (n <= 0) {
        Close(kCloseFailed);  // failed, or closed before the header was complete
        return;
      }
      limiter.Took(static_cast<uint64_t>(n));
      header_fill_ += static_cast<uint32_t>(n);
      end = TakeInterimResponses();
      // Decrypted bytes held in memory bring no read event of their own.
      if (end == kHeaderIncomplete && !Buffered()) return;
    }
    if (end == kHeaderMalformed) {
      Close(kCloseFailed);  // a CR that does not end a line
      return;
    }
    header_complete_ = true;
    const uint32_t held = header_fill_;
    header_fill_ = static_cast<uint32_t>(end);
    header_held_ = held;
    if (sink_) {
      sink_->OnSocketHeader(header_.data(), header_fill_, ParseStatusCode(header_.data(), header_fill_));
    }
    if (serial_ == serial) header_held_ = 0;
    if (held > header_fill_ && serial_ == serial && sink_) {
      // The body's start came in the same read as the header; copied, as
      // the sink may reuse the header buffer by starting a new request.
      const std::vector<char> rest(header_.begin() + header_fill_, header_.begin() + held);
      DeliverBody(rest.data(), static_cast<long>(rest.size()), serial);
    }
    // Decrypted bytes held in memory bring no read event of their own.
    if (serial_ != serial || !Buffered()) return;
  }
  // Drains what is there, up to a bound, so one loop pass moves many bytes.
  char buffer[kReceiveChunk];
  for (size_t total = 0; (total < kReceiveBudget || Buffered()) && serial_ == serial;) {
    size_t want = sizeof(buffer);
    if (capped && (want = static_cast<size_t>(limiter.Allowance(want))) == 0) {
      WaitForBudget();
      return;
    }
    bool would_block = false;
    long n = ReadStream(buffer, want, &would_block);
    if (n < 0) {
      if (!would_block) Close(kCloseFailed);
      return;
    }
    if (n == 0) {
      if (sink_) sink_->OnSocketData(buffer, 0);
      // A closed peer stays readable; an owner that did not end the
      // connection on it would be told again and again.
      if (serial_ == serial) Close(kCloseFailed);
      return;
    }
    limiter.Took(static_cast<uint64_t>(n));
    DeliverBody(buffer, n, serial);
    total += static_cast<size_t>(n);
    if (!more_waiting_ && !Buffered()) return;  // nothing more waiting
    // Under a cap one read per turn: the other connections' turns come
    // between, in the order they waited.
    if (capped) {
      if (serial_ == serial) WaitForBudget();
      return;
    }
  }
}

void CWEBSocket::Close(uint8_t reason) {
  if (waiting_budget_) SharedRateLimiter().Forget(this);
  waiting_budget_ = false;
  pending_.reset();
  pending_length_ = pending_capacity_ = 0;
  send_pending_ = false;
  header_complete_ = false;
  state_ = kClosed;
  ++serial_;
  tls_.reset();
  cipher_.reset();
  plain_.reset();
  plain_length_ = plain_taken_ = 0;
  more_waiting_ = false;
  if (socket_.IsOpen()) {
    socket_.Close();
    if (reason != 0 && sink_) sink_->OnSocketClose(reason);
  }
}
