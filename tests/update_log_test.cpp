#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "app/update_log.h"
#include "support/temp_dir.h"

TEST(UpdateLog, AppendsStampedLinesWithCrLfInCallOrder) {
  TempDir dir;
  std::wstring log = dir.WFile("UpdateLog.log");
  AppendLogLine(log, L"下载文件失败[a.dll], 错误代码 [6]", {2026, 3, 5, 7, 8, 9});
  AppendLogLine(log, L"", {2026, 12, 31, 23, 59, 0});
  EXPECT_EQ(ReadFileBytes(dir.File("UpdateLog.log")),
            "2026-03-05 07:08:09 下载文件失败[a.dll], 错误代码 [6]\r\n"
            "2026-12-31 23:59:00 \r\n");
}

TEST(UpdateLog, LongTextIsWrittenWhole) {
  TempDir dir;
  std::wstring text(5000, L'中');
  AppendLogLine(dir.WFile("l.log"), text, {2026, 1, 1, 0, 0, 0});
  EXPECT_EQ(ReadFileBytes(dir.File("l.log")).size(), 20 + 5000 * 3 + 2u);
}

TEST(UpdateLog, UnwritableLocationLosesTheLineSilently) {
  TempDir dir;
  AppendLogLine(dir.WFile("missing/UpdateLog.log"), L"x", {2026, 1, 1, 0, 0, 0});
  EXPECT_FALSE(PathExists(dir.File("missing")));
}

TEST(UpdateLog, ReadOnlyDirectoryLosesTheLineAndTheCallerGoesOn) {
  TempDir dir;
  // Even root cannot create files in an immutable directory.
  if (system(("chattr +i '" + dir.path() + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "the file system cannot make a directory immutable";
  }
  AppendLogLine(dir.WFile("UpdateLog.log"), L"x", {2026, 1, 1, 0, 0, 0});
  bool created = PathExists(dir.File("UpdateLog.log"));
  EXPECT_EQ(system(("chattr -i '" + dir.path() + "'").c_str()), 0);
  EXPECT_FALSE(created);
}

TEST(UpdateLog, ControlCharactersInATextCannotForgeALine) {
  TempDir dir;
  std::wstring log = dir.WFile("UpdateLog.log");
  AppendLogLine(log, L"MD5=[ab\r\n2026-01-01 00:00:00 forged\t\x1b\x7f]", {2026, 3, 5, 7, 8, 9});
  EXPECT_EQ(ReadFileBytes(dir.File("UpdateLog.log")),
            "2026-03-05 07:08:09 MD5=[ab\\x0D\\x0A2026-01-01 00:00:00 forged\\x09\\x1B\\x7F]\r\n");
}
