#include "platform/socket_events.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

namespace platform {
namespace {

constexpr int kBlockingTimeoutSeconds = 30;

std::map<uint64_t, TcpSocket*>& LiveSockets() {
  static auto* live = new std::map<uint64_t, TcpSocket*>;  // lives as long as the process
  return *live;
}

uint64_t NextId() {
  static uint64_t next = 1;
  return next++;
}

int WsaError(int err) {
  switch (err) {
    case EAGAIN: return kWsaWouldBlock;
    case EINPROGRESS: return 10036;
    case ECONNREFUSED: return kWsaConnRefused;
    case ETIMEDOUT: return 10060;
    case ENETUNREACH: return 10051;
    case EHOSTUNREACH: return 10065;
    case ECONNRESET: return 10054;
    case ECONNABORTED: return 10053;
    case EPIPE: return 10058;
    default: return 10000 + err;
  }
}

sockaddr_in Target(uint32_t address, uint16_t port) {
  sockaddr_in sa {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = address;
  return sa;
}

}  // namespace

struct SocketDispatch {
  static gboolean OnFd(gint, GIOCondition condition, gpointer data) {
    auto it = LiveSockets().find(reinterpret_cast<uintptr_t>(data));
    if (it != LiveSockets().end()) it->second->Dispatch(condition);
    return G_SOURCE_CONTINUE;
  }
  static gboolean OnConnected(gpointer data) {
    auto it = LiveSockets().find(reinterpret_cast<uintptr_t>(data));
    if (it == LiveSockets().end()) return G_SOURCE_REMOVE;
    TcpSocket* s = it->second;
    Forget(&s->connected_source_);
    if (s->sink_) s->sink_->OnSocketEvent(kFdConnect, 0);
    return G_SOURCE_REMOVE;
  }
  static gboolean OnResumed(gpointer data) {
    auto it = LiveSockets().find(reinterpret_cast<uintptr_t>(data));
    if (it == LiveSockets().end()) return G_SOURCE_REMOVE;
    TcpSocket* s = it->second;
    Forget(&s->resumed_source_);
    if (s->sink_ && !s->reads_paused_) s->sink_->OnSocketEvent(kFdRead, 0);
    return G_SOURCE_REMOVE;
  }
  // A one-off source that is running: it goes once it returns.
  static void Forget(void** source) {
    g_source_unref(static_cast<GSource*>(*source));
    *source = nullptr;
  }
  static void DropSource(void** source) {
    if (!*source) return;
    g_source_destroy(static_cast<GSource*>(*source));
    g_source_unref(static_cast<GSource*>(*source));
    *source = nullptr;
  }
};

bool ResolveIpv4(const std::string& host, uint32_t* address) {
  in_addr a;
  if (inet_pton(AF_INET, host.c_str(), &a) == 1) {
    *address = a.s_addr;
    return true;
  }
  addrinfo hints {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list) return false;
  *address = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(list);
  return true;
}

TcpSocket::TcpSocket() = default;

TcpSocket::~TcpSocket() { Close(); }

bool TcpSocket::Open() {
  Close();
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd_ < 0) {
    last_error_ = WsaError(errno);
    return false;
  }
  id_ = NextId();
  LiveSockets()[id_] = this;
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return true;
}

bool TcpSocket::ConnectAsync(uint32_t address, uint16_t port, SocketEventSink* sink) {
  if (fd_ < 0) return false;
  sink_ = sink;
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  sockaddr_in sa = Target(address, port);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 && errno != EINPROGRESS) {
    last_error_ = WsaError(errno);
    return false;
  }
  connecting_ = true;
  Watch(true);
  return true;
}

bool TcpSocket::ConnectBlocking(uint32_t address, uint16_t port) {
  if (fd_ < 0) return false;
  timeval tv {kBlockingTimeoutSeconds, 0};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  sockaddr_in sa = Target(address, port);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    last_error_ = WsaError(errno);
    return false;
  }
  return true;
}

