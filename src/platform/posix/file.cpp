#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/link_free.h"

namespace platform {

File::~File() { Close(); }

bool File::Open(const std::wstring& path, Mode mode) {
  Close();
  // A link planted where a download goes must not redirect the write.
  int flags = O_CLOEXEC;
  switch (mode) {
    case kCreateTruncate: flags |= O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW; break;
    case kWriteExisting: flags |= O_WRONLY | O_NOFOLLOW; break;
    case kAppend: flags |= O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW; break;
    case kRead: flags |= O_RDONLY; break;
  }
  // Below the install directory no component is followed (files.h).
  ParentDir parent(path);
  if (!parent.ok()) return false;
  fd_ = openat(parent.fd(), parent.leaf().c_str(), flags | parent.NoFollow(), 0644);
  return fd_ >= 0;
}

bool File::Seek(uint64_t offset) {
  return fd_ >= 0 && lseek(static_cast<int>(fd_), static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool File::Write(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(static_cast<int>(fd_), p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool File::WriteAt(uint64_t offset, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = pwrite(static_cast<int>(fd_), p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  return true;
}

uint64_t File::CopyInSystem(File& source, uint64_t from, uint64_t to, uint64_t length) {
  // One copy in the page cache instead of a read and a write through ours.
  uint64_t copied = 0;
  while (copied < length) {
    loff_t in = static_cast<loff_t>(from + copied), out = static_cast<loff_t>(to + copied);
    const size_t want = static_cast<size_t>(std::min<uint64_t>(length - copied, uint64_t{1} << 30));
    const ssize_t n = copy_file_range(static_cast<int>(source.fd_), &in, static_cast<int>(fd_), &out, want, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    copied += static_cast<uint64_t>(n);
  }
  return copied;
}

long File::Read(void* data, size_t size) {
  for (;;) {
    ssize_t n = read(static_cast<int>(fd_), data, size);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

bool File::SetLength(uint64_t length) {
  return fd_ >= 0 && ftruncate(static_cast<int>(fd_), static_cast<off_t>(length)) == 0;
}

void File::StartWriteback(uint64_t offset, uint64_t length) {
  if (fd_ >= 0) {
    sync_file_range(static_cast<int>(fd_), static_cast<off_t>(offset), static_cast<off_t>(length),
                    SYNC_FILE_RANGE_WRITE);
  }
}

bool File::Sync() { return fd_ >= 0 && fdatasync(static_cast<int>(fd_)) == 0; }

bool File::Close() {
  if (fd_ < 0) return true;
  bool ok = close(static_cast<int>(fd_)) == 0;
  fd_ = -1;
  return ok;
}

}  // namespace platform
