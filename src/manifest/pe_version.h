#pragma once
// The fixed part of a Windows version resource, read from PE files on any
// platform so that manifests built on Linux carry the game's versions.
#include <cstdint>
#include <string>

struct VS_FIXEDFILEINFO {
  uint32_t dwSignature = 0;
  uint32_t dwStrucVersion = 0;
  uint32_t dwFileVersionMS = 0;
  uint32_t dwFileVersionLS = 0;
  uint32_t dwProductVersionMS = 0;
  uint32_t dwProductVersionLS = 0;
  uint32_t dwFileFlagsMask = 0;
  uint32_t dwFileFlags = 0;
  uint32_t dwFileOS = 0;
  uint32_t dwFileType = 0;
  uint32_t dwFileSubtype = 0;
  uint32_t dwFileDateMS = 0;
  uint32_t dwFileDateLS = 0;
};

// Reads the VS_FIXEDFILEINFO of the first version resource of a 32- or
// 64-bit PE file. False for anything else (not a PE file, no version
// resource, a damaged one); every offset is checked against the file.
bool ReadPeVersion(const std::wstring& path, VS_FIXEDFILEINFO* info);
