#include "net/download.h"

#include "net/connection_pool.h"
#include "net/secure_texts.h"
#include "net/url.h"
#include "platform/text.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

namespace {

// Heads of lines with a connection in use; all run on the loop's thread.
std::vector<CDownLoad*>& Heads() {
  static std::vector<CDownLoad*> heads;
  return heads;
}

// Servers (pool keys) that ended a connection with requests waiting on it.
std::set<std::string>& ServersWithoutPipelining() {
  static std::set<std::string> keys;
  return keys;
}

std::string PoolKey(const ParsedUrl& url, uint8_t proxy_type, const ProxySettings& proxy) {
  std::string key = platform::ToAnsi(url.scheme + L"://" + url.host) + ":" + std::to_string(url.port) + " " +
                    std::to_string(proxy_type);
  if (proxy_type != CWEBSocket::kNoProxy) {
    // The credentials too: a tunnel opened with one password is not
    // handed to a request that gives another.
    key += " " + platform::ToAnsi(proxy.host) + ":" + std::to_string(proxy.port) + " " +
           platform::ToAnsi(proxy.user) + " " + platform::ToAnsi(proxy.password);
  }
  return key;
}

}  // namespace

CDownLoad::CDownLoad() = default;

int CDownLoad::RequestsPerConnection(const std::wstring& url) {
  ParsedUrl parsed;
  if (!ParseUrl(url, &parsed)) return 1;
  return ServersWithoutPipelining().count(PoolKey(parsed, CWEBSocket::kNoProxy, ProxySettings())) ? 1
                                                                                                  : kPipelineDepth;
}

CDownLoad::~CDownLoad() {
  sink_ = nullptr;
  Reset();
}

bool CDownLoad::SetProxy(uint8_t type, const ProxySettings& settings) {
  if (type > CWEBSocket::kSocks5) return false;
  proxy_type_ = type;
  proxy_ = type == CWEBSocket::kNoProxy ? ProxySettings() : settings;
  return true;
}

bool CDownLoad::DownLoad(const std::wstring& url, IDownLoadSink* sink) {
  if (state_ != kIdle) return false;
  sink_ = sink;
  received_ = 0;
  redirects_ = 0;
  last_status_ = 0;
  failure_note_.clear();
  return StartRequest(url);
}

bool CDownLoad::StartRequest(const std::wstring& url) {
  ParsedUrl parsed;
  if (!ParseUrl(url, &parsed)) {
    Reset();
    return false;
  }
  secure_ = parsed.scheme == L"https";
  url_ = url;
  host_ = parsed.host;
  port_ = parsed.port;
  path_ = parsed.path;
  pool_key_ = PoolKey(parsed, proxy_type_, proxy_);
  std::unique_ptr<CWEBSocket> kept = SharedConnectionPool().Take(pool_key_);
  CDownLoad* line = kept ? nullptr : LineToJoin();
  if (kept) {
    SharedConnectionPool().Retire(std::move(socket_));
    socket_ = std::move(kept);
    socket_->SetSink(this);
    reused_ = true;
    Enlist();
  } else if (line) {
    JoinBehind(line);
  } else if (!Connect()) {
    Reset();
    return false;
  } else {
    Enlist();
  }
  state_ = kRequesting;
  ++run_;
  const uint64_t run = run_;
  if (sink_) sink_->OnDownLoadStatus(kDownLoadConnecting);
  if (run_ != run) return true;
  if (InLine()) {
    CDownLoad* head = LineHead();
    if (head->request_sent_ && head->SendsBehind()) head->SendBehind(this);
  } else if (reused_) {
    SendRequest();
  }
  return true;
}

bool CDownLoad::Connect() {
  reused_ = false;
  request_sent_ = false;
  for (CDownLoad* waiting = behind_; waiting; waiting = waiting->behind_) waiting->request_sent_ = false;
  SharedConnectionPool().Retire(std::move(socket_));
  socket_.reset(new CWEBSocket);
  socket_->SetSink(this);
  socket_->SetSecure(secure_);
  socket_->SetProxy(proxy_type_, proxy_);
  return socket_->Connect(host_, port_) == CWEBSocket::kConnectStarted;
}

