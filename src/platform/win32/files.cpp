#include "platform/files.h"

#include "platform/text.h"
#include "platform/win32/link_free.h"
#include "platform/win32/windows_min.h"

namespace platform {
namespace {

HANDLE OpenForRead(const std::wstring& path) {
  if (CrossesReparsePoint(path)) return INVALID_HANDLE_VALUE;
  return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

std::wstring StripTrailingSeparator(std::wstring dir) {
  if (!dir.empty() && (dir.back() == L'\\' || dir.back() == L'/')) dir.pop_back();
  return dir;
}

}  // namespace

const wchar_t kPathSeparator = L'\\';

std::wstring FileSystemName(const std::wstring& name) {
  size_t keep = name.find_last_not_of(L". ");
  // "." and ".." keep their dots: they are not names.
  std::wstring trimmed = keep == std::wstring::npos ? name : name.substr(0, keep + 1);
  if (trimmed.empty()) return trimmed;
  std::wstring folded(trimmed.size(), L'\0');
  int n = LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, trimmed.data(), static_cast<int>(trimmed.size()),
                       &folded[0], static_cast<int>(folded.size()));
  return n > 0 ? folded.substr(0, static_cast<size_t>(n)) : trimmed;
}

bool IsMissing(const std::wstring& path) {
  if (CrossesReparsePoint(path)) return false;
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool CanOpenForRead(const std::wstring& path) {
  HANDLE h = OpenForRead(path);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

bool IsDirectory(const std::wstring& path) {
  if (CrossesReparsePoint(path)) return false;
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool GetLastWriteTime(const std::wstring& path, FILETIME* time) {
  HANDLE h = OpenForRead(path);
  if (h == INVALID_HANDLE_VALUE) return false;
  ::FILETIME created, accessed, written;
  BOOL ok = GetFileTime(h, &created, &accessed, &written);
  DWORD error = GetLastError();
  CloseHandle(h);
  SetLastError(error);
  if (ok) *time = FILETIME{written.dwLowDateTime, written.dwHighDateTime};
  return ok != FALSE;
}

bool GetFileSize(const std::wstring& path, uint64_t* size) {
  if (CrossesReparsePoint(path)) return false;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  *size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  return true;
}

bool SetAllFileTimes(const std::wstring& path, FILETIME time) {
  if (CrossesReparsePoint(path)) return false;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  ::FILETIME t{time.dwLowDateTime, time.dwHighDateTime};
  BOOL ok = SetFileTime(h, &t, &t, &t);
  CloseHandle(h);
  return ok != FALSE;
}

bool DeleteFile(const std::wstring& path) {
  return !CrossesReparsePoint(path) && DeleteFileW(path.c_str()) != FALSE;
}

bool ListDirectory(const std::wstring& dir, std::vector<DirectoryEntry>* entries) {
  entries->clear();
  if (CrossesReparsePoint(dir)) return false;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((StripTrailingSeparator(dir) + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
    DirectoryEntry entry;
    entry.name = name;
    entry.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entries->push_back(entry);
  } while (FindNextFileW(find, &data));
  // A listing cut short by an error is no listing: a name it missed would
  // count as absent.
  const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(find);
  return complete;
}

bool ListAllNames(const std::wstring& dir, std::vector<std::wstring>* names, bool* missing) {
  names->clear();
  *missing = false;
  if (CrossesReparsePoint(dir)) return false;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((StripTrailingSeparator(dir) + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    *missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return false;
  }
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names->push_back(name);
  } while (FindNextFileW(find, &data));
  // A listing cut short by an error is no listing: a name it missed would
  // count as absent.
  const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(find);
  return complete;
}

bool CreateDirectory(const std::wstring& path) {
  return !CrossesReparsePoint(path) && CreateDirectoryW(path.c_str(), nullptr) != FALSE;
}

bool RemoveDirectory(const std::wstring& path) {
  return !CrossesReparsePoint(path) && RemoveDirectoryW(path.c_str()) != FALSE;
}

bool FreeDiskBytes(const std::wstring& dir, uint64_t* bytes) {
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(dir.c_str(), &available, nullptr, nullptr)) return false;
  *bytes = available.QuadPart;
  return true;
}

// Moves are always written through: a later barrier cannot reach a
// directory entry here.
bool ReplaceFile(const std::wstring& from, const std::wstring& to, bool) {
  if (CrossesReparsePoint(from) || CrossesReparsePoint(to)) return false;
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  if (MoveFileExW(from.c_str(), to.c_str(), flags)) return true;
  // Windows will not replace a read-only file, and game files copied from
  // a disc are read-only: the new file takes its place all the same.
  const DWORD error = GetLastError();
  const DWORD attributes = GetFileAttributesW(to.c_str());
  if (error != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
      !(attributes & FILE_ATTRIBUTE_READONLY) || (attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      !SetFileAttributesW(to.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
    SetLastError(error);
    return false;
  }
  if (MoveFileExW(from.c_str(), to.c_str(), flags)) return true;
  const DWORD again = GetLastError();
  SetFileAttributesW(to.c_str(), attributes);  // the old file stays as it was
  SetLastError(again);
  return false;
}

bool MoveFileNoReplace(const std::wstring& from, const std::wstring& to, bool) {
  if (CrossesReparsePoint(from) || CrossesReparsePoint(to)) return false;
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool SwapInFile(const std::wstring& from, const std::wstring& to, const std::wstring& retired) {
  // A running executable can be renamed but not replaced.
  if (!MoveFileNoReplace(to, retired)) return false;
  if (MoveFileNoReplace(from, to)) return true;
  MoveFileNoReplace(retired, to);
  return false;
}

bool MakeDurable(const std::vector<std::wstring>& paths) {
  bool ok = true;
  for (const std::wstring& path : paths) {
    if (CrossesReparsePoint(path)) {
      ok = false;
      continue;
    }
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ok = h != INVALID_HANDLE_VALUE && FlushFileBuffers(h) && ok;
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  return ok;
}

std::wstring CreateTempFile(const std::wstring& prefix) {
  wchar_t dir[MAX_PATH + 1], name[MAX_PATH + 1];
  if (!GetTempPathW(MAX_PATH, dir) || !GetTempFileNameW(dir, prefix.c_str(), 0, name)) return std::wstring();
  return name;
}

std::wstring ModulePath() {
  wchar_t path[MAX_PATH + 1] = {}, long_path[MAX_PATH + 1] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (GetLongPathNameW(path, long_path, MAX_PATH)) return long_path;
  return path;
}

std::wstring ModuleDir() {
  std::wstring path = ModulePath();
  std::wstring::size_type cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

std::wstring WindowsDirectory() {
  wchar_t dir[MAX_PATH + 1] = {};
  GetWindowsDirectoryW(dir, MAX_PATH);
  return StripTrailingSeparator(dir);
}

std::wstring SystemDirectory() {
  wchar_t dir[MAX_PATH + 1] = {};
  GetSystemDirectoryW(dir, MAX_PATH);
  return StripTrailingSeparator(dir);
}

std::wstring NativeSeparators(std::wstring path) {
  for (auto& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

uint32_t LastErrorStatus() {
  DWORD error = GetLastError();
  return error ? HRESULT_FROM_WIN32(error) : 0x80004005u;
}

std::wstring StatusMessage(uint32_t status) {
  wchar_t text[1024] = {};
  FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, status,
                 MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, 1024, nullptr);
  return text;
}

}  // namespace platform
