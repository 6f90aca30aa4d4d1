// The updater: "<install dir>/updater <server word> auto".
#include <memory>
#include <string>

#include "app/app.h"
#include "platform/entry.h"
#include "platform/files.h"
#include "platform/ui.h"

int UpdaterMain(const std::wstring& commandLine) {
  std::unique_ptr<platform::Ui> ui = platform::CreateUi();
  CAutoUpdateClientApp app(platform::ModulePath());
  app.InitInstance(commandLine, ui.get());
  return app.ExitInstance();
}
