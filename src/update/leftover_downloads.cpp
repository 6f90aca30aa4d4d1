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
    int version = 0;
    if (IsSetAsideName(entry.name)) {
      if (PendingCopyVersion(entry.name, &version) && version <= upToVersion) disk.Delete(path);
      continue;
    }
    if (!platform::EndsWith(entry.name, suffix)) continue;
    if (!PendingCopyVersion(entry.name, &version) || version > upToVersion) continue;
    disk.Delete(path.substr(0, path.size() - suffix.size()));
    disk.Delete(path);
  }
}

// True when |dir| holds something that is not ours; |foreign| names it.
bool FindForeign(platform::Disk& disk, const std::wstring& dir, int depth, std::wstring* foreign) {
  std::vector<platform::DirectoryEntry> entries;
  if (depth > kMaxDepth || !disk.ListDirectory(dir, &entries)) {
    *foreign = dir;
    return true;
  }
  int version = 0;
  for (const platform::DirectoryEntry& entry : entries) {
    const std::wstring path = dir + platform::kPathSeparator + entry.name;
    if (entry.directory ? FindForeign(disk, path, depth + 1, foreign) : !PendingCopyVersion(entry.name, &version)) {
      if (!entry.directory) *foreign = path;
      return true;
    }
  }
  return false;
}

void RemoveTree(platform::Disk& disk, const std::wstring& dir) {
  std::vector<platform::DirectoryEntry> entries;
  disk.ListDirectory(dir, &entries);
  for (const platform::DirectoryEntry& entry : entries) {
    const std::wstring path = dir + platform::kPathSeparator + entry.name;
    if (entry.directory) RemoveTree(disk, path);
    else disk.Delete(path);
  }
  disk.RemoveDirectory(dir);
}

}  // namespace

bool RemoveLeftoverTree(platform::Disk& disk, const std::wstring& dir, std::wstring* foreign) {
  if (FindForeign(disk, dir, 0, foreign)) return false;
  RemoveTree(disk, dir);
  // What the listing does not show (a link, a device) keeps it standing.
  std::vector<platform::DirectoryEntry> entries;
  if (!disk.ListDirectory(dir, &entries)) return true;
  *foreign = dir;
  return false;
}

void RemoveKeptDownloads(platform::Disk& disk, const std::wstring& dir, int upToVersion) {
  RemoveBelow(disk, dir, upToVersion, 0);
}
