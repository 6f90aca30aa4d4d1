#pragma once
// A window back end driven by the test: message boxes answered from a
// script, failure-dialog buttons pressed from a script, and everything
// shown recorded.
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "platform/ui.h"

class ScriptedUi : public platform::Ui, public platform::MessageTarget {
 public:
  enum FailureAction { kSkip, kRetry, kExit, kLeave };

  bool CreateMainWindow(platform::WindowClient* client, int, int, int, int) override;
  void SetTitle(const std::wstring& title) override { title_ = title; }
  void Invalidate() override;
  void BeginDrag() override { ++drags; }
  void RunModal() override;
  void EndModal() override { ended = true; }
  void DestroyMainWindow() override { client_ = nullptr; }
  uintptr_t NativeWindow(bool) override { return 0; }
  int MessageBox(const std::wstring& text, const std::wstring& caption, bool yes_no) override;
  void CreateFailureDialog(platform::FailureDialogClient* client) override { failure_client_ = client; }
  void SetFailureText(const std::wstring& text) override { failure_text = text; }
  void ShowFailureDialog(bool show) override;
  bool AddTrayIcon(int, const std::wstring&) override { return true; }
  void SetTrayIcon(int id) override { tray_icon = id; }
  void SetTrayTip(const std::wstring&) override {}
  void RemoveTrayIcon() override {}
  void ReportProgress(const platform::ProgressReport& report) override;
  void Notice(const std::wstring& text) override { notices.push_back(text); }
  void OnMessage(unsigned msg, uintptr_t wparam, intptr_t lparam) override;

  // Message boxes take these answers in turn (No when none is left).
  std::deque<int> answers;
  // When set, a box is answered only once this holds (or after 5 s): what
  // happens while the user reads it.
  std::function<bool()> answer_when;
  // Each showing of the failure dialog presses the next of these.
  std::deque<FailureAction> failure_actions;
  unsigned modal_timeout_ms = 90000;

  std::vector<std::wstring> boxes;
  std::vector<std::wstring> failures_shown;
  std::vector<std::wstring> notices;
  std::wstring failure_text;
  bool failure_visible = false;
  bool ended = false;
  bool timed_out = false;
  int drags = 0;
  int tray_icon = 0;
  platform::ProgressReport last_report;
  // With |paint| set, every invalidation paints the window at once, as a
  // back end would soon after; the most bytes any report counted as done.
  bool paint = false;
  uint64_t most_bytes_done = 0;

 private:
  platform::WindowClient* client_ = nullptr;
  platform::FailureDialogClient* failure_client_ = nullptr;
  std::wstring title_;
};
