#pragma once
// Splitting request URLs and resolving redirect locations.
#include <cstdint>
#include <string>

struct ParsedUrl {
  std::wstring scheme;  // lower case: "http" or "ftp"
  std::wstring host;
  uint16_t port = 0;
  std::wstring path;    // percent escapes decoded; query kept; starts with '/'
};

// Accepts http and ftp URLs (both are fetched over HTTP); false for
// anything else or a malformed URL.
bool ParseUrl(const std::wstring& url, ParsedUrl* out);

// |location| resolved against the URL it came from: absolute URLs stand,
// "//host/x" takes the scheme, "/x" the host, anything else the directory.
std::wstring ResolveLocation(const std::wstring& base, const std::wstring& location);

// The request target as sent: ANSI bytes with everything outside visible
// ASCII (and '%' and '#') percent-encoded.
std::string EncodeRequestTarget(const std::wstring& path);
