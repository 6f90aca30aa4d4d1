#pragma once
// The window system as the updater uses it: one skinned main window painted
// from bitmap cells and text, mouse input, message boxes, the failure dialog
// and the notification-area icon. A back end draws; the logic lives with the
// window's client.
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// Answers of message boxes, with the Windows values.
enum MessageBoxResult : int { kIdOk = 1, kIdCancel = 2, kIdYes = 6, kIdNo = 7 };

class Painter {
 public:
  // Copies a w × h cell of bitmap |bitmap_id| from (src_x, src_y) to (x, y).
  virtual void Blit(int bitmap_id, int x, int y, int w, int h, int src_x, int src_y) = 0;
  // Draws text in the status font, transparent background.
  virtual void Text(int x, int y, const std::wstring& text) = 0;

 protected:
  ~Painter() = default;
};

// What the window shows, for back ends that report progress in text.
struct ProgressReport {
  std::wstring status;
  int overall_percent = 0;
  int file_percent = 0;
  unsigned files_done = 0;
  unsigned files_total = 0;
  uint64_t bytes_done = 0;
  uint64_t bytes_total = 0;
};

class WindowClient {
 public:
  virtual void OnPaint(Painter* painter) = 0;
  // Client coordinates of the pointer.
  virtual void OnLButtonDown(int x, int y) = 0;
  virtual void OnMouseMove(int x, int y) = 0;
  virtual void OnLButtonUp(int x, int y) = 0;
  // The window lost the focus: a release of the button may go elsewhere.
  virtual void OnFocusLost() = 0;

 protected:
  ~WindowClient() = default;
};

class FailureDialogClient {
 public:
  virtual void OnFailureSkip() = 0;
  virtual void OnFailureRetry() = 0;
  virtual void OnFailureExit() = 0;

 protected:
  ~FailureDialogClient() = default;
};

class Ui {
 public:
  virtual ~Ui() = default;

  virtual bool CreateMainWindow(WindowClient* client, int x, int y, int width, int height) = 0;
  virtual void SetTitle(const std::wstring& title) = 0;
  // Repaints the whole window from the client's OnPaint, soon.
  virtual void Invalidate() = 0;
  // Lets the window follow the pointer while the button is held.
  virtual void BeginDrag() = 0;
  // Runs the window's modal loop until EndModal; returns at once when
  // EndModal came first.
  virtual void RunModal() = 0;
  virtual void EndModal() = 0;
  virtual void DestroyMainWindow() = 0;
  // The platform's handle of the main window or of the failure dialog, to
  // own a program started from it; 0 where windows have none.
  virtual uintptr_t NativeWindow(bool failure_dialog) = 0;

  // A modal box over the window, run in a nested loop in which timers and
  // posted messages go on being handled.
  virtual int MessageBox(const std::wstring& text, const std::wstring& caption, bool yes_no) = 0;

  // The failure dialog: created hidden, its text replaced, shown or hidden.
  virtual void CreateFailureDialog(FailureDialogClient* client) = 0;
  virtual void SetFailureText(const std::wstring& text) = 0;
  virtual void ShowFailureDialog(bool show) = 0;

  // The notification-area icon; silently absent where there is none.
  virtual bool AddTrayIcon(int icon_id, const std::wstring& tip) = 0;
  virtual void SetTrayIcon(int icon_id) = 0;
  virtual void SetTrayTip(const std::wstring& tip) = 0;
  virtual void RemoveTrayIcon() = 0;

  // Called on every paint with what the window shows.
  virtual void ReportProgress(const ProgressReport& report) = 0;

  // A line for the user that has no place in a window (the console prints
  // it on standard error; windowed back ends drop it).
  virtual void Notice(const std::wstring&) {}
};

// The window back end when a display can be opened, the console otherwise.
std::unique_ptr<Ui> CreateUi();
std::unique_ptr<Ui> CreateConsoleUi();

}  // namespace platform
