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
