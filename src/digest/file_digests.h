#pragma once
// MD5 and SHA-256 of a whole file in one read, as the manifests carry them.
#include <string>

#include "platform/disk.h"

// Lower-case hexadecimal digests of the file at |path|; |sha256| may be
// null when only the MD5 is wanted. False when the file cannot be opened
// or read (the outputs are then untouched).
bool FileDigests(platform::Disk& disk, const std::wstring& path, std::wstring* md5, std::wstring* sha256);
