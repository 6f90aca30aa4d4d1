// The Windows back end's install safety, checked under Wine: profile writes,
// reparse points below the install, the one-updater lock, the self-swap,
// the streamed manifest reader and the log under a name outside the code
// page.
// Prints one line per failed check and "N passed, M failed".
// Run by tests/wine/wine_platform_test.sh.
#include <cstdio>
#include <string>

#include "app/update_log.h"
#include "digest/md5.h"
#include "platform/file.h"
#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "platform/win32/windows_min.h"
#include "update/self_swap.h"

// In its own file: the manifest's headers and the Windows headers both
// name a version resource structure.
void CheckManifestStream(const std::wstring& dir, void (*check)(bool ok, const char* what));

namespace {

int g_passed = 0, g_failed = 0;

void Check(bool ok, const char* what) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    printf("FAIL: %s\n", what);
  }
}

bool Write(const std::wstring& path, const std::string& data) {
  platform::File file;
  return file.Open(path, platform::File::kCreateTruncate) && file.Write(data.data(), data.size()) &&
         file.Close();
}

std::string Read(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  char buf[4096];
  DWORD n = 0;
  ReadFile(h, buf, sizeof(buf), &n, nullptr);
  CloseHandle(h);
  return std::string(buf, n);
}

void CheckProfile(const std::wstring& dir) {
  const std::wstring ini = dir + L"\\UpdateTemp.ini";
  const std::string before = "[Version]\r\nCurrentVersion=5\r\n[Temp]\r\nTemp2='single'\r\n";
  Write(ini, before);
  Check(platform::GetProfileString(L"Temp", L"Temp2", L"", 200, ini) == L"single",
        "single quotes around a value are stripped");
  Check(!platform::WriteProfileString(L"Temp", L"Temp1", L"a\r\n[HOME]\r\nURL=file:///c:/x", ini),
        "a value with CR LF is refused");
  Check(!platform::WriteProfileString(L"Temp", L"Temp1", std::wstring(L"a\0b", 3), ini),
        "a value with NUL is refused");
  Check(!platform::WriteProfileString(L"Temp", L"Te\nmp1", L"a", ini), "a key with LF is refused");
  Check(Read(ini) == before, "refused writes leave the file as it was");
  SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_READONLY);
  Check(!platform::WriteProfileString(L"Version", L"CurrentVersion", L"6", ini),
        "a read-only file is not rewritten");
  SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_NORMAL);
  Check(Read(ini) == before, "the read-only file kept its content");
}

// Game files copied from a disc are read-only: an update replaces them all
// the same, and a move that fails still leaves the old file as it was.
void CheckReadOnlyTarget(const std::wstring& dir) {
  const std::wstring target = dir + L"\\disc.pak", pending = dir + L"\\disc.pak.update.6";
  Write(target, "old");
  SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY);
  Write(pending, "new");
  Check(platform::ReplaceFile(pending, target), "a read-only file is replaced");
  Check(Read(target) == "new" && Read(pending) == "<missing>", "the new file took its place");
  SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY);
  Check(!platform::ReplaceFile(dir + L"\\absent.update.6", target), "a move from nothing fails");
  Check(Read(target) == "new" && (GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_READONLY),
        "and leaves the read-only file as it was");
  SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
}

