#include "platform/win32/link_free.h"

#include "platform/files.h"
#include "platform/win32/windows_min.h"

namespace platform {
namespace {

// Set once at start-up, before any file of the install is touched.
std::wstring g_root;

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace

void SetLinkFreeRoot(const std::wstring& dir) {
  g_root = dir;
  while (g_root.size() > 1 && IsSeparator(g_root.back())) g_root.pop_back();
}

bool CrossesReparsePoint(const std::wstring& path) {
  if (g_root.empty() || path.size() <= g_root.size() + 1 || !IsSeparator(path[g_root.size()]) ||
      CompareStringOrdinal(path.c_str(), static_cast<int>(g_root.size()), g_root.c_str(),
                           static_cast<int>(g_root.size()), TRUE) != CSTR_EQUAL) {
    return false;
  }
  for (size_t i = g_root.size() + 1; i <= path.size(); ++i) {
    if (i < path.size() && !IsSeparator(path[i])) continue;
    DWORD attributes = GetFileAttributesW(path.substr(0, i).c_str());
    // What does not exist yet cannot lead anywhere, nor can what lies below.
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      SetLastError(ERROR_ACCESS_DENIED);
      return true;
    }
  }
  return false;
}

}  // namespace platform

namespace platform {

bool CrossesLink(const std::wstring& path) { return CrossesReparsePoint(path); }

}  // namespace platform
