#pragma once
// Paths split into an open parent directory and a last component, so that
// below the link-free root (files.h) no component is reached through a link.
#include <fcntl.h>

#include <string>

namespace platform {

class ParentDir {
 public:
  explicit ParentDir(const std::wstring& path);
  ~ParentDir();
  ParentDir(const ParentDir&) = delete;
  ParentDir& operator=(const ParentDir&) = delete;

  // False when a directory on the way is a link, or cannot be opened; errno
  // tells why.
  bool ok() const { return ok_; }
  // The parent directory, or AT_FDCWD (then leaf() is the whole path).
  int fd() const { return fd_; }
  const std::string& leaf() const { return leaf_; }
  // Below the root the last component must not be followed either.
  bool confined() const { return confined_; }
  int NoFollow() const { return confined_ ? O_NOFOLLOW : 0; }
  int AtNoFollow() const { return confined_ ? AT_SYMLINK_NOFOLLOW : 0; }
  // Makes a rename into the parent durable.
  void Sync() const;

 private:
  // Closes fd_ unless it is the root's, which stays open.
  void Release();

  int fd_ = AT_FDCWD;
  std::string leaf_;
  bool ok_ = true;
  bool confined_ = false;
};

}  // namespace platform