std::string CDownLoad::RequestText() const {
  std::string host = platform::ToAnsi(host_);
  if (port_ != DefaultPort(secure_ ? L"https" : L"http")) host += ":" + std::to_string(port_);
  return "GET " + EncodeRequestTarget(path_) + " HTTP/1.1\r\nHost: " + host + "\r\n" + extra_headers_ + "\r\n";
}

void CDownLoad::SendRequest() {
  // The requests waiting behind go out with this one, in one piece: the
  // server reads them all at once.
  std::string request = RequestText();
  std::vector<CDownLoad*> sent;
  for (CDownLoad* waiting = SendsBehind() ? behind_ : nullptr; waiting; waiting = waiting->behind_) {
    if (waiting->request_sent_) continue;
    const std::string more = waiting->RequestText();
    if (request.size() + more.size() > 65535) break;
    request += more;
    sent.push_back(waiting);
  }
  const uint64_t run = run_;
  if (request.size() > 65535 || socket_->Send(request.data(), static_cast<uint16_t>(request.size())) == 0) {
    // A failed send has already reported through OnSocketClose, which may
    // have begun a retry.
    if (run_ == run && state_ != kIdle) Fail(kDownLoadFailed);
    return;
  }
  request_sent_ = true;
  for (CDownLoad* waiting : sent) waiting->request_sent_ = true;
  for (CDownLoad* waiting = behind_; waiting && run_ == run && socket_ && SendsBehind(); waiting = waiting->behind_) {
    if (!waiting->request_sent_) SendBehind(waiting);
  }
}

bool CDownLoad::SendsBehind() const { return !ServersWithoutPipelining().count(pool_key_); }

void CDownLoad::SendBehind(CDownLoad* waiting) {
  const std::string request = waiting->RequestText();
  waiting->request_sent_ = true;
  // A failed send closes the connection, which resends the line.
  if (request.size() <= 65535) socket_->Queue(request.data(), static_cast<uint16_t>(request.size()));
}

void CDownLoad::Reset() {
  expected_length_ = 0;
  received_ = 0;
  state_ = kIdle;
  head_.Clear();
  // A connection left mid-answer cannot carry another request.
  if (socket_) socket_->Close(CWEBSocket::kCloseSilent);
  length_known_ = false;
  chunked_ = false;
  decoder_ = ChunkedDecoder();
  ++run_;
  if (InLine()) {
    LeaveLine();
  } else {
    Delist();
    if (behind_) ResendLine();
  }
  request_sent_ = false;
  line_spoilt_ = false;
}

void CDownLoad::Complete(bool keep, uint32_t unused) {
  CDownLoad* next = behind_;
  if (keep && head_.keep_alive() && next && !line_spoilt_) {
    if (socket_->EndExchange(unused, true)) HandOver(next, std::move(socket_));
  } else if (keep && head_.keep_alive() && !next && !line_spoilt_ && socket_->EndExchange(unused, false)) {
    // Not when the line was spoilt: the answer to a request that left
    // after it was sent is still to come on it.
    SharedConnectionPool().Put(pool_key_, std::move(socket_));
  } else if (next && !head_.keep_alive() && !reused_) {
    // The server ends its connections after one answer: no request waits
    // on one again. One that ends them after many (a server's limit of
    // requests per connection) still takes requests in lines.
    ServersWithoutPipelining().insert(pool_key_);
  }
  Reset();
  if (sink_) sink_->OnDownLoadStatus(kDownLoadComplete);
}

void CDownLoad::Fail(int code) {
  Reset();
  if (sink_) sink_->OnDownLoadError(code);
}

CDownLoad* CDownLoad::LineHead() {
  CDownLoad* head = this;
  while (head->ahead_) head = head->ahead_;
  return head;
}

int CDownLoad::LineLength() const {
  int length = 1;
  for (const CDownLoad* waiting = behind_; waiting; waiting = waiting->behind_) ++length;
  return length;
}

