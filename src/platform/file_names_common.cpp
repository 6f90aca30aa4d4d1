// Which paths name one file, the same on every platform but for how a
// single name compares.
#include "platform/files.h"

namespace platform {

std::wstring FileSystemKey(const std::wstring& path) {
  const wchar_t separators[] = {L'/', kPathSeparator, L'\0'};
  std::wstring key, part;
  key.reserve(path.size());
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of(separators, start);
    if (end == std::wstring::npos) end = path.size();
    part.assign(path, start, end - start);
    // A leading separator (an absolute path) is kept as an empty first part.
    if (start == 0 || (!part.empty() && part != L".")) {
      if (start != 0) key += L'/';
      key += FileSystemName(part);
    }
    start = end + 1;
  }
  return key;
}

}  // namespace platform
