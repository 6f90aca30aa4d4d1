#include "manifest/update_file.h"

#include <cstdio>

#include "digest/md5.h"
#include "platform/file.h"
#include "platform/text.h"

namespace {

constexpr size_t kMaxFileName = 255;
// The HRESULT forms of "file not found" and "path not found".
constexpr uint32_t kFileNotFound = 0x80070002u;
constexpr uint32_t kPathNotFound = 0x80070003u;

std::wstring LastComponent(const std::wstring& path) {
  std::wstring::size_type cut = path.find_last_of(L"/\\");
  std::wstring name = cut == std::wstring::npos ? path : path.substr(cut + 1);
  if (name.size() > kMaxFileName) name.resize(kMaxFileName);
  return name;
}

}  // namespace

std::wstring VersionText(uint32_t ms, uint32_t ls) {
  return platform::Format(L"%u.%u.%u.%u", ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF);
}

CUpdateFile::CUpdateFile(const std::wstring& fullPath) : FullPath(fullPath) {}

CUpdateFile::~CUpdateFile() = default;

bool CUpdateFile::ExamineFile() {
  bool result = false;
  platform::File file;
  if (file.Open(FullPath, platform::File::kRead)) {
    file.Close();
    uint64_t size = 0;
    if (platform::GetFileSize(FullPath, &size)) Length = static_cast<int64_t>(size);
    FileName = LastComponent(FullPath);
    if (GetVersionInfo(FullPath, &FixedInfo) == S_OK_STATUS) {
      FileVersion = VersionText(FixedInfo.dwFileVersionMS, FixedInfo.dwFileVersionLS);
      ProductVersion = VersionText(FixedInfo.dwProductVersionMS, FixedInfo.dwProductVersionLS);
      result = true;
    }
  }
  if (GetLastWriteTime(FullPath, &FileDate) == S_OK_STATUS) result = true;
  return result;
}

bool CUpdateFile::ReadLocalFile() {
  if (FullPath.empty()) return false;
  bool result = ExamineFile();
  char digest[33];
  MD5_CTX ctx;
  if (ctx.DigestFile(digest, FullPath)) {
    Md5 = platform::FromAnsi(digest);
  }
  return result;
}

bool CUpdateFile::NeedsUpdate(bool existingOnly) {
  // One open answers both "does it exist" and "when was it written" for the
  // common case; the version resource is consulted only when the time fails.
  FILETIME local;
  uint32_t status = GetLastWriteTime(FullPath, &local);
  // A lookup that found nothing there needs no second one: a manifest may
  // list hundreds of thousands of files not installed yet.
  const bool missing = status == kFileNotFound || status == kPathNotFound;
  if (status != S_OK_STATUS && (missing || !FileExists(FullPath))) {
    NeedUpdate = true;
    return NeedUpdate;
  }
  if (existingOnly) return NeedUpdate;
  VS_FIXEDFILEINFO info;
  bool examined = status == S_OK_STATUS || GetVersionInfo(FullPath, &info) == S_OK_STATUS;
  if (examined && platform::CompareFileTime(local, FileDate) != 0) NeedUpdate = true;
  return NeedUpdate;
}

bool CUpdateFile::TargetsSystemDirectory() const {
  return platform::EqualsNoCase(InstallDir, L"WINDOWSDIR") || platform::EqualsNoCase(InstallDir, L"SYSTEMDIR");
}

bool CUpdateFile::SameContents(const CUpdateFile& other) const {
  return Length == other.Length && platform::CompareFileTime(FileDate, other.FileDate) == 0 &&
         platform::EqualsNoCase(Md5, other.Md5) && platform::EqualsNoCase(Sha256, other.Sha256);
}

uint32_t CUpdateFile::GetVersionInfo(const std::wstring& path, VS_FIXEDFILEINFO* info) {
  return ReadPeVersion(path, info) ? S_OK_STATUS : E_FAIL_STATUS;
}

uint32_t CUpdateFile::GetLastWriteTime(const std::wstring& path, FILETIME* time) {
  return platform::GetLastWriteTime(path, time) ? S_OK_STATUS : platform::LastErrorStatus();
}

bool CUpdateFile::FileExists(const std::wstring& path) { return platform::CanOpenForRead(path); }

int CUpdateFile::CompareFiles(const std::wstring& pathA, const std::wstring& pathB) {
  VS_FIXEDFILEINFO a, b;
  if (GetVersionInfo(pathA, &a) == S_OK_STATUS && GetVersionInfo(pathB, &b) == S_OK_STATUS) {
    if (a.dwFileVersionMS != b.dwFileVersionMS) return a.dwFileVersionMS > b.dwFileVersionMS ? 1 : 2;
    if (a.dwFileVersionLS != b.dwFileVersionLS) return a.dwFileVersionLS > b.dwFileVersionLS ? 1 : 2;
    return 3;
  }
  FILETIME ta, tb;
  uint32_t status = GetLastWriteTime(pathA, &ta);
  if (status == S_OK_STATUS) status = GetLastWriteTime(pathB, &tb);
  if (status != S_OK_STATUS) {
    ReportError(status);
    return 0;
  }
  int order = platform::CompareFileTime(ta, tb);
  return order > 0 ? 1 : order < 0 ? 2 : 3;
}

void CUpdateFile::ReportError(uint32_t status) {
  printf("%s\n", platform::ToAnsi(platform::StatusMessage(status)).c_str());
}
