#pragma once
// Swapping a new copy of the running updater in: at start-up for a copy a
// previous run left behind, and during the update. The copy is trusted only
// when its digest equals the one recorded when it was verified; the
// executable is never left missing or without its mode.
#include <string>
#include <vector>

#include "platform/disk.h"

enum class SelfSwapResult {
  kNoPendingCopy,  // nothing to swap
  kSwapped,        // |exe| is the new copy, the previous one is |exe| + ".old"
  kRefused,        // the copy did not match |expected_md5|: it is deleted
  kMoveFailed,     // a move failed: |exe| is as it was, the copy waits
};

// |exe| is the running executable, |pending| its new copy; an empty
// |expected_md5| trusts nothing. A leftover |exe| + ".old" is deleted first.
SelfSwapResult SwapInPendingCopy(platform::Disk& disk, const std::wstring& exe, const std::wstring& pending,
                                 const std::wstring& expected_md5);

// The copies of |exe| a download left for versions below |recorded|, newest
// first, without those still being downloaded. A run whose swap failed may
// have gone on to record a later version that left the updater alone.
std::vector<std::wstring> EarlierPendingCopies(platform::Disk& disk, const std::wstring& exe, int recorded);
