// The window when a display can be opened and the window module lies
// beside the program, the console otherwise.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/ui.h"

namespace platform {
namespace {

// The module beside the running program, spelled as the file system has it.
std::string ModulePath() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return std::string();
  std::string path(self, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1) + "updater-gtk.so";
}

}  // namespace

std::unique_ptr<Ui> CreateUi() {
  const char* x11 = getenv("DISPLAY");
  const char* wayland = getenv("WAYLAND_DISPLAY");
  const bool display = (x11 && *x11) || (wayland && *wayland);
  const std::string module_path = display ? ModulePath() : std::string();
  // Never unloaded: the window's code lives there, and GTK cannot go.
  void* module = module_path.empty() ? nullptr : dlopen(module_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  using OpenUi = Ui* (*)();
  OpenUi open = module ? reinterpret_cast<OpenUi>(dlsym(module, "UpdaterOpenGtkUi")) : nullptr;
  if (open) {
    if (Ui* ui = open()) return std::unique_ptr<Ui>(ui);
  }
  return CreateConsoleUi();
}

}  // namespace platform
