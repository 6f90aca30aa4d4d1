#include "platform/file.h"

#include "platform/win32/link_free.h"
#include "platform/win32/windows_min.h"

namespace platform {
namespace {

HANDLE H(intptr_t fd) { return reinterpret_cast<HANDLE>(fd); }

}  // namespace

File::~File() { Close(); }

bool File::Open(const std::wstring& path, Mode mode) {
  Close();
  // Below the install directory no component may be a link (files.h).
  if (CrossesReparsePoint(path)) return false;
  DWORD access = mode == kRead ? GENERIC_READ : mode == kAppend ? FILE_APPEND_DATA : GENERIC_WRITE;
  DWORD disposition = mode == kCreateTruncate ? CREATE_ALWAYS : mode == kAppend ? OPEN_ALWAYS : OPEN_EXISTING;
  // The five parts of a download write one file through their own handles.
  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE h = CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  fd_ = h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<intptr_t>(h);
  return fd_ != -1;
}

bool File::Seek(uint64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  return fd_ != -1 && SetFilePointerEx(H(fd_), to, nullptr, FILE_BEGIN);
}

bool File::Write(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD done = 0;
    if (!WriteFile(H(fd_), p, static_cast<DWORD>(size), &done, nullptr) || done == 0) return false;
    p += done;
    size -= done;
  }
  return true;
}

bool File::WriteAt(uint64_t offset, const void* data, size_t size) { return Seek(offset) && Write(data, size); }

uint64_t File::CopyInSystem(File&, uint64_t, uint64_t, uint64_t) {
  // No copy by offsets between handles: the caller reads and writes.
  return 0;
}

long File::Read(void* data, size_t size) {
  DWORD done = 0;
  if (!ReadFile(H(fd_), data, static_cast<DWORD>(size), &done, nullptr)) return -1;
  return static_cast<long>(done);
}

bool File::SetLength(uint64_t length) { return Seek(length) && SetEndOfFile(H(fd_)); }

// The system writes behind on its own.
void File::StartWriteback(uint64_t, uint64_t) {}

bool File::Sync() { return fd_ != -1 && FlushFileBuffers(H(fd_)); }

bool File::Close() {
  if (fd_ == -1) return true;
  bool ok = CloseHandle(H(fd_)) != FALSE;
  fd_ = -1;
  return ok;
}

}  // namespace platform
