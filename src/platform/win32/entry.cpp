#include "platform/entry.h"
#include "platform/win32/windows_min.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR command_line, int) {
  return UpdaterMain(command_line ? command_line : L"");
}
