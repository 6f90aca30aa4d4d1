#include "support/faulty_disk.h"

#include <cerrno>

#include "platform/text.h"

namespace {

class FaultyFile : public platform::DiskFile {
 public:
  FaultyFile(FaultyDisk* disk, std::unique_ptr<platform::DiskFile> real, std::wstring path)
      : disk_(disk), real_(std::move(real)), path_(std::move(path)) {}
  bool Seek(uint64_t offset) override { return real_->Seek(offset); }
  bool Write(const void* data, size_t size) override {
    return disk_->Allow("write", path_, size > 0) && real_->Write(data, size);
  }
  bool WriteAt(uint64_t offset, const void* data, size_t size) override {
    return disk_->Allow("write", path_, size > 0) && real_->WriteAt(offset, data, size);
  }
  long Read(void* data, size_t size) override {
    if (!disk_->unreadable_suffix.empty() && platform::EndsWith(path_, platform::FromUtf8(disk_->unreadable_suffix))) {
      errno = EIO;
      return -1;
    }
    return disk_->Allow("read", path_) ? real_->Read(data, size) : -1;
  }
  bool SetLength(uint64_t length) override { return disk_->Allow("size", path_, length > 0) && real_->SetLength(length); }
  bool Sync() override { return disk_->Allow("flush", path_) && real_->Sync(); }
  void StartWriteback(uint64_t offset, uint64_t length) override { real_->StartWriteback(offset, length); }
  bool Close() override { return real_->Close(); }

 private:
  FaultyDisk* disk_;
  std::unique_ptr<platform::DiskFile> real_;
  std::wstring path_;
};

}  // namespace

bool FaultyDisk::Allow(const std::string& kind, const std::wstring& path, bool adds_bytes) {
  ops.push_back({kind, platform::ToUtf8(path)});
  if (!unwritable_suffix.empty() && unwritable_kinds.count(kind) &&
      platform::EndsWith(path, platform::FromUtf8(unwritable_suffix))) {
    errno = unwritable_errno;
    return false;
  }
  const int number = static_cast<int>(ops.size());
  if (full_from_fail_at && number >= fail_at && fail_at > 0) full_ = true;
  if (full_ && adds_bytes) {
    if (failed.empty()) failed = kind + " " + ops.back().path + " (disk full)";
    errno = ENOSPC;
    return false;
  }
  if (full_from_fail_at || number != fail_at) return true;
  failed = kind + " " + ops.back().path;
  errno = EIO;
  return false;
}

std::unique_ptr<platform::DiskFile> FaultyDisk::Open(const std::wstring& path, platform::File::Mode mode) {
  if (!Allow(mode == platform::File::kRead ? "open-read" : "open-write", path,
             mode == platform::File::kCreateTruncate)) {
    return nullptr;
  }
  std::unique_ptr<platform::DiskFile> real = real_.Open(path, mode);
  if (!real) return nullptr;
  return std::make_unique<FaultyFile>(this, std::move(real), path);
}

bool FaultyDisk::CreateDirectory(const std::wstring& path) {
  return Allow("mkdir", path, true) && real_.CreateDirectory(path);
}

bool FaultyDisk::RemoveDirectory(const std::wstring& path) {
  return Allow("rmdir", path) && real_.RemoveDirectory(path);
}

bool FaultyDisk::FreeSpace(const std::wstring& dir, uint64_t* bytes) {
  if (free_space_asked_ >= free_space.size()) return real_.FreeSpace(dir, bytes);
  *bytes = free_space[free_space_asked_++];
  return true;
}

bool FaultyDisk::Delete(const std::wstring& path) { return Allow("delete", path) && real_.Delete(path); }

bool FaultyDisk::Replace(const std::wstring& from, const std::wstring& to) {
  return Allow("rename", to) && real_.Replace(from, to);
}

bool FaultyDisk::MoveNoReplace(const std::wstring& from, const std::wstring& to) {
  return Allow("rename", to) && real_.MoveNoReplace(from, to);
}

bool FaultyDisk::MakeDurable(const std::vector<std::wstring>& paths) {
  return Allow("flush", paths.empty() ? std::wstring() : paths.front()) && real_.MakeDurable(paths);
}

bool FaultyDisk::SetTimes(const std::wstring& path, platform::FILETIME time) {
  return Allow("stamp", path) && real_.SetTimes(path, time);
}

bool FaultyDisk::SwapIn(const std::wstring& from, const std::wstring& to, const std::wstring& retired) {
  return Allow("swap", to) && real_.SwapIn(from, to, retired);
}
