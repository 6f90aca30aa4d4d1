#pragma once
// Processes: listing by executable name, termination, starting programs.
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Prepares the process (window controls, COM) and the sockets layer; false
// when sockets cannot be used.
bool InitializeProcess();
void ShutdownProcess();

struct ProcessEntry {
  uint32_t id = 0;
  std::wstring exe_name;  // file name of the executable, no directory
};

// The running processes in the platform's order; empty on failure.
std::vector<ProcessEntry> ListProcesses();
bool TerminateProcess(uint32_t id);
uint32_t CurrentProcessId();
// Starts the executable at |path| without a shell, in |work_dir|, owned by
// the window |owner| (a Ui::NativeWindow, 0 for none).
bool StartProcess(const std::wstring& path, const std::wstring& work_dir, uintptr_t owner);
// Whether |url| is a web address: "http://" or "https://" (any case) and
// nothing below U+0021 or U+007F in it.
bool IsWebAddress(const std::wstring& url);
// Hands a web address to the desktop's opener, without a shell. Anything
// else (a file, a program, another scheme) is refused: the address comes
// from a file the server may have written.
bool OpenUrl(const std::wstring& url);
void Sleep(unsigned ms);
// Ends the process at once: no window is closed, nothing is cleaned up.
[[noreturn]] void ExitProcessNow(int code);

}  // namespace platform
