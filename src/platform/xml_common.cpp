// Reading a document's bytes and its declaration, the same on every
// platform.
#include <cctype>

#include "platform/file.h"
#include "platform/xml.h"
#include "platform/xml_encoding.h"

namespace platform {

bool XmlDocument::Load(const std::wstring& path) {
  File file;
  if (!file.Open(path, File::kRead)) return false;
  std::string bytes;
  char buf[65536];
  for (;;) {
    long n = file.Read(buf, sizeof(buf));
    if (n < 0) return false;
    if (n == 0) break;
    bytes.append(buf, static_cast<size_t>(n));
    if (bytes.size() > kMaxBytes) return false;
  }
  return LoadBytes(bytes);
}

std::string DeclaredXmlEncoding(const std::string& bytes) {
  std::string head = bytes.substr(0, 200);
  size_t end = head.find("?>");
  if (head.compare(0, 5, "<?xml") != 0 || end == std::string::npos) return std::string();
  head.resize(end);
  for (auto& c : head) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  size_t at = head.find("encoding");
  if (at == std::string::npos) return std::string();
  at = head.find_first_not_of(" \t\r\n", at + 8);
  if (at == std::string::npos || head[at] != '=') return std::string();
  at = head.find_first_not_of(" \t\r\n", at + 1);
  if (at == std::string::npos || (head[at] != '"' && head[at] != '\'')) return std::string();
  const size_t close = head.find(head[at], at + 1);
  return close == std::string::npos ? std::string() : head.substr(at + 1, close - at - 1);
}

bool DeclaresCodePage936(const std::string& head) {
  const std::string encoding = DeclaredXmlEncoding(head);
  return encoding == "gb2312" || encoding == "gbk";
}

}  // namespace platform
