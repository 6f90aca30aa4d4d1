#include "manifest/path_safety.h"

#include "manifest/update_file.h"
#include "platform/text.h"

namespace {

const wchar_t* const kOwnFiles[] = {L"UpdateTemp.ini", L"UpdateLog.log", L"UpdateTemp.lock"};

// The length of |text|[start, end) without the trailing dots and blanks
// Windows ignores.
size_t WindowsNameLength(const std::wstring& text, size_t start, size_t end) {
  while (end > start && (text[end - 1] == L'.' || text[end - 1] == L' ')) --end;
  return end - start;
}

// A short alias ("UPDATE~1.INI") may name the same file as a long name.
bool MayBeAliasOf(const std::wstring& name, const std::wstring& own) {
  size_t tilde = name.find(L'~');
  if (tilde == std::wstring::npos || name.size() > 12) return false;
  size_t dot = name.rfind(L'.'), own_dot = own.rfind(L'.');
  return dot != std::wstring::npos && platform::EqualsNoCase(name.substr(dot), own.substr(own_dot));
}

// Whether the entry lands directly beside the executable on one of its own
// files; "." and empty components do not move it.
bool NamesOwnFile(const std::wstring& fileName, const std::wstring& localPath) {
  const std::wstring joined = localPath + L"/" + fileName;
  size_t last_start = 0, last_size = 0;
  size_t start = 0, parts = 0;
  while (start <= joined.size()) {
    size_t end = joined.find_first_of(L"/\\", start);
    if (end == std::wstring::npos) end = joined.size();
    const size_t size = WindowsNameLength(joined, start, end);
    if (size != 0) {
      last_start = start;
      last_size = size;
      ++parts;
    }
    start = end + 1;
  }
  if (parts != 1) return false;
  const std::wstring last = joined.substr(last_start, last_size);
  for (const wchar_t* own : kOwnFiles) {
    if (platform::EqualsNoCase(last, own) || MayBeAliasOf(last, own)) return true;
  }
  return false;
}

bool SafeRelative(const std::wstring& path, bool allow_empty) {
  if (path.empty()) return allow_empty;
  if (path[0] == L'/' || path[0] == L'\\') return false;                 // absolute
  if (path.size() >= 2 && path[1] == L':') return false;                 // drive letter
  for (wchar_t c : path) {
    if (c < 0x20 || c == 0x7F) return false;                             // NUL, control
  }
  if (path.find(L':') != std::wstring::npos) return false;               // streams, devices
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of(L"/\\", start);
    if (end == std::wstring::npos) end = path.size();
    // Windows ignores trailing dots and blanks: "..." and ".. " climb too.
    if (WindowsNameLength(path, start, end) == 0) {
      for (size_t i = start; i + 1 < end; ++i) {
        if (path[i] == L'.' && path[i + 1] == L'.') return false;
      }
    }
    start = end + 1;
  }
  return true;
}

}  // namespace

bool IsSafeEntryPath(const std::wstring& fileName, const std::wstring& localPath) {
  return SafeRelative(fileName, false) && SafeRelative(localPath, true) &&
         fileName.back() != L'/' && fileName.back() != L'\\' && !NamesOwnFile(fileName, localPath);
}

bool IsSafeEntryPath(const CUpdateFile& entry) {
  return IsSafeEntryPath(entry.FileName, entry.LocalPath);
}

bool IsSafeVersionText(const std::wstring& version) {
  if (version.empty() || version[0] < L'0' || version[0] > L'9') return false;
  for (wchar_t c : version) {
    if (c != L'.' && (c < L'0' || c > L'9')) return false;
  }
  return true;
}
