#include "update/self_swap.h"

#include "digest/md5.h"
#include "platform/files.h"
#include "platform/text.h"

SelfSwapResult SwapInPendingCopy(const std::wstring& exe, const std::wstring& pending,
                                 const std::wstring& expected_md5) {
  const std::wstring retired = exe + L".old";
  // Still in use by an older updater, it stays; the swap then fails below.
  if (platform::CanOpenForRead(retired)) platform::DeleteFile(retired);
  if (!platform::CanOpenForRead(pending)) return SelfSwapResult::kNoPendingCopy;
  char digest[33];
  MD5_CTX ctx;
  if (expected_md5.empty() || !ctx.DigestFile(digest, platform::ToAnsi(pending).c_str()) ||
      !platform::EqualsNoCase(platform::FromAnsi(digest), expected_md5)) {
    platform::DeleteFile(pending);
    return SelfSwapResult::kRefused;
  }
  return platform::SwapInFile(pending, exe, retired) ? SelfSwapResult::kSwapped
                                                     : SelfSwapResult::kMoveFailed;
}
