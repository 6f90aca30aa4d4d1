#include "platform/posix/link_free.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files.h"
#include "platform/posix/exact_text.h"
#include "platform/text.h"

namespace platform {
namespace {

// Set once at start-up, before any file of the install is touched. The
// root stays open: every walk starts from it.
std::string g_root;
int g_root_fd = -1;

}  // namespace

void SetLinkFreeRoot(const std::wstring& dir) {
  if (g_root_fd >= 0) close(g_root_fd);
  g_root = ToAnsi(dir);
  while (g_root.size() > 1 && g_root.back() == '/') g_root.pop_back();
  // The root itself may be a link; what lies below it may not.
  g_root_fd = g_root.empty() ? -1 : open(g_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool CrossesLink(const std::wstring& path) {
  ParentDir parent(path);
  if (!parent.confined()) return false;
  struct stat st;
  if (parent.ok()) {
    return fstatat(parent.fd(), parent.leaf().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
  }
  // A directory on the way that does not exist yet leads nowhere.
  if (errno != ELOOP && errno != ENOTDIR) return false;
  // A link on the way fails the walk, and so does a regular file that
  // stands where a directory is to be (it gives way when the file is
  // written): the first component that is no directory tells which. The
  // ones before it are directories, so the lookup follows no link.
  const std::string relative = ToAnsi(path).substr(g_root.size() + 1);
  for (size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', slash + 1)) {
    if (fstatat(g_root_fd, relative.substr(0, slash).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (!S_ISDIR(st.st_mode)) return S_ISLNK(st.st_mode);
  }
  return true;
}

ParentDir::ParentDir(const std::wstring& path) {
  // A lossy spelling would name another file: nothing is done under it.
  std::string narrow;
  if (!ToAnsiExactly(path, &narrow)) {
    ok_ = false;
    errno = EILSEQ;
    return;
  }
  if (g_root.empty() || narrow.size() <= g_root.size() + 1 ||
      narrow.compare(0, g_root.size(), g_root) != 0 || narrow[g_root.size()] != '/') {
    leaf_ = narrow;
    return;
  }
  confined_ = true;
  fd_ = g_root_fd;
  size_t start = g_root.size() + 1;
  for (;;) {
    if (fd_ < 0) {
      ok_ = false;
      return;
    }
    size_t slash = narrow.find('/', start);
    if (slash == std::string::npos) break;
    std::string part = narrow.substr(start, slash - start);
    start = slash + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      Release();
      fd_ = -1;
      errno = EACCES;
      continue;
    }
    int next = openat(fd_, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int saved = errno;
    Release();
    fd_ = next;
    errno = saved;
  }
  leaf_ = narrow.substr(start);
  if (leaf_.empty() || leaf_ == "." || leaf_ == "..") {
    ok_ = false;
    errno = EACCES;
  }
}

ParentDir::~ParentDir() { Release(); }

void ParentDir::Release() {
  if (fd_ >= 0 && fd_ != g_root_fd) close(fd_);
}

void ParentDir::Sync() const {
  if (fd_ >= 0) {
    fsync(fd_);
    return;
  }
  std::string::size_type slash = leaf_.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : leaf_.substr(0, slash);
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

}  // namespace platform
