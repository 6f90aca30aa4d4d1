#include "platform/instance_lock.h"

#include "platform/win32/windows_min.h"

namespace platform {
namespace {

struct Search {
  std::wstring exe_path;
  HWND found = nullptr;
};

std::wstring ProcessImage(DWORD id) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (!process) return std::wstring();
  wchar_t path[MAX_PATH + 1] = {};
  DWORD size = MAX_PATH;
  BOOL ok = QueryFullProcessImageNameW(process, 0, path, &size);
  CloseHandle(process);
  return ok ? std::wstring(path, size) : std::wstring();
}

BOOL CALLBACK Visit(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  if (lstrcmpW(name, L"UpdaterMainWindow") != 0) return TRUE;
  DWORD id = 0;
  GetWindowThreadProcessId(window, &id);
  if (id == GetCurrentProcessId() || lstrcmpiW(ProcessImage(id).c_str(), search->exe_path.c_str()) != 0) {
    return TRUE;
  }
  search->found = window;
  return FALSE;
}

}  // namespace

InstanceLock::~InstanceLock() {
  if (fd_ != -1) CloseHandle(reinterpret_cast<HANDLE>(fd_));
}

bool InstanceLock::Acquire(const std::wstring& path) {
  // Opened without sharing: a second open fails until this handle closes.
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError() != ERROR_SHARING_VIOLATION;
  fd_ = reinterpret_cast<intptr_t>(h);
  return true;
}

void ShowRunningInstance(const std::wstring& exe_path) {
  Search search;
  search.exe_path = exe_path;
  EnumWindows(Visit, reinterpret_cast<LPARAM>(&search));
  if (!search.found) return;
  if (IsIconic(search.found)) ShowWindow(search.found, SW_RESTORE);
  SetForegroundWindow(search.found);
}

}  // namespace platform
