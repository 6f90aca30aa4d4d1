#pragma once
// The updater without a display: status lines on standard output, a
// progress line on standard error (redrawn in place on a terminal), message
// boxes printed, and a failure dialog that prints its message and answers
// Exit.
#include <cstdio>
#include <memory>
#include <string>

#include "platform/console/progress_line.h"
#include "platform/event_loop.h"
#include "platform/ui.h"

namespace platform {

class ConsoleUi : public Ui, private MessageTarget {
 public:
  ConsoleUi(FILE* out, FILE* progress);
  ~ConsoleUi() override;

  bool CreateMainWindow(WindowClient* client, int x, int y, int width, int height) override;
  void SetTitle(const std::wstring& title) override;
  void Invalidate() override;
  void BeginDrag() override {}
  void RunModal() override;
  void EndModal() override;
  void DestroyMainWindow() override;
  uintptr_t NativeWindow(bool) override { return 0; }
  int MessageBox(const std::wstring& text, const std::wstring& caption, bool yes_no) override;
  void CreateFailureDialog(FailureDialogClient* client) override { failure_client_ = client; }
  void SetFailureText(const std::wstring& text) override { failure_text_ = text; }
  void ShowFailureDialog(bool show) override;
  bool AddTrayIcon(int, const std::wstring&) override { return false; }
  void SetTrayIcon(int) override {}
  void SetTrayTip(const std::wstring&) override {}
  void RemoveTrayIcon() override {}
  void ReportProgress(const ProgressReport& report) override;
  void Notice(const std::wstring& text) override;

 private:
  void OnMessage(unsigned msg, uintptr_t wparam, intptr_t lparam) override;
  void OnTimer(unsigned id) override;
  void Print(const std::wstring& line);
  void DrawProgressLine(const std::wstring& line);
  void ClearProgressLine();
  void EndProgressLine();

  FILE* out_;
  FILE* progress_;
  // Whether the progress line is redrawn in place, and whether status lines
  // go to the same terminal.
  bool progress_tty_;
  bool out_tty_;
  WindowClient* client_ = nullptr;
  FailureDialogClient* failure_client_ = nullptr;
  std::wstring failure_text_ = L"抱歉，升级失败！";
  std::unique_ptr<NestedLoop> loop_;
  bool ended_ = false;
  bool paint_pending_ = false;
  bool progress_line_open_ = false;
  ProgressLine progress_line_;
  std::wstring last_status_;
  std::wstring drawn_progress_;
  std::wstring pending_progress_;
  unsigned last_files_done_ = 0;
  int last_decile_ = 0;
};

}  // namespace platform
