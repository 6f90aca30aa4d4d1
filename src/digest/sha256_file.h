#pragma once
// SHA-256 of a whole file, as the manifests' Sha256 element carries it.
#include <string>

namespace platform {
class Sha256;
}

// Feeds the whole file at |path| to |sha|, in chunks; false when it cannot
// be opened or read.
bool FeedFile(const std::wstring& path, platform::Sha256* sha);

// 64 lower-case hexadecimal digits into |hex|. False when the file cannot be
// opened or read (|hex| is then untouched). Reads in chunks.
bool Sha256OfFile(const std::wstring& path, std::wstring* hex);
