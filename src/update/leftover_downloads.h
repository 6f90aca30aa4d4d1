#pragma once
// Pending copies that interrupted downloads kept for a later attempt, and
// files that gave way to a directory.
#include <string>

#include "platform/disk.h"

// Removes, below |dir|, every progress record of a version up to
// |upToVersion| and the pending copy it belongs to, and every file set
// aside for such a version: once a version is recorded no attempt will
// take them up. Kept copies of later versions stay for the versions still
// to come.
void RemoveKeptDownloads(platform::Disk& disk, const std::wstring& dir, int upToVersion);
// Removes the directory |dir| when nothing in it, at any depth, is other
// than pending copies, progress records, files set aside and directories
// holding only those. Otherwise removes nothing, names in |foreign| the
// first thing that is not ours, and returns false.
bool RemoveLeftoverTree(platform::Disk& disk, const std::wstring& dir, std::wstring* foreign);
