// The window back end as a module of its own: GTK and the libraries it
// brings are loaded only once a display is there to open, so that a
// headless run stays small.
#include <gtk/gtk.h>

#include "platform/gtk/ui_gtk.h"

// Null when no display can be opened after all. The caller owns the result.
extern "C" __attribute__((visibility("default"))) platform::Ui* UpdaterOpenGtkUi() {
  if (!gtk_init_check(nullptr, nullptr)) return nullptr;
  return platform::CreateGtkUi().release();
}