bool CDownLoad::Joinable() const {
  if (!pipelining_ || line_spoilt_ || !socket_ || LineLength() >= kPipelineDepth) return false;
  // An answer that announced the connection's end takes no one behind it.
  return state_ == kRequesting || (state_ == kReceiving && head_.keep_alive());
}

CDownLoad* CDownLoad::LineToJoin() const {
  // A head that has requests behind it keeps its own connection.
  if (!pipelining_ || behind_ || ServersWithoutPipelining().count(pool_key_)) return nullptr;
  int lines = 0;
  CDownLoad* best = nullptr;
  for (CDownLoad* head : Heads()) {
    if (head->pool_key_ != pool_key_) continue;
    ++lines;
    if (head->Joinable() && (!best || head->LineLength() < best->LineLength())) best = head;
  }
  return lines >= kLinesPerServer ? best : nullptr;
}

void CDownLoad::JoinBehind(CDownLoad* head) {
  CDownLoad* last = head;
  while (last->behind_) last = last->behind_;
  last->behind_ = this;
  ahead_ = last;
  reused_ = true;
  request_sent_ = false;
}

void CDownLoad::HandOver(CDownLoad* next, std::unique_ptr<CWEBSocket> socket) {
  behind_ = nullptr;
  next->ahead_ = nullptr;
  SharedConnectionPool().Retire(std::move(next->socket_));
  next->socket_ = std::move(socket);
  next->socket_->SetSink(next);
  next->reused_ = true;
  next->Enlist();
  if (!next->request_sent_) next->SendRequest();
}

void CDownLoad::LeaveLine() {
  if (request_sent_) LineHead()->line_spoilt_ = true;
  ahead_->behind_ = behind_;
  if (behind_) behind_->ahead_ = ahead_;
  ahead_ = behind_ = nullptr;
}

void CDownLoad::ResendLine() {
  std::vector<CDownLoad*> waiting;
  for (CDownLoad* w = behind_; w; w = w->behind_) waiting.push_back(w);
  behind_ = nullptr;
  for (CDownLoad* w : waiting) {
    w->ahead_ = w->behind_ = nullptr;
    w->request_sent_ = false;
  }
  // The first goes ahead on a fresh connection, the others wait behind it
  // as before; to a server that does not keep connections they are sent
  // one at a time, each once the one ahead has ended, so that the line
  // never takes more connections than it had.
  CDownLoad* head = nullptr;
  for (CDownLoad* w : waiting) {
    if (head && head->Joinable()) {
      w->JoinBehind(head);
    } else {
      w->Reconnect();
      if (w->state_ != kIdle) head = w;
    }
  }
}

void CDownLoad::Reconnect() {
  ++run_;
  if (!Connect()) {
    Fail(kDownLoadConnectFailed);
    return;
  }
  Enlist();
}

void CDownLoad::Enlist() {
  std::vector<CDownLoad*>& heads = Heads();
  if (std::find(heads.begin(), heads.end(), this) == heads.end()) heads.push_back(this);
}

void CDownLoad::Delist() {
  std::vector<CDownLoad*>& heads = Heads();
  heads.erase(std::remove(heads.begin(), heads.end(), this), heads.end());
}

bool CDownLoad::OnSocketConnect(uint16_t error) {
  if (state_ != kRequesting) return true;
  if (error == CWEBSocket::kSecureRefused) {
    failure_note_ = platform::Format(texts::kSecureConnectFailed, host_.c_str(),
                                     texts::TlsFailureReason(socket_->tls_failure()));
  }
  if (error != 0) Fail(kDownLoadConnectFailed);
  else SendRequest();
  return true;
}

bool CDownLoad::OnSocketClose(uint8_t) {
  if (state_ == kRequesting && reused_ && !socket_->answered()) {
    // The server may close a kept connection just as a request goes out:
    // once, the request is sent again on a fresh one.
    ++run_;
    if (!Connect()) Fail(kDownLoadConnectFailed);
    return true;
  }
  if (state_ != kIdle) Fail(behind_ || line_spoilt_ ? kDownLoadLineBroken : kDownLoadFailed);
  return true;
}

