#pragma once
// The file system as the update sees it: open files, moves, deletes,
// barriers and time stamps. Abstract so that tests can make any one of
// these operations fail, or the disk run full.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/files.h"

namespace platform {

// An open file; closed when it goes.
class DiskFile {
 public:
  virtual ~DiskFile() = default;
  virtual bool Seek(uint64_t offset) = 0;
  virtual bool Write(const void* data, size_t size) = 0;
  virtual bool WriteAt(uint64_t offset, const void* data, size_t size) = 0;
  // Bytes read, 0 at the end, -1 on failure.
  virtual long Read(void* data, size_t size) = 0;
  // As File::CopyInSystem; files that cannot copy so copy nothing.
  virtual uint64_t CopyInSystem(DiskFile* source, uint64_t from, uint64_t to, uint64_t length);
  virtual bool SetLength(uint64_t length) = 0;
  // Flushes the file's data to the disk.
  virtual bool Sync() = 0;
  // Only a hint (see File::StartWriteback).
  virtual void StartWriteback(uint64_t offset, uint64_t length) = 0;
  virtual bool Close() = 0;
};

class Disk {
 public:
  virtual ~Disk() = default;
  // Null when the file cannot be opened; modes as File's.
  virtual std::unique_ptr<DiskFile> Open(const std::wstring& path, File::Mode mode) = 0;
  // True when the file can be opened for reading.
  virtual bool Exists(const std::wstring& path) = 0;
  virtual bool GetSize(const std::wstring& path, uint64_t* size) = 0;
  virtual bool ListDirectory(const std::wstring& dir, std::vector<DirectoryEntry>* entries) = 0;
  virtual bool CreateDirectory(const std::wstring& path) = 0;
  // Removes an empty directory.
  virtual bool RemoveDirectory(const std::wstring& path) = 0;
  virtual bool Delete(const std::wstring& path) = 0;
  // As ReplaceFile and MoveFileNoReplace with |durable| false: the caller
  // makes the new names durable.
  virtual bool Replace(const std::wstring& from, const std::wstring& to) = 0;
  virtual bool MoveNoReplace(const std::wstring& from, const std::wstring& to) = 0;
  virtual bool MakeDurable(const std::vector<std::wstring>& paths) = 0;
  virtual bool SetTimes(const std::wstring& path, FILETIME time) = 0;
  // The bytes that may still be written on the file system of |dir|.
  virtual bool FreeSpace(const std::wstring& dir, uint64_t* bytes) = 0;
  // As SwapInFile.
  virtual bool SwapIn(const std::wstring& from, const std::wstring& to, const std::wstring& retired) = 0;
};

// The platform's own file system.
Disk& RealDisk();

}  // namespace platform
