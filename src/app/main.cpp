// The updater: "<install dir>/updater <server word> auto".
#include <string>

#include "app/app.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/ui.h"

int main(int argc, char** argv) {
  std::wstring command_line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) command_line += L' ';
    command_line += platform::FromAnsi(argv[i]);
  }
  std::unique_ptr<platform::Ui> ui = platform::CreateUi();
  CAutoUpdateClientApp app(platform::ModulePath());
  app.InitInstance(command_line, ui.get());
  return app.ExitInstance();
}
