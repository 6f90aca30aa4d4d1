// Text helpers that are the same on every platform.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/text.h"

namespace platform {
namespace {

template <typename Char>
int64_t LeadingDigits(const Char* p, bool clamp32) {
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  // Saturates long before overflowing: 20 digits of 9 stay far below the cap.
  const int64_t cap = clamp32 ? int64_t{1} << 32 : INT64_MAX / 10 - 10;
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value < cap) value = value * 10 + (*p - '0');
  }
  if (negative) value = -value;
  if (clamp32) {
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
  }
  return value;
}

void AppendPadded(std::wstring* out, const std::wstring& text, int width, bool zero,
                  bool left) {
  int pad = width - static_cast<int>(text.size());
  if (pad <= 0) {
    *out += text;
    return;
  }
  if (left) {
    *out += text;
    out->append(pad, L' ');
  } else if (zero && !text.empty() && text[0] == L'-') {
    *out += L'-';
    out->append(pad, L'0');
    out->append(text, 1, std::wstring::npos);
  } else {
    out->append(pad, zero ? L'0' : L' ');
    *out += text;
  }
}

std::wstring Widen(const char* ascii) { return std::wstring(ascii, ascii + strlen(ascii)); }

}  // namespace

int32_t LeadingInt(const std::wstring& text) {
  return static_cast<int32_t>(LeadingDigits(text.c_str(), true));
}
int32_t LeadingInt(const std::string& text) {
  return static_cast<int32_t>(LeadingDigits(text.c_str(), true));
}
int64_t LeadingInt64(const std::string& text) { return LeadingDigits(text.c_str(), false); }

std::wstring FormatV(const wchar_t* fmt, va_list args) {
  std::wstring out;
  for (const wchar_t* p = fmt; *p; ++p) {
    if (*p != L'%') {
      out += *p;
      continue;
    }
    ++p;
    if (*p == L'%') {
      out += L'%';
      continue;
    }
    bool left = false, zero = false;
    for (; *p == L'-' || *p == L'0'; ++p) (*p == L'-' ? left : zero) = true;
    int width = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p) width = width * 10 + (*p - L'0');
    int longs = 0;
    for (; *p == L'l'; ++p) ++longs;
    char num[32];
    switch (*p) {
      case L's': {
        const wchar_t* s = va_arg(args, const wchar_t*);
        AppendPadded(&out, s ? s : L"(null)", width, false, left);
        break;
      }
      case L'c':
        AppendPadded(&out, std::wstring(1, static_cast<wchar_t>(va_arg(args, int))), width, false,
                     left);
        break;
      case L'd':
      case L'i':
        if (longs >= 2) snprintf(num, sizeof(num), "%lld", va_arg(args, long long));
        else if (longs == 1) snprintf(num, sizeof(num), "%ld", va_arg(args, long));
        else snprintf(num, sizeof(num), "%d", va_arg(args, int));
        AppendPadded(&out, Widen(num), width, zero, left);
        break;
      case L'u':
      case L'x':
      case L'X': {
        const char* f = *p == L'u' ? "%llu" : *p == L'x' ? "%llx" : "%llX";
        unsigned long long v = longs >= 2   ? va_arg(args, unsigned long long)
                               : longs == 1 ? va_arg(args, unsigned long)
                                            : va_arg(args, unsigned);
        snprintf(num, sizeof(num), f, v);
        AppendPadded(&out, Widen(num), width, zero, left);
        break;
      }
      case 0:
        return out;
      default:
        out += *p;
    }
  }
  return out;
}

std::wstring Format(const wchar_t* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::wstring out = FormatV(fmt, args);
  va_end(args);
  return out;
}

std::wstring ToUpperAscii(std::wstring text) {
  for (auto& c : text) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 32);
  }
  return text;
}

std::wstring ToLowerAscii(std::wstring text) {
  for (auto& c : text) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
  }
  return text;
}

namespace {

wchar_t LowerAscii(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; }

// Without copies: manifests compare names and keywords per entry.
bool SameNoCase(const wchar_t* a, size_t a_size, const wchar_t* b, size_t b_size) {
  if (a_size != b_size) return false;
  for (size_t i = 0; i < a_size; ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) {
  return SameNoCase(a.data(), a.size(), b.data(), b.size());
}

bool EqualsNoCase(const std::wstring& a, const wchar_t* b) {
  return SameNoCase(a.data(), a.size(), b, std::char_traits<wchar_t>::length(b));
}

bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace platform
