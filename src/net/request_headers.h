#pragma once
// The header lines every request of the updater carries.
#include <string>

// The product token servers see, in requests and proxy tunnels alike.
constexpr char kUserAgent[] = "AutoUpdate_Lurin";

// "Accept", "User-Agent", then |middle| (whole lines, each ending in CR LF),
// then "Cache-Control".
inline std::string RequestHeaders(const std::string& middle = std::string()) {
  return std::string("Accept: */*\r\nUser-Agent: ") + kUserAgent + "\r\n" + middle +
         "Cache-Control: no-cache\r\n";
}
