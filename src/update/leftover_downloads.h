#pragma once
// Pending copies that interrupted downloads kept for a later attempt.
#include <string>

#include "platform/disk.h"

// Removes, below |dir|, every progress record of a version up to
// |upToVersion| and the pending copy it belongs to: once a version is
// recorded no attempt will take them up. Kept copies of later versions
// stay for the versions still to come.
void RemoveKeptDownloads(platform::Disk& disk, const std::wstring& dir, int upToVersion);
