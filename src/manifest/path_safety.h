#pragma once
// Whether a manifest entry's location stays inside its base directory.
#include <string>

class CUpdateFile;

// False when FileName is empty, or FileName or LocalPath is absolute, has a
// drive letter, climbs out with "..", or holds a NUL or control character;
// and when it names one of the updater's own files beside the executable
// (the resume file, the log, the lock), which the server must never write.
bool IsSafeEntryPath(const std::wstring& fileName, const std::wstring& localPath);
bool IsSafeEntryPath(const CUpdateFile& entry);
// A version text from the server: digits and dots only, starting with a
// digit (it ends up in file names and URLs).
bool IsSafeVersionText(const std::wstring& version);
