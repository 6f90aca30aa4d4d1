#include "net/url.h"

#include "platform/text.h"

namespace {

const char kHex[] = "0123456789ABCDEF";

bool IsHex(wchar_t c) {
  return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

bool IsAlpha(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

void AppendEscape(std::string* out, unsigned char c) {
  *out += '%';
  *out += kHex[c >> 4];
  *out += kHex[c & 15];
}

// The five components of a URI reference (RFC 3986, section 3).
struct Reference {
  bool has_scheme = false, has_authority = false, has_query = false;
  std::wstring scheme, authority, path, query;
};

Reference Split(const std::wstring& text) {
  Reference r;
  std::wstring rest = text.substr(0, text.find(L'#'));
  if (!rest.empty() && IsAlpha(rest[0])) {
    size_t i = 1;
    while (i < rest.size() && (IsAlpha(rest[i]) || (rest[i] >= L'0' && rest[i] <= L'9') ||
                               rest[i] == L'+' || rest[i] == L'-' || rest[i] == L'.')) {
      ++i;
    }
    if (i < rest.size() && rest[i] == L':') {
      r.has_scheme = true;
      r.scheme = rest.substr(0, i);
      rest.erase(0, i + 1);
    }
  }
  if (rest.compare(0, 2, L"//") == 0) {
    size_t end = rest.find_first_of(L"/?", 2);
    if (end == std::wstring::npos) end = rest.size();
    r.has_authority = true;
    r.authority = rest.substr(2, end - 2);
    rest.erase(0, end);
  }
  size_t q = rest.find(L'?');
  if (q != std::wstring::npos) {
    r.has_query = true;
    r.query = rest.substr(q + 1);
    rest.resize(q);
  }
  r.path = rest;
  return r;
}

// RFC 3986, section 5.2.4.
std::wstring RemoveDotSegments(std::wstring in) {
  std::wstring out;
  while (!in.empty()) {
    if (in.compare(0, 3, L"../") == 0) {
      in.erase(0, 3);
    } else if (in.compare(0, 2, L"./") == 0) {
      in.erase(0, 2);
    } else if (in.compare(0, 3, L"/./") == 0) {
      in.erase(0, 2);
    } else if (in == L"/.") {
      in = L"/";
    } else if (in.compare(0, 4, L"/../") == 0 || in == L"/..") {
      in = in.size() == 3 ? L"/" : in.substr(3);
      size_t cut = out.rfind(L'/');
      out.resize(cut == std::wstring::npos ? 0 : cut);
    } else if (in == L"." || in == L"..") {
      in.clear();
    } else {
      size_t next = in.find(L'/', 1);
      if (next == std::wstring::npos) next = in.size();
      out += in.substr(0, next);
      in.erase(0, next);
    }
  }
  return out;
}

// RFC 3986, section 5.2.3.
std::wstring Merge(const Reference& base, const std::wstring& path) {
  if (base.has_authority && base.path.empty()) return L"/" + path;
  size_t slash = base.path.rfind(L'/');
  return slash == std::wstring::npos ? path : base.path.substr(0, slash + 1) + path;
}

}  // namespace

uint16_t DefaultPort(const std::wstring& scheme) {
  return scheme == L"https" ? 443 : scheme == L"ftp" ? 21 : 80;
}

bool ParseUrl(const std::wstring& url, ParsedUrl* out) {
  size_t b = url.find_first_not_of(L" \t\r\n");
  size_t e = url.find_last_not_of(L" \t\r\n");
  if (b == std::wstring::npos) return false;
  std::wstring u = url.substr(b, e - b + 1);
  size_t colon = u.find(L"://");
  if (colon == std::wstring::npos) return false;
  std::wstring scheme = platform::ToLowerAscii(u.substr(0, colon));
  if (scheme != L"http" && scheme != L"https" && scheme != L"ftp") return false;
  size_t auth_start = colon + 3;
  size_t auth_end = u.find_first_of(L"/?#", auth_start);
  if (auth_end == std::wstring::npos) auth_end = u.size();
  std::wstring authority = u.substr(auth_start, auth_end - auth_start);
  size_t at = authority.rfind(L'@');
  if (at != std::wstring::npos) authority = authority.substr(at + 1);
  uint16_t port = DefaultPort(scheme);
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
  if (path.size() >= 1024) return false;
  out->scheme = scheme;
  out->host = host;
  out->port = port;
  out->path = path;
  return true;
}

std::wstring ResolveReference(const std::wstring& base_text, const std::wstring& reference) {
  const Reference base = Split(base_text);
  const Reference r = Split(reference);
  Reference t;
  if (r.has_scheme) {
    t = r;
    t.path = RemoveDotSegments(r.path);
  } else {
    t.has_scheme = base.has_scheme;
    t.scheme = base.scheme;
    if (r.has_authority) {
      t.has_authority = true;
      t.authority = r.authority;
      t.path = RemoveDotSegments(r.path);
      t.has_query = r.has_query;
      t.query = r.query;
    } else {
      t.has_authority = base.has_authority;
      t.authority = base.authority;
      if (r.path.empty()) {
        t.path = base.path;
        t.has_query = r.has_query || base.has_query;
        t.query = r.has_query ? r.query : base.query;
      } else {
        t.path = RemoveDotSegments(r.path[0] == L'/' ? r.path : Merge(base, r.path));
        t.has_query = r.has_query;
        t.query = r.query;
      }
    }
  }
  std::wstring out;
  if (t.has_scheme) out += t.scheme + L":";
  if (t.has_authority) out += L"//" + t.authority;
  out += t.path;
  if (t.has_query) out += L"?" + t.query;
  return out;
}

std::string EncodeRequestTarget(const std::wstring& path) {
  std::string out;
  out.reserve(path.size());
  for (size_t i = 0; i < path.size(); ++i) {
    wchar_t c = path[i];
    if (c == L'%' && i + 2 < path.size() && IsHex(path[i + 1]) && IsHex(path[i + 2])) {
      out += '%';
    } else if (c > 0x20 && c < 0x7F && c != L'%') {
      out += static_cast<char>(c);
    } else {
      size_t n = 1;
      // A surrogate pair is one character.
      if (c >= 0xD800 && c < 0xDC00 && i + 1 < path.size()) n = 2;
      for (char byte : platform::ToUtf8(path.substr(i, n))) {
        AppendEscape(&out, static_cast<unsigned char>(byte));
      }
      i += n - 1;
    }
  }
  return out;
}

std::string PercentEncodePath(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (IsAlpha(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~' ||
        c == '/') {
      out += ch;
    } else {
      AppendEscape(&out, c);
    }
  }
  return out;
}

std::wstring UrlFromBytes(const std::string& bytes) {
  std::string out;
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (c > 0x20 && c < 0x7F) out += ch;
    else AppendEscape(&out, c);
  }
  return std::wstring(out.begin(), out.end());
}
