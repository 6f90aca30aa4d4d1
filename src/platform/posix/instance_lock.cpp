#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/text.h"

namespace platform {

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) close(static_cast<int>(fd_));
}

bool InstanceLock::Acquire(const std::wstring& path) {
  int fd = open(ToAnsi(path).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return true;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    bool held = errno == EWOULDBLOCK;
    close(fd);
    return !held;
  }
  fd_ = fd;
  return true;
}

void ShowRunningInstance(const std::wstring&) {}

}  // namespace platform
