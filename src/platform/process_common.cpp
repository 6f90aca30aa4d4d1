// What every process back end shares.
#include "platform/process.h"

#include "platform/text.h"

namespace platform {

bool IsWebAddress(const std::wstring& url) {
  const std::wstring lower = ToLowerAscii(url.substr(0, 8));
  if (lower.compare(0, 7, L"http://") != 0 && lower != L"https://") return false;
  for (wchar_t c : url) {
    if (c <= 0x20 || c == 0x7F) return false;
  }
  return true;
}

}  // namespace platform
