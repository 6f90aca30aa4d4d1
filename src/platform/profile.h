#pragma once
// INI values with the semantics of the Windows private-profile functions.
//
// Section and key names match without regard to case. A missing file,
// section or key reads the caller's default. A value is cut to the buffer
// size less one. A write creates what is missing, replaces an existing value
// in place and leaves every other line as it was; the file is replaced
// atomically, so it is never left torn.
#include <cstddef>
#include <string>

namespace platform {

std::wstring GetProfileString(const std::wstring& section, const std::wstring& key,
                              const std::wstring& default_value, size_t buffer_size,
                              const std::wstring& path);
bool WriteProfileString(const std::wstring& section, const std::wstring& key,
                        const std::wstring& value, const std::wstring& path);

}  // namespace platform
