#pragma once
// A TCP socket whose events arrive on the loop thread, one at a time and in
// order: connect (with its error code), read, write and close. Nothing is
// delivered for a connection after it was closed, even if it was pending.
// Reads can be paused: the kernel then holds what arrives, and the peer
// slows down once its window is full (back-pressure).
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

enum SocketEvent : int {
  kFdRead = 0x01,
  kFdWrite = 0x02,
  kFdConnect = 0x10,
  kFdClose = 0x20,
};

// Error codes in the Windows Sockets numbering.
constexpr int kWsaWouldBlock = 10035;
constexpr int kWsaConnRefused = 10061;

class SocketEventSink {
 public:
  virtual void OnSocketEvent(int event, int error) = 0;

 protected:
  ~SocketEventSink() = default;
};

// Dotted IPv4 text is taken as it stands; anything else is looked up.
// The address is in network order; false when it cannot be resolved.
bool ResolveIpv4(const std::string& host, uint32_t* address);

class TcpSocket {
 public:
  TcpSocket();
  ~TcpSocket();
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  bool Open();
  bool IsOpen() const { return fd_ >= 0; }

  // Starts a connect without blocking; the outcome arrives as kFdConnect.
  bool ConnectAsync(uint32_t address, uint16_t port, SocketEventSink* sink);

  // Blocking calls for proxy handshakes; each gives up after a time-out.
  bool ConnectBlocking(uint32_t address, uint16_t port);
  bool SendAllBlocking(const void* data, size_t size);
  bool RecvExactBlocking(void* data, size_t size);
  long RecvSomeBlocking(void* data, size_t size);
  // Ends the blocking phase: events go to |sink|, starting with a posted
  // kFdConnect without error.
  void StartEvents(SocketEventSink* sink);

  // Bytes sent or received; 0 from Recv is the peer's close; -1 on failure,
  // where LastError() is kWsaWouldBlock when the call would have blocked.
  long Send(const void* data, size_t size);
  long Recv(void* data, size_t size);
  int LastError() const { return last_error_; }
  // Reports kFdWrite once when the socket can take data again.
  void WantWrite();
  // No kFdRead (nor a close, which shows as a read) until ResumeReads;
  // kFdWrite still comes.
  void PauseReads();
  // Reads are reported again, starting with one kFdRead from the loop even
  // when nothing new arrived: bytes the owner holds above the socket need
  // their turn too.
  void ResumeReads();
  bool reads_paused() const { return reads_paused_; }

  void Close();

 private:
  friend struct SocketDispatch;
  void Watch(bool want_write);
  void Unwatch();
  void Dispatch(unsigned condition);

  int fd_ = -1;
  uint64_t id_ = 0;
  SocketEventSink* sink_ = nullptr;
  void* source_ = nullptr;
  void* connected_source_ = nullptr;
  void* resumed_source_ = nullptr;
  bool connecting_ = false;
  bool reads_paused_ = false;
  // The peer's close has been reported; where that happens only once, a
  // resume reports it again.
  bool peer_closed_ = false;
  bool want_write_ = false;
  int last_error_ = 0;
};

}  // namespace platform
