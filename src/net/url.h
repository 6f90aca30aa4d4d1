#pragma once
// Splitting request URLs, resolving redirect locations, and the bytes a
// request target is sent as.
#include <cstdint>
#include <string>

struct ParsedUrl {
  std::wstring scheme;  // lower case: "http", "https" or "ftp"
  std::wstring host;
  uint16_t port = 0;
  std::wstring path;    // as written, escapes kept; query kept; starts with '/'
};

// 443 for "https", 21 for "ftp", else 80.
uint16_t DefaultPort(const std::wstring& scheme);

// Accepts http, https and ftp URLs (ftp is fetched over HTTP too); false
// for anything else or a malformed URL.
bool ParseUrl(const std::wstring& url, ParsedUrl* out);

// |reference| resolved against |base| as RFC 3986 (section 5.2) defines it:
// absolute, network-path, absolute-path, relative-path and query-only
// references. Fragments are dropped.
std::wstring ResolveReference(const std::wstring& base, const std::wstring& reference);

// The request target as sent. A URL is sent as it stands: its escapes are
// kept, and only what cannot go on a request line (blanks, controls,
// non-ASCII characters as UTF-8, a '%' that starts no escape) is escaped.
std::string EncodeRequestTarget(const std::wstring& path);

// Escapes every byte outside RFC 3986's unreserved characters and '/'.
std::string PercentEncodePath(const std::string& bytes);

// Raw bytes that came from the network (a Location line), made into URL
// text without changing them: bytes outside visible ASCII are escaped.
std::wstring UrlFromBytes(const std::string& bytes);
