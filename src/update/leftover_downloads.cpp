#include "update/leftover_downloads.h"

#include <vector>

#include "net/download_progress.h"
#include "platform/files.h"
#include "platform/text.h"

namespace {

// Deeper than any install; a bound all the same.
constexpr int kMaxDepth = 32;

void RemoveBelow(const std::wstring& dir, int upToVersion, int depth) {
  std::vector<platform::DirectoryEntry> entries;
  if (depth > kMaxDepth || !platform::ListDirectory(dir, &entries)) return;
  const std::wstring suffix = ProgressRecordPath(L"");
  for (const platform::DirectoryEntry& entry : entries) {
    const std::wstring path = dir + platform::kPathSeparator + entry.name;
    if (entry.directory) {
      RemoveBelow(path, upToVersion, depth + 1);
      continue;
    }
    // A record that was being replaced when a run ended.
    if (platform::EndsWith(entry.name, suffix + L".new")) {
      platform::DeleteFile(path);
      continue;
    }
    if (!platform::EndsWith(entry.name, suffix)) continue;
    const std::wstring pending = path.substr(0, path.size() - suffix.size());
    const size_t marker = entry.name.rfind(L".update.");
    if (marker == std::wstring::npos) continue;
    if (platform::LeadingInt(entry.name.substr(marker + 8)) > upToVersion) continue;
    platform::DeleteFile(pending);
    platform::DeleteFile(path);
  }
}

}  // namespace

void RemoveKeptDownloads(const std::wstring& dir, int upToVersion) { RemoveBelow(dir, upToVersion, 0); }
