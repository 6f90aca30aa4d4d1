#include "platform/socket_events.h"

#include <map>

#include "platform/win32/windows_min.h"

namespace platform {
namespace {

// Socket notifications arrive at each socket's own hidden window.
constexpr UINT kSocketMessage = WM_USER + 100;
constexpr DWORD kBlockingTimeoutMs = 30000;

std::map<HWND, TcpSocket*>& Sockets() {
  static auto* sockets = new std::map<HWND, TcpSocket*>;
  return *sockets;
}

SOCKET S(int fd) { return static_cast<SOCKET>(static_cast<unsigned>(fd)); }

}  // namespace

struct SocketDispatch {
  static LRESULT CALLBACK Proc(HWND window, UINT msg, WPARAM wparam, LPARAM lparam) {
    if (msg != kSocketMessage) return DefWindowProcW(window, msg, wparam, lparam);
    auto it = Sockets().find(window);
    if (it != Sockets().end()) it->second->Dispatch(static_cast<unsigned>(lparam));
    return 0;
  }
};

bool ResolveIpv4(const std::string& host, uint32_t* address) {
  unsigned long a = inet_addr(host.c_str());
  if (a != INADDR_NONE) {
    *address = a;
    return true;
  }
  hostent* h = gethostbyname(host.c_str());
  if (!h || !h->h_addr_list[0]) return false;
  memcpy(address, h->h_addr_list[0], 4);
  return true;
}

TcpSocket::TcpSocket() = default;

TcpSocket::~TcpSocket() { Close(); }

bool TcpSocket::Open() {
  Close();
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    last_error_ = WSAGetLastError();
    return false;
  }
  fd_ = static_cast<int>(s);
  static bool registered = false;
  if (!registered) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = SocketDispatch::Proc;
    wc.hInstance = win32::Instance();
    wc.lpszClassName = L"UpdaterSocketWindow";
    RegisterClassW(&wc);
    registered = true;
  }
  HWND window = CreateWindowExW(0, L"UpdaterSocketWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                win32::Instance(), nullptr);
  source_ = window;
  Sockets()[window] = this;
  return true;
}

bool TcpSocket::ConnectAsync(uint32_t address, uint16_t port, SocketEventSink* sink) {
  if (fd_ < 0) return false;
  sink_ = sink;
  WSAAsyncSelect(S(fd_), static_cast<HWND>(source_), kSocketMessage, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = address;
  if (connect(S(fd_), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 && WSAGetLastError() != WSAEWOULDBLOCK) {
    last_error_ = WSAGetLastError();
    return false;
  }
  connecting_ = true;
  return true;
}

bool TcpSocket::ConnectBlocking(uint32_t address, uint16_t port) {
  if (fd_ < 0) return false;
  DWORD timeout = kBlockingTimeoutMs;
  setsockopt(S(fd_), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
  setsockopt(S(fd_), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = address;
  return connect(S(fd_), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
}

bool TcpSocket::SendAllBlocking(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    int n = send(S(fd_), p, static_cast<int>(size), 0);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

long TcpSocket::RecvSomeBlocking(void* data, size_t size) {
  return recv(S(fd_), static_cast<char*>(data), static_cast<int>(size), 0);
}

void TcpSocket::StartEvents(SocketEventSink* sink) {
  sink_ = sink;
  // The tunnel stands: the owner hears of it from the loop, as of a direct
  // connection.
  PostMessageW(static_cast<HWND>(source_), kSocketMessage, 0, FD_CONNECT);
  WSAAsyncSelect(S(fd_), static_cast<HWND>(source_), kSocketMessage, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
}

long TcpSocket::Send(const void* data, size_t size) {
  int n = send(S(fd_), static_cast<const char*>(data), static_cast<int>(size), 0);
  if (n == SOCKET_ERROR) {
    last_error_ = WSAGetLastError();
    return -1;
  }
  return n;
}

long TcpSocket::Recv(void* data, size_t size) {
  int n = recv(S(fd_), static_cast<char*>(data), static_cast<int>(size), 0);
  if (n == SOCKET_ERROR) {
    last_error_ = WSAGetLastError();
    return -1;
  }
  return n;
}

// Windows Sockets reports write readiness again by itself after a send
// that would have blocked.
void TcpSocket::WantWrite() {}

// Windows Sockets posts FD_READ again only after a recv: a notification
// that arrives while paused is dropped unread, and resuming posts one.
void TcpSocket::PauseReads() {
  if (fd_ >= 0) reads_paused_ = true;
}

void TcpSocket::ResumeReads() {
  if (fd_ < 0 || !reads_paused_) return;
  reads_paused_ = false;
  // A close is reported once: one that may have been dropped comes again.
  PostMessageW(static_cast<HWND>(source_), kSocketMessage, 0, peer_closed_ ? FD_CLOSE : FD_READ);
}

void TcpSocket::Watch(bool) {}
void TcpSocket::Unwatch() {}

void TcpSocket::Dispatch(unsigned lparam) {
  const int event = WSAGETSELECTEVENT(lparam);
  const int error = WSAGETSELECTERROR(lparam);
  if (!sink_) return;
  switch (event) {
    case FD_CONNECT:
      connecting_ = false;
      sink_->OnSocketEvent(kFdConnect, error);
      break;
    case FD_READ:
    // A close shows as a read that finds the end of the stream.
    case FD_CLOSE:
      if (event == FD_CLOSE) peer_closed_ = true;
      if (!reads_paused_) sink_->OnSocketEvent(kFdRead, 0);
      break;
    case FD_WRITE:
      sink_->OnSocketEvent(kFdWrite, 0);
      break;
    default:
      break;
  }
}

void TcpSocket::Close() {
  if (source_) {
    Sockets().erase(static_cast<HWND>(source_));
    DestroyWindow(static_cast<HWND>(source_));  // drops notifications still queued
    source_ = nullptr;
  }
  if (fd_ >= 0) {
    closesocket(S(fd_));
    fd_ = -1;
  }
  connecting_ = false;
  reads_paused_ = false;
  peer_closed_ = false;
  sink_ = nullptr;
}

}  // namespace platform
