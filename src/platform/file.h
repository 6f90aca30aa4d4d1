#pragma once
// An open file written by downloads and read by the digest.
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class File {
 public:
  enum Mode {
    kCreateTruncate,  // create or truncate, write only
    kWriteExisting,   // open an existing file for writing, no truncation
    kAppend,          // create or open, every write at the end
    kRead,
  };
  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Writing modes never follow a symbolic link at the last component.
  bool Open(const std::wstring& path, Mode mode);
  bool IsOpen() const { return fd_ != -1; }
  bool Seek(uint64_t offset);
  bool Write(const void* data, size_t size);
  bool WriteAt(uint64_t offset, const void* data, size_t size);
  // Bytes read, 0 at the end, -1 on failure.
  long Read(void* data, size_t size);
  // Copies up to |length| bytes of |source| from |from| to |to| in this
  // file inside the system, where it can, without moving either position;
  // returns how many it copied. The caller copies the rest itself.
  uint64_t CopyInSystem(File& source, uint64_t from, uint64_t to, uint64_t length);
  bool SetLength(uint64_t length);
  // Flushes the file's data to the disk.
  bool Sync();
  // Lets the disk start on these bytes now, without waiting, so that a
  // later flush finds less to do. Only a hint.
  void StartWriteback(uint64_t offset, uint64_t length);
  bool Close();

 private:
  // A descriptor, or a handle where the platform has those.
  intptr_t fd_ = -1;
};

}  // namespace platform