bool CDownLoad::OnSocketHeader(const char* header, uint32_t length, int32_t status) {
  if (state_ != kRequesting) return true;
  if (reused_ && (length < 5 || memcmp(header, "HTTP/", 5) != 0 || status == 408)) {
    // Bytes an answer before sent past its length (a script's warning after
    // a file): the connection is out of step. Or the server timed the idle
    // connection out as the request went: it was never read. Once, the
    // request is sent again on a fresh connection.
    ++run_;
    if (!Connect()) Fail(kDownLoadConnectFailed);
    return true;
  }
  head_.Parse(header, length);
  last_status_ = status;
  if (status == 200 || status == 206) {
    if (!head_.chunked() && head_.length_invalid()) {
      Fail(kDownLoadFailed);  // a body that cannot be framed
      return true;
    }
    const uint64_t run = run_;
    state_ = kReceiving;
    status_code_ = status;
    received_ = 0;
    chunked_ = head_.chunked();
    length_known_ = !chunked_ && head_.content_length() >= 0;
    expected_length_ = length_known_ ? static_cast<uint64_t>(head_.content_length()) : 0;
    if (sink_) sink_->OnDownLoadStatus(kDownLoadAccepted);
    if (run_ != run) return true;
    if (sink_) sink_->OnDataInformation(expected_length_, head_.entity_tag(), path_);
    if (run_ != run) return true;
    if (length_known_ && expected_length_ == 0) Complete(true);
    return true;
  }
  if (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) {
    // Every redirect is followed with GET, the only method there is.
    std::wstring location = UrlFromBytes(head_.location());
    if (location.empty() || head_.location().size() >= 1024 || ++redirects_ > kMaxRedirects) {
      Fail(kDownLoadFailed);
      return true;
    }
    // A new connection even for a path on the same server: the redirect's
    // own body may still be on the old one.
    std::wstring target = ResolveReference(url_, location);
    ParsedUrl next;
    if (secure_ && (!ParseUrl(target, &next) || next.scheme != L"https")) {
      // The protection of a transfer is never lowered on a server's say-so.
      failure_note_ = platform::Format(texts::kInsecureRedirect, target.c_str());
      Fail(kDownLoadFailed);
      return true;
    }
    socket_->Close(CWEBSocket::kCloseSilent);
    // No line leads through the connection just closed; the requests
    // behind were sent on it.
    Delist();
    ResendLine();
    if (!StartRequest(target)) {
      Reset();
      if (sink_) sink_->OnDownLoadError(kDownLoadFailed);
    }
    return true;
  }
  Fail(kDownLoadFailed);
  return true;
}

void CDownLoad::Deliver(const char* data, uint32_t count) {
  received_ += count;
  if (sink_) sink_->OnDownLoadData(data, count);
}

bool CDownLoad::OnSocketData(const char* data, int32_t count) {
  if (state_ != kReceiving || count < 0) return true;
  const uint64_t run = run_;
  if (count == 0) {
    // The peer closed: the end of a body without a length, else a break.
    if (!length_known_ && !chunked_) Complete(false);
    else Fail(behind_ || line_spoilt_ ? kDownLoadLineBroken : kDownLoadFailed);
    return true;
  }
  if (chunked_) {
    decoded_.clear();
    size_t used = 0;
    ChunkedDecoder::Result result =
        decoder_.Feed(data, static_cast<size_t>(count), &decoded_, &used);
    if (result == ChunkedDecoder::kFailed) {
      Fail(kDownLoadFailed);
      return true;
    }
    if (!decoded_.empty()) Deliver(decoded_.data(), static_cast<uint32_t>(decoded_.size()));
    // Bytes after the last chunk belong to no request: the connection goes.
    if (run_ == run && result == ChunkedDecoder::kDone) Complete(true, static_cast<uint32_t>(count - used));
    return true;
  }
  uint32_t take = static_cast<uint32_t>(count);
  if (length_known_ && expected_length_ - received_ < take) {
    take = static_cast<uint32_t>(expected_length_ - received_);  // never past the length
  }
  Deliver(data, take);
  if (run_ == run && length_known_ && received_ == expected_length_) {
    Complete(true, static_cast<uint32_t>(count) - take);
  }
  return true;
}
