#include "update/leftover_downloads.h"

#include <vector>

#include "net/download_progress.h"
#include "platform/files.h"
#include "platform/text.h"

namespace {

// Deeper than any install; a bound all the same.
constexpr int kMaxDepth = 32;

void RemoveBelow(const std::wstring& dir, int depth) {
  std::vector<platform::DirectoryEntry> entries;
  if (depth > kMaxDepth || !platform::ListDirectory(dir, &entries)) return;
  const std::wstring suffix = ProgressRecordPath(L"");
  for (const platform::DirectoryEntry& entry : entries) {
    const std::wstring path = dir + platform::kPathSeparator + entry.name;
    if (entry.directory) {
      RemoveBelow(path, depth + 1);
      continue;
    }
    // A record being replaced when the run ended.
    if (platform::EndsWith(entry.name, suffix + L".new")) {
      platform::DeleteFile(path);
      continue;
    }
    if (!platform::EndsWith(entry.name, suffix)) continue;
    const std::wstring pending = path.substr(0, path.size() - suffix.size());
    if (entry.name.find(L".update.") == std::wstring::npos) continue;
    platform::DeleteFile(pending);
    platform::DeleteFile(path);
  }
}

}  // namespace

void RemoveKeptDownloads(const std::wstring& dir) { RemoveBelow(dir, 0); }
