#pragma once
// The main window: its message map, the two timers, the painted buttons
// and their hit rectangles, the tray icon and the prompts. The update run
// it hosts decides everything else; the window paints from the run's
// snapshot and forwards the user's buttons to it.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/event_loop.h"
#include "platform/ui.h"
#include "update/dialog_msg.h"
#include "update/update_host.h"
#include "update/update_run.h"

class CAutoUpdateClientDlg : public platform::MessageTarget,
                             public platform::WindowClient,
                             private RunObserver {
 public:
  using Phase = UpdateRun::Phase;
  enum TimerId : unsigned { kDispatchTimer = 1000, kWatchdogTimer = 1001 };
  static constexpr unsigned kWatchdogPeriod = 2000;
  static constexpr int kWidth = 437;
  static constexpr int kHeight = 192;
  static constexpr int kProgressWidth = 378;

  CAutoUpdateClientDlg(UpdateHost* host, platform::Ui* ui);
  ~CAutoUpdateClientDlg() override;

  // Start-up of the window; false when it quits at once.
  bool OnInitDialog();
  // From the switch button and the watchdog's tests: see UpdateRun.
  void RestartUpdate(bool retry) { run_->RestartUpdate(retry); }
  // WM_CLOSE: the run ends and the window's modal loop with it.
  void Close() { run_->Exit(); }

  // The job messages of the message map.
  void OnJobDone(uintptr_t wParam, intptr_t lParam);
  void OnJobProgress(uintptr_t wParam, intptr_t lParam);

  // Window.
  void OnPaint(platform::Painter* painter) override;
  void OnLButtonDown(int x, int y) override;
  void OnMouseMove(int x, int y) override;
  void OnLButtonUp(int x, int y) override;
  void OnFocusLost() override;
  void OnTimer(unsigned id) override;
  void OnMessage(unsigned msg, uintptr_t wparam, intptr_t lparam) override;

  // Read by tests and the window back ends.
  unsigned queued_jobs() { return run_->queued_jobs(); }
  const std::wstring& status_text() const { return run_->status_text(); }
  int server_number() const { return run_->server_number(); }
  int overall_percent() { return run_->GetSnapshot().overall_percent; }
  unsigned close_state() const { return close_state_; }
  unsigned skip_state() const { return skip_state_; }
  unsigned switch_state() const { return switch_state_; }
  CDialogMsg* failure_dialog() { return failure_dialog_.get(); }
  Phase phase() const { return run_->phase(); }

 private:
  // Private messages: start the head job without waiting for a tick (the
  // latest one asked for only), and show the too-old message outside the
  // result handler that found it.
  static constexpr unsigned kDispatchMessage = WM_USER + 102;
  static constexpr unsigned kTooOldMessage = WM_USER + 103;

  // RunObserver
  void ScheduleDispatch(unsigned delay_ms) override;
  void SetWatchdog(bool on) override;
  void Changed() override { ui_->Invalidate(); }
  void Notice(const std::wstring& text) override { ui_->Notice(text); }
  void SetFailureText(const std::wstring& text) override { failure_dialog_->SetMessage(text); }
  void ShowFailure() override { failure_dialog_->Show(); }
  void PromptTooOld() override;
  void End(bool start_lobby, bool from_failure_dialog) override;

  void ArmTimer(unsigned id, unsigned period_ms);
  // Asks a yes/no question in a modal box; true on Yes.
  bool Confirm(const std::wstring& question);

  UpdateHost* host_;
  platform::Ui* ui_;
  std::unique_ptr<UpdateRun> run_;
  std::unique_ptr<CDialogMsg> failure_dialog_;
  // Names the latest dispatch asked for; a posted one that is not the
  // latest is void.
  uintptr_t dispatch_generation_ = 0;
  bool ended_ = false;

  bool mouse_down_ = false;
  unsigned close_state_ = 0;
  unsigned skip_state_ = 0;
  unsigned switch_state_ = 0;
  bool tray_icon_present_ = false;
  std::wstring tray_tip_;
  // The animation of the notification-area icon.
  unsigned animation_counter_ = 0;
};
