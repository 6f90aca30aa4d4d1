#pragma once
// Pending copies that interrupted downloads kept for a later attempt.
#include <string>

// Removes, below |dir|, every progress record and the pending copy it
// belongs to: once a version is recorded no attempt will take them up.
void RemoveKeptDownloads(const std::wstring& dir);
