#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/text.h"

namespace platform {
namespace {

std::string Narrow(const std::wstring& path) { return ToAnsi(path); }

// Makes the directory of |path| durable after a rename into it.
void SyncDirectoryOf(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

}  // namespace

const wchar_t kPathSeparator = L'/';

bool CanOpenForRead(const std::wstring& path) {
  int fd = open(Narrow(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
  close(fd);
  return ok;
}

bool IsDirectory(const std::wstring& path) {
  struct stat st;
  return stat(Narrow(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool GetLastWriteTime(const std::wstring& path, FILETIME* time) {
  // Like a query through an open handle: the file must be readable.
  int fd = open(Narrow(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
  int saved = errno;
  close(fd);
  errno = saved;
  if (ok) *time = FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  return ok;
}

bool GetFileSize(const std::wstring& path, uint64_t* size) {
  struct stat st;
  if (stat(Narrow(path).c_str(), &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool SetAllFileTimes(const std::wstring& path, FILETIME time) {
  int64_t sec;
  long nsec;
  FileTimeToUnix(time, &sec, &nsec);
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(sec);
  times[0].tv_nsec = nsec;
  times[1] = times[0];
  return utimensat(AT_FDCWD, Narrow(path).c_str(), times, 0) == 0;
}

bool DeleteFile(const std::wstring& path) { return unlink(Narrow(path).c_str()) == 0; }

bool CreateDirectory(const std::wstring& path) { return mkdir(Narrow(path).c_str(), 0755) == 0; }

bool ReplaceFile(const std::wstring& from, const std::wstring& to, bool durable) {
  std::string src = Narrow(from), dest = Narrow(to);
  // The new file keeps the permissions of the one it replaces: an
  // executable stays executable.
  struct stat st;
  if (stat(dest.c_str(), &st) == 0 && S_ISREG(st.st_mode)) chmod(src.c_str(), st.st_mode & 07777);
  if (rename(src.c_str(), dest.c_str()) != 0) return false;
  if (durable) SyncDirectoryOf(dest);
  return true;
}

bool MoveFileNoReplace(const std::wstring& from, const std::wstring& to, bool durable) {
  std::string src = Narrow(from), dest = Narrow(to);
  // A hard link fails when the target exists, which is the atomic test.
  if (link(src.c_str(), dest.c_str()) == 0) {
    unlink(src.c_str());
    if (durable) SyncDirectoryOf(dest);
    return true;
  }
  struct stat st;
  if (lstat(dest.c_str(), &st) == 0) return false;
  if (rename(src.c_str(), dest.c_str()) != 0) return false;
  if (durable) SyncDirectoryOf(dest);
  return true;
}

bool MakeDurable(const std::vector<std::wstring>& paths) {
  // One flush of each file system involved: its data and metadata,
  // directories included, reach the disk with a single journal commit
  // instead of one commit per file.
  bool ok = true;
  std::vector<dev_t> flushed;
  for (const std::wstring& path : paths) {
    int fd = open(Narrow(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
      ok = false;
    } else if (std::find(flushed.begin(), flushed.end(), st.st_dev) == flushed.end()) {
      ok = syncfs(fd) == 0 && ok;
      flushed.push_back(st.st_dev);
    }
    if (fd >= 0) close(fd);
  }
  return ok;
}

std::wstring CreateTempFile(const std::wstring& prefix) {
  const char* dir = getenv("TMPDIR");
  std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/" + Narrow(prefix) + "XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  int fd = mkstemp(buf.data());
  if (fd < 0) return std::wstring();
  close(fd);
  return FromAnsi(buf.data());
}

std::wstring ModulePath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return std::wstring();
  buf[n] = '\0';
  return FromAnsi(buf);
}

std::wstring ModuleDir() {
  std::wstring path = ModulePath();
  std::wstring::size_type slash = path.rfind(L'/');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring WindowsDirectory() { return std::wstring(); }
std::wstring SystemDirectory() { return std::wstring(); }

std::wstring NativeSeparators(std::wstring path) {
  for (auto& c : path) {
    if (c == L'\\') c = L'/';
  }
  return path;
}

uint32_t LastErrorStatus() {
  // The Windows error codes of the failures a file query meets.
  uint32_t code;
  switch (errno) {
    case ENOENT: code = 2; break;    // file not found
    case ENOTDIR: code = 3; break;   // path not found
    case EACCES:
    case EPERM: code = 5; break;     // access denied
    case EBUSY: code = 32; break;    // sharing violation
    default: return 0x80004005u;     // E_FAIL
  }
  return 0x80070000u | code;
}

std::wstring StatusMessage(uint32_t status) {
  switch (status) {
    case 0: return L"The operation completed successfully.";
    case 0x80070002u: return L"The system cannot find the file specified.";
    case 0x80070003u: return L"The system cannot find the path specified.";
    case 0x80070005u: return L"Access is denied.";
    case 0x80070020u:
      return L"The process cannot access the file because it is being used by another process.";
    default: return L"Unspecified error";
  }
}

}  // namespace platform
