#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/exact_text.h"
#include "platform/posix/link_free.h"
#include "platform/text.h"

namespace platform {

const wchar_t kPathSeparator = L'/';

namespace {

// Opens an existing file for reading; -1 on failure, with errno kept.
int OpenForRead(const std::wstring& path) {
  ParentDir parent(path);
  if (!parent.ok()) return -1;
  return openat(parent.fd(), parent.leaf().c_str(), O_RDONLY | O_CLOEXEC | parent.NoFollow());
}

bool Stat(const std::wstring& path, struct stat* st) {
  ParentDir parent(path);
  return parent.ok() && fstatat(parent.fd(), parent.leaf().c_str(), st, parent.AtNoFollow()) == 0;
}

}  // namespace

bool IsMissing(const std::wstring& path) {
  ParentDir parent(path);
  if (!parent.ok()) return errno == ENOENT;
  struct stat st;
  return fstatat(parent.fd(), parent.leaf().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
}

bool CanOpenForRead(const std::wstring& path) {
  int fd = OpenForRead(path);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
  close(fd);
  return ok;
}

bool IsDirectory(const std::wstring& path) {
  struct stat st;
  return Stat(path, &st) && S_ISDIR(st.st_mode);
}

bool GetLastWriteTime(const std::wstring& path, FILETIME* time) {
  // Like a query through an open handle: the file must be readable.
  int fd = OpenForRead(path);
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
  if (!Stat(path, &st)) return false;
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
  ParentDir parent(path);
  if (!parent.ok()) return false;
  // A link named like the file must not pass the times on to what it names.
  struct stat st;
  if (parent.confined() && (fstatat(parent.fd(), parent.leaf().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                            S_ISLNK(st.st_mode))) {
    return false;
  }
  return utimensat(parent.fd(), parent.leaf().c_str(), times, parent.AtNoFollow()) == 0;
}

bool DeleteFile(const std::wstring& path) {
  ParentDir parent(path);
  return parent.ok() && unlinkat(parent.fd(), parent.leaf().c_str(), 0) == 0;
}

bool ListDirectory(const std::wstring& dir, std::vector<DirectoryEntry>* entries) {
  entries->clear();
  int fd = -1;
  {
    ParentDir parent(dir);
    if (!parent.ok()) return false;
    fd = openat(parent.fd(), parent.leaf().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  }
  if (fd < 0) return false;
  DIR* d = fdopendir(fd);
  if (!d) {
    close(fd);
    return false;
  }
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    // A name the locale does not read back exactly would be acted on
    // under another file's name.
    std::wstring wide = FromAnsi(name);
    std::string back;
    if (!ToAnsiExactly(wide, &back) || back != name) continue;
    struct stat st;
    if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) continue;
    DirectoryEntry entry;
    entry.name = std::move(wide);
    entry.directory = S_ISDIR(st.st_mode);
    entries->push_back(entry);
  }
  closedir(d);
  return true;
}

bool ListAllNames(const std::wstring& dir, std::vector<std::wstring>* names, bool* missing) {
  names->clear();
  *missing = false;
  int fd = -1;
  {
    ParentDir parent(dir);
    if (parent.ok()) fd = openat(parent.fd(), parent.leaf().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  }
  if (fd < 0) {
    *missing = errno == ENOENT;
    return false;
  }
  DIR* d = fdopendir(fd);
  if (!d) {
    close(fd);
    return false;
  }
  bool exact = true;
  // A listing cut short by an error is no listing: a name it missed would
  // count as absent.
  for (;;) {
    errno = 0;
    dirent* e = readdir(d);
    if (!e) {
      exact = exact && errno == 0;
      break;
    }
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::wstring wide = FromAnsi(name);
    std::string back;
    if (!ToAnsiExactly(wide, &back) || back != name) {
      exact = false;
      break;
    }
    names->push_back(std::move(wide));
  }
  closedir(d);
  return exact;
}

bool CreateDirectory(const std::wstring& path) {
  ParentDir parent(path);
  return parent.ok() && mkdirat(parent.fd(), parent.leaf().c_str(), 0755) == 0;
}

bool RemoveDirectory(const std::wstring& path) {
  ParentDir parent(path);
  return parent.ok() && unlinkat(parent.fd(), parent.leaf().c_str(), AT_REMOVEDIR) == 0;
}

bool FreeDiskBytes(const std::wstring& dir, uint64_t* bytes) {
  struct statvfs vfs;
  if (statvfs(ToAnsi(dir).c_str(), &vfs) != 0) return false;
  *bytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  return true;
}

bool ReplaceFile(const std::wstring& from, const std::wstring& to, bool durable) {
  ParentDir src(from), dest(to);
  if (!src.ok() || !dest.ok()) return false;
  // The new file keeps the permissions of the one it replaces: an
  // executable stays executable.
  struct stat st, mine;
  if (fstatat(dest.fd(), dest.leaf().c_str(), &st, dest.AtNoFollow()) == 0 && S_ISREG(st.st_mode) &&
      fstatat(src.fd(), src.leaf().c_str(), &mine, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(mine.st_mode)) {
    fchmodat(src.fd(), src.leaf().c_str(), st.st_mode & 07777, 0);
  }
  if (renameat(src.fd(), src.leaf().c_str(), dest.fd(), dest.leaf().c_str()) != 0) return false;
  if (durable) dest.Sync();
  return true;
}

bool MoveFileNoReplace(const std::wstring& from, const std::wstring& to, bool durable) {
  ParentDir src(from), dest(to);
  if (!src.ok() || !dest.ok()) return false;
  // A hard link fails when the target exists, which is the atomic test.
  if (linkat(src.fd(), src.leaf().c_str(), dest.fd(), dest.leaf().c_str(), 0) == 0) {
    unlinkat(src.fd(), src.leaf().c_str(), 0);
    if (durable) dest.Sync();
    return true;
  }
  struct stat st;
  if (fstatat(dest.fd(), dest.leaf().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return false;
  if (renameat(src.fd(), src.leaf().c_str(), dest.fd(), dest.leaf().c_str()) != 0) return false;
  if (durable) dest.Sync();
  return true;
}

bool SwapInFile(const std::wstring& from, const std::wstring& to, const std::wstring& retired) {
  {
    ParentDir current(to), old(retired);
    if (!current.ok() || !old.ok() ||
        linkat(current.fd(), current.leaf().c_str(), old.fd(), old.leaf().c_str(), 0) != 0) {
      return false;
    }
  }
  if (ReplaceFile(from, to)) return true;
  DeleteFile(retired);
  return false;
}

bool MakeDurable(const std::vector<std::wstring>& paths) {
  // One flush of each file system involved: its data and metadata,
  // directories included, reach the disk with a single journal commit
  // instead of one commit per file.
  bool ok = true;
  std::vector<dev_t> flushed;
  for (const std::wstring& path : paths) {
    int fd = OpenForRead(path);
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
  std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/" + ToAnsi(prefix) + "XXXXXX";
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

std::wstring FileSystemName(const std::wstring& name) { return name; }

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
    case EROFS: code = 19; break;    // write protected
    case ENOSPC:
    case EDQUOT: code = 112; break;  // disk full
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
    case 0x80070013u: return L"The media is write protected.";
    case 0x80070070u: return L"There is not enough space on the disk.";
    case 0x80070020u:
      return L"The process cannot access the file because it is being used by another process.";
    default: return L"Unspecified error";
  }
}

}  // namespace platform
