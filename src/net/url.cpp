#include "net/url.h"

#include <vector>

#include "platform/text.h"

namespace {

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// Decodes %XX escapes as bytes in the ANSI code page.
std::wstring PercentDecode(const std::wstring& text) {
  if (text.find(L'%') == std::wstring::npos) return text;
  std::string bytes = platform::ToAnsi(text);
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '%' && i + 2 < bytes.size() && HexValue(bytes[i + 1]) >= 0 &&
        HexValue(bytes[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(bytes[i + 1]) * 16 + HexValue(bytes[i + 2]));
      i += 2;
    } else {
      out += bytes[i];
    }
  }
  return platform::FromAnsi(out);
}

// Removes "." and ".." segments of an absolute path (RFC 3986, 5.2.4).
std::wstring RemoveDotSegments(const std::wstring& path) {
  std::wstring query;
  std::wstring p = path;
  size_t q = p.find(L'?');
  if (q != std::wstring::npos) {
    query = p.substr(q);
    p.resize(q);
  }
  std::vector<std::wstring> parts;
  size_t start = 1;
  bool trailing = false;
  while (start <= p.size()) {
    size_t end = p.find(L'/', start);
    if (end == std::wstring::npos) end = p.size();
    std::wstring part = p.substr(start, end - start);
    trailing = end == p.size() && (part == L"." || part == L"..");
    if (part == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (part != L".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::wstring out;
  for (const std::wstring& part : parts) out += L"/" + part;
  if (out.empty() || trailing) out += L"/";
  return out + query;
}

}  // namespace

bool ParseUrl(const std::wstring& url, ParsedUrl* out) {
  size_t b = url.find_first_not_of(L" \t\r\n");
  size_t e = url.find_last_not_of(L" \t\r\n");
  if (b == std::wstring::npos) return false;
  std::wstring u = url.substr(b, e - b + 1);
  size_t colon = u.find(L"://");
  if (colon == std::wstring::npos) return false;
  std::wstring scheme = platform::ToLowerAscii(u.substr(0, colon));
  if (scheme != L"http" && scheme != L"ftp") return false;
  size_t auth_start = colon + 3;
  size_t auth_end = u.find_first_of(L"/?#", auth_start);
  if (auth_end == std::wstring::npos) auth_end = u.size();
  std::wstring authority = u.substr(auth_start, auth_end - auth_start);
  size_t at = authority.rfind(L'@');
  if (at != std::wstring::npos) authority = authority.substr(at + 1);
  uint16_t port = scheme == L"http" ? 80 : 21;
  size_t port_colon = authority.rfind(L':');
  std::wstring host = authority;
  if (port_colon != std::wstring::npos) {
    std::wstring digits = authority.substr(port_colon + 1);
    host = authority.substr(0, port_colon);
    if (!digits.empty()) {
      long value = 0;
      for (wchar_t c : digits) {
        if (c < L'0' || c > L'9' || (value = value * 10 + (c - L'0')) > 65535) return false;
      }
      if (value == 0) return false;
      port = static_cast<uint16_t>(value);
    }
  }
  if (host.empty() || host.size() >= 1024 || host.find_first_of(L" []") != std::wstring::npos) {
    return false;
  }
  std::wstring path = u.substr(auth_end);
  size_t hash = path.find(L'#');
  if (hash != std::wstring::npos) path.resize(hash);
  if (path.empty() || path[0] != L'/') path = L"/" + path;
  path = PercentDecode(path);
  if (path.size() >= 1024) return false;
  out->scheme = scheme;
  out->host = host;
  out->port = port;
  out->path = path;
  return true;
}

std::wstring ResolveLocation(const std::wstring& base, const std::wstring& location) {
  if (location.find(L"://") != std::wstring::npos) return location;
  size_t colon = base.find(L"://");
  if (colon == std::wstring::npos) return location;
  std::wstring scheme = base.substr(0, colon);
  if (location.compare(0, 2, L"//") == 0) return scheme + L":" + location;
  size_t path_start = base.find(L'/', colon + 3);
  std::wstring origin = path_start == std::wstring::npos ? base : base.substr(0, path_start);
  if (!location.empty() && location[0] == L'/') return origin + RemoveDotSegments(location);
  std::wstring base_path = path_start == std::wstring::npos ? L"/" : base.substr(path_start);
  size_t cut = base_path.find_first_of(L"?#");
  if (cut != std::wstring::npos) base_path.resize(cut);
  base_path.resize(base_path.rfind(L'/') + 1);
  return origin + RemoveDotSegments(base_path + location);
}

std::string EncodeRequestTarget(const std::wstring& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string bytes = platform::ToAnsi(path);
  std::string out;
  out.reserve(bytes.size());
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7F || c == '%' || c == '#') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}
