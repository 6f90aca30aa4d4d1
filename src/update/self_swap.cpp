#include "update/self_swap.h"

#include "digest/file_digests.h"
#include "platform/text.h"

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
