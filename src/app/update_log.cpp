#include "app/update_log.h"

#include <cstdio>

#include "platform/file.h"
#include "platform/files.h"
#include "platform/text.h"

namespace {

// Server text reaches the log: a line break in it would forge a line.
std::wstring EscapeControls(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    if (c < 0x20 || c == 0x7F) {
      out += platform::Format(L"\\x%02X", static_cast<unsigned>(c));
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

void AppendLogLine(const std::wstring& log_path, const std::wstring& text,
                   const platform::LocalTime& when) {
  // Opened by its wide name: an install directory the code page cannot
  // spell still gets its log.
  platform::File file;
  if (!file.Open(log_path, platform::File::kAppend)) return;
  char stamp[64];
  snprintf(stamp, sizeof(stamp), "%d-%02d-%02d %02d:%02d:%02d", when.year, when.month, when.day,
           when.hour, when.minute, when.second);
  std::string line = std::string(stamp) + " " + platform::ToAnsi(EscapeControls(text)) + "\r\n";
  file.Write(line.data(), line.size());
}

std::wstring UpdateLogPath() {
  return platform::ModuleDir() + platform::kPathSeparator + L"UpdateLog.log";
}
