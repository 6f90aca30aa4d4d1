#include "update/self_swap.h"

#include <algorithm>
#include <utility>

#include "digest/file_digests.h"
#include "platform/text.h"
#include "update/download_progress.h"
#include "update/installer.h"

SelfSwapResult SwapInPendingCopy(platform::Disk& disk, const std::wstring& exe, const std::wstring& pending,
                                 const std::wstring& expected_md5) {
  const std::wstring retired = exe + L".old";
  // Still in use by an older updater, it stays; the swap then fails below.
  if (disk.Exists(retired)) disk.Delete(retired);
  if (!disk.Exists(pending)) return SelfSwapResult::kNoPendingCopy;
  std::wstring md5;
  if (expected_md5.empty() || !FileDigests(disk, pending, &md5, nullptr) ||
      !platform::EqualsNoCase(md5, expected_md5)) {
    disk.Delete(pending);
    return SelfSwapResult::kRefused;
  }
  return disk.SwapIn(pending, exe, retired) ? SelfSwapResult::kSwapped : SelfSwapResult::kMoveFailed;
}

std::vector<std::wstring> EarlierPendingCopies(platform::Disk& disk, const std::wstring& exe, int recorded) {
  const size_t cut = exe.find_last_of(L"/\\");
  const std::wstring dir = cut == std::wstring::npos ? std::wstring() : exe.substr(0, cut + 1);
  std::vector<platform::DirectoryEntry> entries;
  std::vector<std::pair<int, std::wstring>> found;
  if (!disk.ListDirectory(cut == std::wstring::npos ? L"." : exe.substr(0, cut), &entries)) return {};
  const std::wstring marker = L".update.";
  for (const platform::DirectoryEntry& entry : entries) {
    int version = 0;
    if (entry.directory || !PendingCopyVersion(entry.name, &version) || version >= recorded) continue;
    const std::wstring path = dir + entry.name;
    const std::wstring text = entry.name.substr(entry.name.rfind(marker) + marker.size());
    if (path != PendingCopyPath(exe, text) || disk.Exists(ProgressRecordPath(path))) continue;
    found.emplace_back(version, path);
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<std::wstring> paths;
  for (const auto& copy : found) paths.push_back(copy.second);
  return paths;
}
