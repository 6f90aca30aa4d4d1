#include "update/auto_update_dlg.h"

#include <algorithm>

#include "platform/process.h"
#include "platform/text.h"
#include "update/status_texts.h"

CAutoUpdateClientDlg::CAutoUpdateClientDlg(UpdateHost* host, platform::Ui* ui)
    : host_(host),
      ui_(ui),
      run_(new UpdateRun(host, this, handle())),
      failure_dialog_(new CDialogMsg(run_.get(), ui)) {}

CAutoUpdateClientDlg::~CAutoUpdateClientDlg() {
  if (tray_icon_present_) {
    ui_->RemoveTrayIcon();
    tray_icon_present_ = false;
  }
  // The run goes first: what it still reports finds the window whole.
  run_.reset();
}

bool CAutoUpdateClientDlg::OnInitDialog() {
  ui_->CreateMainWindow(this, 0, 0, kWidth, kHeight);
  if (host_->ServerWord().empty()) {
    run_->Exit();
    return false;
  }
  run_->Start();
  if (!tray_icon_present_) {
    tray_icon_present_ = ui_->AddTrayIcon(130, texts::kTrayTip);
    tray_tip_ = texts::kTrayTip;
  }
  ui_->SetTitle(texts::kWindowTitle);
  failure_dialog_->Create();
  return true;
}

void CAutoUpdateClientDlg::OnMessage(unsigned msg, uintptr_t wparam, intptr_t lparam) {
  if (msg == WM_JOB_DONE) OnJobDone(wparam, lparam);
  else if (msg == WM_JOB_PROGRESS) OnJobProgress(wparam, lparam);
  else if (msg == kDispatchMessage && wparam == dispatch_generation_) run_->OnDispatchTick();
  else if (msg == kTooOldMessage) {
    ui_->MessageBox(texts::kTooOld, texts::kWindowTitle, false);
    run_->TooOldSeen();
  }
}

void CAutoUpdateClientDlg::OnTimer(unsigned id) {
  if (id == kDispatchTimer) run_->OnDispatchTick();
  else if (id == kWatchdogTimer) run_->OnWatchdogTick();
}

void CAutoUpdateClientDlg::OnJobDone(uintptr_t wParam, intptr_t lParam) {
  run_->OnJobDone(JobWParamLow(wParam), static_cast<int>(JobWParamKind(wParam)), static_cast<JobId>(lParam));
}

void CAutoUpdateClientDlg::OnJobProgress(uintptr_t wParam, intptr_t lParam) {
  if (!run_->OnJobProgress(JobWParamLow(wParam), static_cast<int>(JobWParamKind(wParam)),
                           static_cast<JobId>(lParam))) {
    return;
  }
  if (tray_icon_present_) {
    ++animation_counter_;
    ui_->SetTrayIcon(130 + static_cast<int>(animation_counter_ % 3));
    const std::wstring progress_tip;  // the tip while files come in
    if (tray_tip_.substr(0, 63) != progress_tip) {
      tray_tip_ = progress_tip;
      ui_->SetTrayTip(tray_tip_);
    }
  }
}

void CAutoUpdateClientDlg::ArmTimer(unsigned id, unsigned period_ms) {
  SetTimer(id, std::max(1u, period_ms / std::max(1u, host_->ClockSpeed())));
}

void CAutoUpdateClientDlg::ScheduleDispatch(unsigned delay_ms) {
  // A dispatch already asked for is void once the plan changes.
  ++dispatch_generation_;
  KillTimer(kDispatchTimer);
  if (ended_ || delay_ms == kNoDispatch) return;
  if (delay_ms == kDispatchNow) {
    platform::PostMessage(handle(), kDispatchMessage, dispatch_generation_, 0);
  } else {
    ArmTimer(kDispatchTimer, delay_ms);
  }
}

void CAutoUpdateClientDlg::SetWatchdog(bool on) {
  if (!on) KillTimer(kWatchdogTimer);
  else if (!HasTimer(kWatchdogTimer) && !ended_) ArmTimer(kWatchdogTimer, kWatchdogPeriod);
}

void CAutoUpdateClientDlg::PromptTooOld() {
  // Not from inside the result handler that found it: the box runs a
  // nested loop.
  platform::PostMessage(handle(), kTooOldMessage, 0, 0);
}

void CAutoUpdateClientDlg::End(bool start_lobby, bool from_failure_dialog) {
  if (ended_) return;
  ended_ = true;
  KillTimer(kDispatchTimer);
  KillTimer(kWatchdogTimer);
  const uintptr_t owner_window = ui_->NativeWindow(from_failure_dialog);
  ui_->EndModal();
  if (!start_lobby) return;
  platform::Sleep(500 / std::max(1u, host_->ClockSpeed()));
  const std::wstring dir = host_->ExeDir();
  if (platform::StartProcess(run_->LobbyPath(), dir, owner_window)) {
    host_->OnLobbyStarted();
    return;
  }
  // Else the window would just be gone, with nothing to say why.
  const std::wstring text = platform::Format(texts::kLobbyNotStarted, run_->LobbyPath().c_str());
  host_->WriteLog(text);
  ui_->MessageBox(text, texts::kWindowTitle, false);
}
