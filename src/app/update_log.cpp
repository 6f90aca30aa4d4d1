#include "app/update_log.h"

#include <cstdio>

#include "platform/files.h"
#include "platform/text.h"

void AppendLogLine(const std::wstring& log_path, const std::wstring& text,
                   const platform::LocalTime& when) {
  FILE* file = fopen(platform::ToAnsi(log_path).c_str(), "ab");
  if (!file) return;
  char stamp[64];
  snprintf(stamp, sizeof(stamp), "%d-%02d-%02d %02d:%02d:%02d", when.year, when.month, when.day,
           when.hour, when.minute, when.second);
  std::string line = std::string(stamp) + " " + platform::ToAnsi(text) + "\r\n";
  fwrite(line.data(), 1, line.size(), file);
  fclose(file);
}

std::wstring UpdateLogPath() {
  return platform::ModuleDir() + platform::kPathSeparator + L"UpdateLog.log";
}
