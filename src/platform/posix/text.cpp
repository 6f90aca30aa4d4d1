#include "platform/text.h"

#include "platform/posix/exact_text.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <climits>
#include <cstring>
#include <cwctype>
#include <string>

namespace platform {
namespace {

// Linux file systems hold UTF-8 names by convention; a C locale ("ASCII")
// would turn every Chinese name into question marks, so it counts as UTF-8.
const std::string& AnsiCharset() {
  static const std::string charset = [] {
    const char* old = setlocale(LC_CTYPE, nullptr);
    std::string saved = old ? old : "C";
    setlocale(LC_CTYPE, "");
    std::string cs = nl_langinfo(CODESET);
    setlocale(LC_CTYPE, saved.c_str());
    if (cs.empty() || cs == "ANSI_X3.4-1968" || cs == "ASCII" || cs == "US-ASCII") cs = "UTF-8";
    return cs;
  }();
  return charset;
}

bool IsUtf8(const std::string& charset) {
  return strcasecmp(charset.c_str(), "UTF-8") == 0 || strcasecmp(charset.c_str(), "UTF8") == 0;
}

// Generic iconv conversion between byte buffers. Stops at the first
// unconvertible input when |on_error| is null; otherwise skips
// |skip_unit| bytes of input and appends what |on_error| gives.
template <typename OnError>
bool Iconv(const char* to, const char* from, const char* in, size_t in_len, size_t skip_unit,
           std::string* out, OnError on_error) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  char buf[4096];
  char* src = const_cast<char*>(in);
  size_t left = in_len;
  bool ok = true;
  while (left > 0) {
    char* dst = buf;
    size_t room = sizeof(buf);
    size_t r = iconv(cd, &src, &left, &dst, &room);
    out->append(buf, dst - buf);
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      if (!on_error(src, left, out)) { ok = false; break; }
      size_t skip = std::min(skip_unit, left);
      src += skip;
      left -= skip;
    }
  }
  char* dst = buf;
  size_t room = sizeof(buf);
  iconv(cd, nullptr, nullptr, &dst, &room);
  out->append(buf, dst - buf);
  iconv_close(cd);
  return ok;
}

}  // namespace

std::string ToUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t wc : text) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = '?';
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::wstring FromUtf8(const std::string& bytes) {
  static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  std::wstring out;
  out.reserve(bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    unsigned char b = p[i];
    int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    bool ok = extra >= 0 && i + extra < n;
    uint32_t c = ok ? (extra == 0 ? b : b & (0x3Fu >> extra)) : 0;
    for (int k = 1; ok && k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) ok = false;
      else c = (c << 6) | (p[i + k] & 0x3F);
    }
    if (!ok || c < kMin[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out += L'?';
      ++i;
      continue;
    }
    out += static_cast<wchar_t>(c);
    i += extra + 1;
  }
  return out;
}

bool DecodeCharset(const std::string& bytes, const char* charset, std::wstring* out) {
  if (IsUtf8(charset)) {
    *out = FromUtf8(bytes);
    return true;
  }
  std::string utf8;
  if (!Iconv("UTF-8", charset, bytes.data(), bytes.size(), 1, &utf8,
             [](const char*, size_t, std::string*) { return false; })) {
    return false;
  }
  *out = FromUtf8(utf8);
  return true;
}

std::string EncodeCharset(const std::wstring& text, const char* charset,
                          std::string (*fallback)(wchar_t)) {
  std::string utf32(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
  std::string out;
  const char* from = sizeof(wchar_t) == 4 ? "UTF-32LE" : "UTF-16LE";
  Iconv(charset, from, utf32.data(), utf32.size(), sizeof(wchar_t), &out,
        [&](const char* src, size_t, std::string* o) {
          wchar_t wc;
          memcpy(&wc, src, sizeof(wc));
          o->append(fallback ? fallback(wc) : std::string("?"));
          return true;
        });
  return out;
}

std::string ToAnsi(const std::wstring& text) {
  const std::string& cs = AnsiCharset();
  if (IsUtf8(cs)) return ToUtf8(text);
  return EncodeCharset(text, cs.c_str(), nullptr);
}

bool ToAnsiExactly(const std::wstring& text, std::string* out) {
  const std::string& cs = AnsiCharset();
  if (IsUtf8(cs)) {
    for (wchar_t wc : text) {
      uint32_t c = static_cast<uint32_t>(wc);
      if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    }
    *out = ToUtf8(text);
    return true;
  }
  std::string utf32(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
  std::string bytes;
  const char* from = sizeof(wchar_t) == 4 ? "UTF-32LE" : "UTF-16LE";
  if (!Iconv(cs.c_str(), from, utf32.data(), utf32.size(), sizeof(wchar_t), &bytes,
             [](const char*, size_t, std::string*) { return false; })) {
    return false;
  }
  // Some charsets give two characters one spelling.
  if (FromAnsi(bytes) != text) return false;
  *out = std::move(bytes);
  return true;
}

bool CanSpellExactly(const std::wstring& path) {
  std::string spelled;
  return ToAnsiExactly(path, &spelled);
}

std::wstring FromAnsi(const std::string& bytes) {
  const std::string& cs = AnsiCharset();
  if (IsUtf8(cs)) return FromUtf8(bytes);
  std::string utf8;
  Iconv("UTF-8", cs.c_str(), bytes.data(), bytes.size(), 1, &utf8,
        [](const char*, size_t, std::string* o) {
          o->push_back('?');
          return true;
        });
  return FromUtf8(utf8);
}

}  // namespace platform
