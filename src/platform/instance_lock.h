#pragma once
// One updater per install directory: an exclusive lock on a file in it,
// held while the process lives. The system lets go of it when the process
// ends in any way, so a killed run never blocks the next one.
#include <cstdint>
#include <string>

namespace platform {

class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // False only when another holder has the lock on |path|; a file that
  // cannot be made at all (a read-only directory) does not stop anyone.
  // The file is created when missing and never written.
  bool Acquire(const std::wstring& path);

 private:
  // A descriptor, or a handle where the platform has those.
  intptr_t fd_ = -1;
};

// Brings the window of the updater that runs from |exe_path| to the front,
// where the platform has such windows; nothing elsewhere.
void ShowRunningInstance(const std::wstring& exe_path);

}  // namespace platform
