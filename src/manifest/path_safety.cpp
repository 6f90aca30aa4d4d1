#include "manifest/path_safety.h"

#include "manifest/update_file.h"

namespace {

bool SafeRelative(const std::wstring& path, bool allow_empty) {
  if (path.empty()) return allow_empty;
  if (path[0] == L'/' || path[0] == L'\\') return false;                 // absolute
  if (path.size() >= 2 && path[1] == L':') return false;                 // drive letter
  for (wchar_t c : path) {
    if (c < 0x20 || c == 0x7F) return false;                             // NUL, control
  }
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of(L"/\\", start);
    if (end == std::wstring::npos) end = path.size();
    std::wstring part = path.substr(start, end - start);
    // Windows ignores trailing dots and blanks: "..." and ".. " climb too.
    size_t keep = part.find_last_not_of(L". ");
    if (!part.empty() && keep == std::wstring::npos && part.find(L"..") != std::wstring::npos) {
      return false;
    }
    if (part.find(L':') != std::wstring::npos) return false;             // streams, devices
    start = end + 1;
  }
  return true;
}

}  // namespace

bool IsSafeEntryPath(const std::wstring& fileName, const std::wstring& localPath) {
  return SafeRelative(fileName, false) && SafeRelative(localPath, true) &&
         fileName.back() != L'/' && fileName.back() != L'\\';
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
