#include "platform/profile.h"

#include <vector>

#include "platform/win32/windows_min.h"

namespace platform {

std::wstring GetProfileString(const std::wstring& section, const std::wstring& key,
                              const std::wstring& default_value, size_t buffer_size,
                              const std::wstring& path) {
  if (buffer_size == 0) return std::wstring();
  std::vector<wchar_t> buffer(buffer_size, L'\0');
  GetPrivateProfileStringW(section.c_str(), key.c_str(), default_value.c_str(), buffer.data(),
                           static_cast<DWORD>(buffer_size), path.c_str());
  return buffer.data();
}

bool WriteProfileString(const std::wstring& section, const std::wstring& key, const std::wstring& value,
                        const std::wstring& path) {
  // The profile API would write a line break into the file as it stands.
  if (!IsProfileText(section) || !IsProfileText(key) || !IsProfileText(value)) return false;
  // Windows refuses a read-only file; not every implementation of the API does.
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) return false;
  return WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), path.c_str()) != FALSE;
}

}  // namespace platform
