#include <gtk/gtk.h>

#include <cstdlib>

#include "platform/gtk/ui_gtk.h"
#include "platform/ui.h"

namespace platform {

// The window when a display can be opened, the console otherwise.
std::unique_ptr<Ui> CreateUi() {
  const char* x11 = getenv("DISPLAY");
  const char* wayland = getenv("WAYLAND_DISPLAY");
  bool display = (x11 && *x11) || (wayland && *wayland);
  if (display && gtk_init_check(nullptr, nullptr)) return CreateGtkUi();
  return CreateConsoleUi();
}

}  // namespace platform
