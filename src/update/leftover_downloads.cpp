#include "update/leftover_downloads.h"

#include <vector>

#include "platform/text.h"
#include "update/download_progress.h"
#include "update/installer.h"

namespace {

// Deeper than any install; a bound all the same.
constexpr int kMaxDepth = 32;

void RemoveBelow(platform::Disk& disk, const std::wstring& dir, int upToVersion, int depth) {
  std::vector<platform::DirectoryEntry> entries;
  if (depth > kMaxDepth || !disk.ListDirectory(dir, &entries)) return;
  const std::wstring suffix = ProgressRecordPath(L"");
  for (const platform::DirectoryEntry& entry : entries) {
    const std::wstring path = dir + platform::kPathSeparator + entry.name;
    if (entry.directory) {
      RemoveBelow(disk, path, upToVersion, depth + 1);
      continue;
    }
    // A record that was being replaced when a run ended.
    if (platform::EndsWith(entry.name, suffix + L".new")) {
      disk.Delete(path);
      continue;
    }
    if (!platform::EndsWith(entry.name, suffix)) continue;
    int version = 0;
    if (!PendingCopyVersion(entry.name, &version) || version > upToVersion) continue;
    disk.Delete(path.substr(0, path.size() - suffix.size()));
    disk.Delete(path);
  }
}

}  // namespace

void RemoveKeptDownloads(platform::Disk& disk, const std::wstring& dir, int upToVersion) {
  RemoveBelow(disk, dir, upToVersion, 0);
}
