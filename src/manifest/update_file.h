#pragma once
// One file entry of a version's manifest.
#include <cstdint>
#include <string>

#include "manifest/pe_version.h"
#include "platform/files.h"

using platform::FILETIME;

// HRESULT-style results of the file queries.
constexpr uint32_t S_OK_STATUS = 0;
constexpr uint32_t E_FAIL_STATUS = 0x80004005u;

class CUpdateFile {
 public:
  explicit CUpdateFile(const std::wstring& fullPath);
  virtual ~CUpdateFile();

  // Fills the entry from the file at FullPath: length, name, version
  // resource, last-write time and digest. True when the version resource
  // or the last-write time could be read.
  bool ReadLocalFile();
  // Marks the entry when the file is missing, or (unless |existingOnly|)
  // when its last-write time differs from FileDate. Never clears the mark.
  bool NeedsUpdate(bool existingOnly);

  // InstallDir WINDOWSDIR or SYSTEMDIR: outside the install on Windows.
  bool TargetsSystemDirectory() const;
  // Whether |other| lists the same contents: length, time and digests.
  bool SameContents(const CUpdateFile& other) const;

  static uint32_t GetVersionInfo(const std::wstring& path, VS_FIXEDFILEINFO* info);
  static uint32_t GetLastWriteTime(const std::wstring& path, FILETIME* time);
  static bool FileExists(const std::wstring& path);
  // 1 when A is newer, 2 when B is newer, 3 when equal, 0 on failure.
  static int CompareFiles(const std::wstring& pathA, const std::wstring& pathB);
  static void ReportError(uint32_t status);

  VS_FIXEDFILEINFO FixedInfo;
  int64_t Length = 0;
  std::wstring FileName;
  std::wstring FileVersion;
  std::wstring ProductVersion;
  std::wstring InstallDir = L"CURRENTDIR";
  std::wstring LocalPath;
  FILETIME FileDate;
  std::wstring FullPath;
  std::wstring Md5;
  // SHA-256 of the contents in hexadecimal, from signed releases only.
  std::wstring Sha256;
  // The file's chunk index on the server, a name in the entry's own
  // directory, and the index's SHA-256 in hexadecimal; both empty when the
  // file has no index.
  std::wstring Chunks;
  std::wstring ChunksSha256;
  bool NeedUpdate = false;

 private:
  // Steps shared by ReadLocalFile and NeedsUpdate: length, name, version
  // resource and time; true when the version or the time could be read.
  bool ExamineFile();
};

// "%u.%u.%u.%u" of the two words of a version.
std::wstring VersionText(uint32_t ms, uint32_t ls);
