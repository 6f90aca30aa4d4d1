#include "app/update_log.h"

#include <cstdio>

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
  FILE* file = fopen(platform::ToAnsi(log_path).c_str(), "ab");
  if (!file) return;
  char stamp[64];
  snprintf(stamp, sizeof(stamp), "%d-%02d-%02d %02d:%02d:%02d", when.year, when.month, when.day,
           when.hour, when.minute, when.second);
  std::string line = std::string(stamp) + " " + platform::ToAnsi(EscapeControls(text)) + "\r\n";
  fwrite(line.data(), 1, line.size(), file);
  fclose(file);
}

std::wstring UpdateLogPath() {
  return platform::ModuleDir() + platform::kPathSeparator + L"UpdateLog.log";
}
