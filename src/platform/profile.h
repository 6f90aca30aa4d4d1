#pragma once
// INI values with the semantics of the Windows private-profile functions.
//
// Section and key names match without regard to case. A missing file,
// section or key reads the caller's default. A value is cut to the buffer
// size less one. A write creates what is missing, replaces an existing value
// in place and leaves every other line as it was; the file is replaced
// atomically, so it is never left torn. A write is refused when the file
// has no write permission, and when a name or value holds CR, LF or NUL:
// those would make lines of their own.
#include <cstddef>
#include <string>

namespace platform {

std::wstring GetProfileString(const std::wstring& section, const std::wstring& key,
                              const std::wstring& default_value, size_t buffer_size,
                              const std::wstring& path);
// Whether |text| can stand as a section name, key or value: no CR, LF, NUL.
bool IsProfileText(const std::wstring& text);

bool WriteProfileString(const std::wstring& section, const std::wstring& key,
                        const std::wstring& value, const std::wstring& path);

}  // namespace platform
