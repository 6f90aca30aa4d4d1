#include "platform/process.h"

#include "platform/win32/windows_min.h"

#include <objbase.h>

namespace platform {

bool InitializeProcess() {
  InitCommonControls();
  CoInitialize(nullptr);
  WSADATA data;
  return WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

void ShutdownProcess() {
  WSACleanup();
  CoUninitialize();
}

std::vector<ProcessEntry> ListProcesses() {
  std::vector<ProcessEntry> list;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return list;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof(entry);
  for (BOOL ok = Process32FirstW(snapshot, &entry); ok; ok = Process32NextW(snapshot, &entry)) {
    list.push_back(ProcessEntry{entry.th32ProcessID, entry.szExeFile});
  }
  CloseHandle(snapshot);
  return list;
}

bool TerminateProcess(uint32_t id) {
  HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
  if (!h) return false;
  BOOL ok = ::TerminateProcess(h, 0);
  CloseHandle(h);
  return ok != FALSE;
}

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

bool StartProcess(const std::wstring& path, const std::wstring& work_dir, uintptr_t owner) {
  wchar_t long_dir[MAX_PATH + 1] = {};
  if (!GetLongPathNameW(work_dir.c_str(), long_dir, MAX_PATH)) lstrcpynW(long_dir, work_dir.c_str(), MAX_PATH);
  HINSTANCE result = ShellExecuteW(reinterpret_cast<HWND>(owner), L"open", path.c_str(), nullptr, long_dir, SW_SHOW);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

bool OpenUrl(const std::wstring& url) {
  if (!IsWebAddress(url)) return false;
  HINSTANCE result = ShellExecuteW(nullptr, L"OPEN", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

void Sleep(unsigned ms) { ::Sleep(ms); }

void ExitProcessNow(int code) { ::ExitProcess(static_cast<UINT>(code)); }

}  // namespace platform
