// Socket steps built on the platform's own, the same everywhere.
#include "platform/socket_events.h"

namespace platform {

bool TcpSocket::RecvExactBlocking(void* data, size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    long n = RecvSomeBlocking(p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace platform
