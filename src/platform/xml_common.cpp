// Reading a document's bytes, the same on every platform.
#include "platform/file.h"
#include "platform/xml.h"

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

}  // namespace platform
