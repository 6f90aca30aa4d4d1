#pragma once
// A Disk that hands every operation to the real file system, counting
// them, and fails the one numbered |fail_at| (1-based; 0 fails none). With
// |full_from_fail_at| the disk runs full instead: from that operation on,
// every write that would add bytes fails with "no space left".
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/disk.h"

class FaultyDisk : public platform::Disk {
 public:
  // One counted operation: its kind ("write", "flush", "rename", ...) and
  // the path it was about.
  struct Op {
    std::string kind;
    std::string path;
  };

  int fail_at = 0;
  bool full_from_fail_at = false;
  // Also fail every read of a file whose path ends in this (when not empty).
  std::string unreadable_suffix;
  // Also fail every operation of these kinds on a file whose path ends in
  // |unwritable_suffix| (when not empty), leaving |unwritable_errno|.
  std::string unwritable_suffix;
  std::set<std::string> unwritable_kinds = {"open-write", "write", "size"};
  int unwritable_errno = 0;
  std::vector<Op> ops;
  // Free-space queries take these answers in turn; the real one when none
  // is left.
  std::vector<uint64_t> free_space;
  // What was failed, for messages: "kind path", or empty.
  std::string failed;

  std::unique_ptr<platform::DiskFile> Open(const std::wstring& path, platform::File::Mode mode) override;
  bool Exists(const std::wstring& path) override { return real_.Exists(path); }
  bool GetSize(const std::wstring& path, uint64_t* size) override { return real_.GetSize(path, size); }
  bool ListDirectory(const std::wstring& dir, std::vector<platform::DirectoryEntry>* entries) override {
    return real_.ListDirectory(dir, entries);
  }
  bool CreateDirectory(const std::wstring& path) override;
  bool RemoveDirectory(const std::wstring& path) override;
  bool Delete(const std::wstring& path) override;
  bool Replace(const std::wstring& from, const std::wstring& to) override;
  bool MoveNoReplace(const std::wstring& from, const std::wstring& to) override;
  bool MakeDurable(const std::vector<std::wstring>& paths) override;
  bool SetTimes(const std::wstring& path, platform::FILETIME time) override;
  bool FreeSpace(const std::wstring& dir, uint64_t* bytes) override;
  bool SwapIn(const std::wstring& from, const std::wstring& to, const std::wstring& retired) override;

  // Counts an operation; false when it is to fail. |adds_bytes| marks the
  // writes a full disk refuses.
  bool Allow(const std::string& kind, const std::wstring& path, bool adds_bytes = false);

 private:
  platform::Disk& real_ = platform::RealDisk();
  bool full_ = false;
  size_t free_space_asked_ = 0;
};
