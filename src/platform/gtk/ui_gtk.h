#pragma once
// The window back end on GTK 3: a borderless skinned window painted with
// cairo from the built-in bitmaps, GTK message boxes, the failure dialog and
// a status icon.
#include <gtk/gtk.h>

#include <map>
#include <memory>
#include <string>

#include "platform/event_loop.h"
#include "platform/ui.h"

namespace platform {

class GtkUi : public Ui {
 public:
  GtkUi();
  ~GtkUi() override;

  bool CreateMainWindow(WindowClient* client, int x, int y, int width, int height) override;
  void SetTitle(const std::wstring& title) override;
  void Invalidate() override;
  void BeginDrag() override;
  void RunModal() override;
  void EndModal() override;
  void DestroyMainWindow() override;
  uintptr_t NativeWindow(bool) override { return 0; }
  int MessageBox(const std::wstring& text, const std::wstring& caption, bool yes_no) override;
  void CreateFailureDialog(FailureDialogClient* client) override;
  void SetFailureText(const std::wstring& text) override;
  void ShowFailureDialog(bool show) override;
  bool AddTrayIcon(int icon_id, const std::wstring& tip) override;
  void SetTrayIcon(int icon_id) override;
  void SetTrayTip(const std::wstring& tip) override;
  void RemoveTrayIcon() override;
  void ReportProgress(const ProgressReport&) override {}

  // Signal handlers.
  gboolean OnDraw(cairo_t* cr);
  gboolean OnButton(GdkEventButton* event);
  gboolean OnMotion(GdkEventMotion* event);
  void OnFocusOut();
  void OnFailureResponse(int response);

 private:
  GdkPixbuf* Pixbuf(int id);

  WindowClient* client_ = nullptr;
  FailureDialogClient* failure_client_ = nullptr;
  GtkWidget* window_ = nullptr;
  GtkWidget* area_ = nullptr;
  GtkWidget* failure_ = nullptr;
  GtkWidget* failure_label_ = nullptr;
  GObject* tray_ = nullptr;
  std::map<int, GdkPixbuf*> pixbufs_;
  std::unique_ptr<NestedLoop> loop_;
  bool ended_ = false;
  // The last pointer event, for a window drag.
  double root_x_ = 0, root_y_ = 0;
  guint32 event_time_ = 0;
};

std::unique_ptr<Ui> CreateGtkUi();

}  // namespace platform