void CheckReparsePoints(const std::wstring& dir) {
  const std::wstring install = dir + L"\\install", outside = dir + L"\\outside";
  CreateDirectoryW(install.c_str(), nullptr);
  CreateDirectoryW(outside.c_str(), nullptr);
  Write(outside + L"\\keep.bin", "outside");
  // The caller may have made the link already: Wine shows a Unix link as
  // a reparse point but cannot make one itself.
  const std::wstring link = install + L"\\data";
  auto is_link = [&] {
    DWORD attributes = GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  };
  if (!is_link()) CreateSymbolicLinkW(link.c_str(), outside.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
  if (!is_link()) {
    printf("SKIP: no directory link at %ls\n", link.c_str());
    return;
  }
  platform::SetLinkFreeRoot(install);
  platform::File file;
  Check(!file.Open(link + L"\\map.bin.update.6", platform::File::kCreateTruncate),
        "no file is created through a directory link");
  Check(!file.Open(link + L"\\keep.bin", platform::File::kWriteExisting), "no file is written through a link");
  Check(!platform::CreateDirectory(link + L"\\sub"), "no directory is made through a link");
  Check(!platform::SetAllFileTimes(link, platform::FromTicks(132670868960000000ULL)),
        "a link's target keeps its times");
  Check(!platform::DeleteFile(link + L"\\keep.bin"), "nothing is deleted through a link");
  Check(platform::CrossesLink(link + L"\\keep.bin") && !platform::CrossesLink(install + L"\\real\\a.bin"),
        "a path through a link is told apart");
  Check(Read(outside + L"\\keep.bin") == "outside", "the outside file is untouched");
  Check(GetFileAttributesW((outside + L"\\map.bin.update.6").c_str()) == INVALID_FILE_ATTRIBUTES,
        "nothing was created outside");
  Check(platform::CreateDirectory(install + L"\\real") &&
            file.Open(install + L"\\real\\a.bin", platform::File::kCreateTruncate),
        "plain paths below the root still work");
  file.Close();
  platform::SetLinkFreeRoot(L"");
}

void CheckLock(const std::wstring& dir) {
  const std::wstring path = dir + L"\\UpdateTemp.lock";
  {
    platform::InstanceLock first, second;
    Check(first.Acquire(path), "the first updater takes the lock");
    Check(!second.Acquire(path), "a second updater does not");
  }
  platform::InstanceLock third;
  Check(third.Acquire(path), "the lock goes with its holder");
}

void CheckSelfSwap(const std::wstring& dir) {
  const std::wstring exe = dir + L"\\updater.exe", pending = exe + L".update.6";
  Write(exe, "old build");
  Write(pending, "bad build");
  Write(exe + L".old", "older");
  Check(SwapInPendingCopy(platform::RealDisk(), exe, pending, L"") == SelfSwapResult::kRefused, "no digest, no swap");
  Check(Read(pending) == "<missing>" && Read(exe) == "old build", "a refused copy is deleted");
  Write(pending, "new build");
  char digest[33];
  MD5_CTX ctx;
  Check(ctx.DigestFile(digest, pending), "the pending copy has a digest");
  Check(SwapInPendingCopy(platform::RealDisk(), exe, pending, platform::FromAnsi(digest)) == SelfSwapResult::kSwapped,
        "a verified copy is swapped in");
  Check(Read(exe) == "new build" && Read(exe + L".old") == "old build" && Read(pending) == "<missing>",
        "the new build runs next, the old one is kept as .old");
}

// Only what has no directory entry is missing: a key file that is there in
// any form keeps signature checks on.
void CheckMissing(const std::wstring& dir) {
  Check(platform::IsMissing(dir + L"\\absent.pub") && platform::IsMissing(dir + L"\\absent\\x.pub"),
        "a name with no entry, or below a missing directory, is missing");
  Write(dir + L"\\present.pub", "key");
  CreateDirectoryW((dir + L"\\folder.pub").c_str(), nullptr);
  Check(!platform::IsMissing(dir + L"\\present.pub") && !platform::IsMissing(dir + L"\\folder.pub"),
        "a file or a directory is not missing");
}

// A second updater on an install that another one holds ends at once: one
// log line, the resume file untouched.
void CheckSecondStart(const std::wstring& dir) {
  const std::wstring install = dir + L"\\second";
  const std::string ini = "[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=127.0.0.1:9\r\n";
  if (GetFileAttributesW((install + L"\\updater.exe").c_str()) == INVALID_FILE_ATTRIBUTES) {
    printf("SKIP: no updater.exe in %ls\n", install.c_str());
    return;
  }
  Write(install + L"\\UpdateTemp.ini", ini);
  platform::InstanceLock first;
  Check(first.Acquire(install + L"\\UpdateTemp.lock"), "the stand-in first updater holds the lock");
  std::wstring command = L"\"" + install + L"\\updater.exe\" 127.0.0.1:9 auto";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, install.c_str(), &startup,
                      &process)) {
    Check(false, "the second updater starts");
    return;
  }
  Check(WaitForSingleObject(process.hProcess, 20000) == WAIT_OBJECT_0, "the second updater ends at once");
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  Check(code != 0, "the second updater reports that it did not hand over");
  Check(Read(install + L"\\UpdateTemp.ini") == ini, "the resume file is untouched");
  const std::string log = Read(install + L"\\UpdateLog.log");
  Check(log != "<missing>" && log.find("\r\n") == log.size() - 2, "one line is logged");
}

// An install whose name the code page cannot spell still gets its log.
void CheckLogOutsideCodePage(const std::wstring& dir) {
  const std::wstring install = dir + L"\\\u0142\u00F3d\u017A";
  CreateDirectoryW(install.c_str(), nullptr);
  const std::wstring log = install + L"\\UpdateLog.log";
  const platform::LocalTime when{2026, 12, 9, 8, 30, 0};
  AppendLogLine(log, L"first", when);
  AppendLogLine(log, L"second", when);
  Check(Read(log) == "2026-12-09 08:30:00 first\r\n2026-12-09 08:30:00 second\r\n",
        "the log is appended to below a name outside code page 936");
}

}  // namespace

// The scratch directory is the first argument: a fresh directory, possibly
// with install\data already a link to outside and second\updater.exe.
int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    printf("usage: platform_win32_check SCRATCH_DIR\n");
    return 2;
  }
  const std::wstring dir = argv[1];
  CreateDirectoryW(dir.c_str(), nullptr);
  CheckProfile(dir);
  CheckReparsePoints(dir);
  CheckReadOnlyTarget(dir);
  CheckLock(dir);
  CheckSelfSwap(dir);
  CheckMissing(dir);
  CheckSecondStart(dir);
  CheckManifestStream(dir, Check);
  CheckLogOutsideCodePage(dir);
  printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
