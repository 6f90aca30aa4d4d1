#pragma once
// Wide strings inside the system, the "ANSI code page" outside it.
#include <cstdarg>
#include <cstdint>
#include <string>

namespace platform {

// The code page used for file names, host names, header lines and log lines:
// the locale's charset (normally UTF-8). Characters it cannot represent
// become '?'; a character is never cut in half.
std::string ToAnsi(const std::wstring& text);
std::wstring FromAnsi(const std::string& bytes);
// Whether the file system holds |path| under exactly this name. POSIX
// names are bytes in the locale's charset, which may lack characters (GBK
// has no emoji): a lossy spelling would name another file. Windows takes
// wide names as they are.
bool CanSpellExactly(const std::wstring& path);

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& bytes);

// Converts |bytes| in |charset| (an iconv name) to a wide string; false when
// the charset is unknown or the bytes are not valid in it.
bool DecodeCharset(const std::string& bytes, const char* charset, std::wstring* out);
// Encodes into |charset|; characters it lacks are passed to |fallback|,
// whose result (ASCII) is written instead.
std::string EncodeCharset(const std::wstring& text, const char* charset,
                          std::string (*fallback)(wchar_t));

// printf-like formatting for the system's wide format strings: %s takes a
// const wchar_t*, %d an int, %u an unsigned, %c a character, %llu/%lld 64-bit
// values, %x hexadecimal; '0' flag and width are honoured; %% is a percent.
std::wstring Format(const wchar_t* fmt, ...);
std::wstring FormatV(const wchar_t* fmt, va_list args);

// Leading-digits integer conversion of version texts and manifest numbers:
// blanks, an optional sign, digits up to the first other character; no
// digits gives 0; clamped to the signed 32-bit range.
int32_t LeadingInt(const std::wstring& text);
int32_t LeadingInt(const std::string& text);
int64_t LeadingInt64(const std::string& text);

std::wstring ToUpperAscii(std::wstring text);
std::wstring ToLowerAscii(std::wstring text);
bool EqualsNoCase(const std::wstring& a, const std::wstring& b);
bool EqualsNoCase(const std::wstring& a, const wchar_t* b);
bool EndsWith(const std::wstring& text, const std::wstring& suffix);

}  // namespace platform