bool TcpSocket::SendAllBlocking(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = send(fd_, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

long TcpSocket::RecvSomeBlocking(void* data, size_t size) {
  for (;;) {
    ssize_t n = recv(fd_, data, size, 0);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

void TcpSocket::StartEvents(SocketEventSink* sink) {
  sink_ = sink;
  timeval none {0, 0};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof(none));
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof(none));
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  GSource* idle = g_idle_source_new();
  g_source_set_callback(idle, SocketDispatch::OnConnected, reinterpret_cast<gpointer>(id_), nullptr);
  g_source_attach(idle, nullptr);
  connected_source_ = idle;
  Watch(false);
}

long TcpSocket::Send(const void* data, size_t size) {
  for (;;) {
    ssize_t n = send(fd_, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) last_error_ = WsaError(errno);
    return static_cast<long>(n);
  }
}

long TcpSocket::Recv(void* data, size_t size) {
  for (;;) {
    ssize_t n = recv(fd_, data, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) last_error_ = WsaError(errno);
    return static_cast<long>(n);
  }
}

void TcpSocket::WantWrite() {
  if (fd_ < 0 || want_write_ || connecting_) return;
  Watch(true);
}

void TcpSocket::PauseReads() {
  if (fd_ < 0 || reads_paused_) return;
  reads_paused_ = true;
  SocketDispatch::DropSource(&resumed_source_);
  if (!connecting_) Watch(want_write_);
}

void TcpSocket::ResumeReads() {
  if (fd_ < 0 || !reads_paused_) return;
  reads_paused_ = false;
  if (!connecting_) Watch(want_write_);
  if (resumed_source_) return;
  GSource* idle = g_idle_source_new();
  // As soon as a socket's own event would come, not after everything else.
  g_source_set_priority(idle, G_PRIORITY_DEFAULT);
  g_source_set_callback(idle, SocketDispatch::OnResumed, reinterpret_cast<gpointer>(id_), nullptr);
  g_source_attach(idle, nullptr);
  resumed_source_ = idle;
}

void TcpSocket::Watch(bool want_write) {
  Unwatch();
  want_write_ = want_write;
  unsigned condition = (reads_paused_ ? 0 : G_IO_IN | G_IO_HUP | G_IO_ERR) | (want_write ? G_IO_OUT : 0);
  if (connecting_) condition = G_IO_OUT | G_IO_HUP | G_IO_ERR;
  // Paused and nothing to write: nothing to watch.
  if (condition == 0) return;
  GSource* source = g_unix_fd_source_new(fd_, static_cast<GIOCondition>(condition));
  g_source_set_callback(source, reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(SocketDispatch::OnFd)),
                        reinterpret_cast<gpointer>(id_), nullptr);
  g_source_attach(source, nullptr);
  source_ = source;
}

void TcpSocket::Unwatch() { SocketDispatch::DropSource(&source_); }

void TcpSocket::Dispatch(unsigned condition) {
  const uint64_t id = id_;
  auto still_open = [&] { return fd_ >= 0 && id_ == id; };
  if (connecting_) {
    int err = 0;
    socklen_t len = sizeof(err);
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
    connecting_ = false;
    Watch(false);
    if (sink_) sink_->OnSocketEvent(kFdConnect, err ? WsaError(err) : 0);
    return;
  }
  if ((condition & G_IO_OUT) && want_write_) {
    Watch(false);  // one report per would-block, as the platform does
    if (sink_) sink_->OnSocketEvent(kFdWrite, 0);
    if (!still_open()) return;
  } else if (reads_paused_) {
    // poll reports a hang-up whether asked or not: stop watching until
    // reads resume, or the loop would spin on it.
    Unwatch();
    return;
  }
  if (reads_paused_) return;
  if (condition & (G_IO_IN | G_IO_HUP | G_IO_ERR)) {
    if (sink_) sink_->OnSocketEvent(kFdRead, 0);
  }
}

void TcpSocket::Close() {
  Unwatch();
  SocketDispatch::DropSource(&connected_source_);
  SocketDispatch::DropSource(&resumed_source_);
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  LiveSockets().erase(id_);
  id_ = 0;
  connecting_ = false;
  want_write_ = false;
  reads_paused_ = false;
  sink_ = nullptr;
}

}  // namespace platform
