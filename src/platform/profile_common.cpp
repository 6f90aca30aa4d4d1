// What every profile back end refuses to write.
#include "platform/profile.h"

namespace platform {

bool IsProfileText(const std::wstring& text) {
  return text.find_first_of(std::wstring(L"\r\n\0", 3)) == std::wstring::npos;
}

}  // namespace platform
