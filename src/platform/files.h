#pragma once
// File system queries and moves with the Windows semantics the core expects.
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// 100-ns ticks since 1601-01-01 UTC, split into two 32-bit halves.
struct FILETIME {
  uint32_t dwLowDateTime = 0;
  uint32_t dwHighDateTime = 0;
};

inline uint64_t ToTicks(FILETIME t) {
  return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
}
inline FILETIME FromTicks(uint64_t ticks) {
  return FILETIME{static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32)};
}
// -1, 0 or 1 as the first time is earlier, equal or later.
int CompareFileTime(FILETIME a, FILETIME b);

// Conversions from and to seconds + nanoseconds since 1970 UTC.
FILETIME FileTimeFromUnix(int64_t seconds, long nanoseconds);
void FileTimeToUnix(FILETIME t, int64_t* seconds, long* nanoseconds);

// Below |dir| every path component is reached without following a link
// (on Windows: a reparse point is refused): an operation on a path that
// crosses one fails, so nothing outside |dir| is reached through a link
// planted inside it. Paths outside |dir| behave as usual. Empty turns it
// off. The application sets it to the install directory at start-up.
void SetLinkFreeRoot(const std::wstring& dir);
// True when |path| lies below that directory and one of its components
// there, the last one included, is a link (or a reparse point).
bool CrossesLink(const std::wstring& path);

// The spelling under which the file system takes two paths for one (links
// aside): repeated separators and "." components do not count, and each
// component is compared as FileSystemName gives it.
std::wstring FileSystemKey(const std::wstring& path);
// A name as the file system compares it: as it is on POSIX; on Windows
// case-folded and without trailing dots and blanks, which it ignores.
std::wstring FileSystemName(const std::wstring& name);

// True only when the system says |path| has no directory entry at all. A
// link (dangling or not), a directory, a file that cannot be read, or a
// path that cannot be looked at (no permission on the way) is not missing.
bool IsMissing(const std::wstring& path);
// True when the file can be opened for reading.
bool CanOpenForRead(const std::wstring& path);
bool IsDirectory(const std::wstring& path);
// The last-write time of a file that can be opened for reading.
bool GetLastWriteTime(const std::wstring& path, FILETIME* time);
bool GetFileSize(const std::wstring& path, uint64_t* size);
// Sets every settable time of the file (access and modification here).
bool SetAllFileTimes(const std::wstring& path, FILETIME time);

bool DeleteFile(const std::wstring& path);
// The names in directory |dir| ("." and ".." left out), with whether each
// is a directory. Links and reparse points are left out: nothing below the
// install is reached through one.
struct DirectoryEntry {
  std::wstring name;
  bool directory = false;
};
bool ListDirectory(const std::wstring& dir, std::vector<DirectoryEntry>* entries);
// Every name in directory |dir| ("." and ".." left out), links and names of
// any kind among them. False when it cannot be listed, when it is reached
// through a link (a reparse point) where ListDirectory would refuse one, or
// when it holds a name the locale does not read back exactly; then
// |missing| tells whether |dir| (or a directory on the way) does not exist.
bool ListAllNames(const std::wstring& dir, std::vector<std::wstring>* names, bool* missing);
bool CreateDirectory(const std::wstring& path);
// Removes an empty directory.
bool RemoveDirectory(const std::wstring& path);
// The bytes the running user may still write on the file system that holds
// |dir| (a quota or the space kept for the administrator counts against it).
bool FreeDiskBytes(const std::wstring& dir, uint64_t* bytes);
// Moves |from| onto |to| in one step, replacing an existing |to| and keeping
// its permissions. With |durable| false the move may still be lost in a
// crash until MakeDurable has covered |to|.
bool ReplaceFile(const std::wstring& from, const std::wstring& to, bool durable = true);
// Moves |from| to |to|; fails when |to| exists. |durable| as above.
bool MoveFileNoReplace(const std::wstring& from, const std::wstring& to, bool durable = true);
// One barrier for many files: returns when the contents of every file in
// |paths| and its name in its directory are on disk.
bool MakeDurable(const std::vector<std::wstring>& paths);

// Puts |from| in place of |to| with |to|'s permissions and keeps the
// previous |to| as |retired| (which must not exist). Where the platform
// allows it |to| never goes missing on the way (POSIX: a hard link to
// |retired|, then one rename); elsewhere two moves, the first undone when
// the second fails. False leaves |to| as it was.
bool SwapInFile(const std::wstring& from, const std::wstring& to, const std::wstring& retired);

// Creates a new empty file with |prefix| in the temporary directory and
// returns its path; empty on failure.
std::wstring CreateTempFile(const std::wstring& prefix);

// The running executable's full path, and its directory without a trailing
// separator.
std::wstring ModulePath();
std::wstring ModuleDir();

// The separator of the platform's paths.
extern const wchar_t kPathSeparator;

// The bases of the "WINDOWSDIR" and "SYSTEMDIR" install keywords; empty
// where the platform has no such directories (they then resolve like any
// other keyword, to the executable's directory).
std::wstring WindowsDirectory();
std::wstring SystemDirectory();

// A relative path from a manifest with its separators made native: a
// backslash counts as a separator everywhere.
std::wstring NativeSeparators(std::wstring path);

// The failure of the last file query as an HRESULT-style status
// (0x8007xxxx for a system error code, E_FAIL when there is none), and the
// system's text for such a status.
uint32_t LastErrorStatus();
std::wstring StatusMessage(uint32_t status);

}  // namespace platform
