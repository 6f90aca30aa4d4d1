#include "platform/text.h"

#include <cstring>

#include "platform/win32/windows_min.h"

namespace platform {
namespace {

std::string Narrow(const std::wstring& text, UINT code_page) {
  if (text.empty()) return std::string();
  int n = WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

std::wstring Widen(const std::string& bytes, UINT code_page, DWORD flags) {
  if (bytes.empty()) return std::wstring();
  int n = MultiByteToWideChar(code_page, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(code_page, flags, bytes.data(), static_cast<int>(bytes.size()), &out[0], n);
  return out;
}

UINT CodePage(const char* charset) {
  if (!_stricmp(charset, "UTF-8") || !_stricmp(charset, "UTF8")) return CP_UTF8;
  if (!_stricmp(charset, "GB2312") || !_stricmp(charset, "GBK") || !_stricmp(charset, "CP936")) return 936;
  return 0;
}

}  // namespace

std::string ToAnsi(const std::wstring& text) { return Narrow(text, CP_ACP); }
std::wstring FromAnsi(const std::string& bytes) { return Widen(bytes, CP_ACP, 0); }
// Every file operation takes the wide name.
bool CanSpellExactly(const std::wstring&) { return true; }
std::string ToUtf8(const std::wstring& text) { return Narrow(text, CP_UTF8); }
std::wstring FromUtf8(const std::string& bytes) { return Widen(bytes, CP_UTF8, 0); }

bool DecodeCharset(const std::string& bytes, const char* charset, std::wstring* out) {
  UINT cp = CodePage(charset);
  if (!cp) return false;
  if (!bytes.empty() &&
      MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0) <= 0) {
    return false;
  }
  *out = Widen(bytes, cp, 0);
  return true;
}

std::string EncodeCharset(const std::wstring& text, const char* charset, std::string (*fallback)(wchar_t)) {
  UINT cp = CodePage(charset);
  std::string out;
  for (wchar_t c : text) {
    char buf[8];
    BOOL defaulted = FALSE;
    int n = WideCharToMultiByte(cp, cp == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS, &c, 1, buf, sizeof(buf), nullptr,
                                cp == CP_UTF8 ? nullptr : &defaulted);
    if (n <= 0 || defaulted) out += fallback ? fallback(c) : std::string("?");
    else out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

}  // namespace platform
