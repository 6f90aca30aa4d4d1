#include "platform/disk.h"

namespace platform {

uint64_t DiskFile::CopyInSystem(DiskFile*, uint64_t, uint64_t, uint64_t) { return 0; }

namespace {

class RealFile : public DiskFile {
 public:
  bool Open(const std::wstring& path, File::Mode mode) { return file_.Open(path, mode); }
  bool Seek(uint64_t offset) override { return file_.Seek(offset); }
  bool Write(const void* data, size_t size) override { return file_.Write(data, size); }
  bool WriteAt(uint64_t offset, const void* data, size_t size) override {
    return file_.WriteAt(offset, data, size);
  }
  long Read(void* data, size_t size) override { return file_.Read(data, size); }
  uint64_t CopyInSystem(DiskFile* source, uint64_t from, uint64_t to, uint64_t length) override {
    auto* real = dynamic_cast<RealFile*>(source);
    return real ? file_.CopyInSystem(real->file_, from, to, length) : 0;
  }
  bool SetLength(uint64_t length) override { return file_.SetLength(length); }
  bool Sync() override { return file_.Sync(); }
  void StartWriteback(uint64_t offset, uint64_t length) override { file_.StartWriteback(offset, length); }
  bool Close() override { return file_.Close(); }

 private:
  File file_;
};

class RealFileSystem : public Disk {
 public:
  std::unique_ptr<DiskFile> Open(const std::wstring& path, File::Mode mode) override {
    auto file = std::make_unique<RealFile>();
    if (!file->Open(path, mode)) return nullptr;
    return file;
  }
  bool Exists(const std::wstring& path) override { return CanOpenForRead(path); }
  bool GetSize(const std::wstring& path, uint64_t* size) override { return GetFileSize(path, size); }
  bool ListDirectory(const std::wstring& dir, std::vector<DirectoryEntry>* entries) override {
    return platform::ListDirectory(dir, entries);
  }
  bool CreateDirectory(const std::wstring& path) override { return platform::CreateDirectory(path); }
  bool RemoveDirectory(const std::wstring& path) override { return platform::RemoveDirectory(path); }
  bool Delete(const std::wstring& path) override { return DeleteFile(path); }
  bool Replace(const std::wstring& from, const std::wstring& to) override {
    return ReplaceFile(from, to, false);
  }
  bool MoveNoReplace(const std::wstring& from, const std::wstring& to) override {
    return MoveFileNoReplace(from, to, false);
  }
  bool MakeDurable(const std::vector<std::wstring>& paths) override { return platform::MakeDurable(paths); }
  bool SetTimes(const std::wstring& path, FILETIME time) override { return SetAllFileTimes(path, time); }
  bool FreeSpace(const std::wstring& dir, uint64_t* bytes) override { return FreeDiskBytes(dir, bytes); }
  bool SwapIn(const std::wstring& from, const std::wstring& to, const std::wstring& retired) override {
    return SwapInFile(from, to, retired);
  }
};

}  // namespace

Disk& RealDisk() {
  static RealFileSystem disk;
  return disk;
}

}  // namespace platform
