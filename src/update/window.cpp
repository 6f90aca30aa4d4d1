// The skinned window: painting from bitmap cells, progress accounting, the
// tray animation and the mouse.
#include <algorithm>

#include "platform/process.h"
#include "platform/text.h"
#include "update/auto_update_dlg.h"
#include "update/status_texts.h"

namespace {

struct Rect {
  int left, top, right, bottom;
  bool Contains(int x, int y) const { return x >= left && x < right && y >= top && y < bottom; }
};

constexpr Rect kCloseButton{400, 5, 426, 21};
constexpr Rect kSkipButton{108, 155, 210, 183};
constexpr Rect kSwitchButton{230, 155, 330, 183};
constexpr Rect kDragStrip{0, 0, 400, 20};
constexpr Rect kExitSpot{343, 2, 362, 12};

enum Bitmap { kBackground = 133, kCloseCells = 140, kProgressFill = 141, kSkipCells = 142, kSwitchCells = 143 };

// The animation of the notification-area icon, shared by all notifications.
int g_animation_counter = 0;

}  // namespace

void CAutoUpdateClientDlg::OnPaint(platform::Painter* painter) {
  painter->Blit(kBackground, 0, 0, kWidth, kHeight, 0, 0);
  painter->Blit(kCloseCells, 400, 5, 26, 16, 26 * static_cast<int>(close_state_), 0);
  painter->Blit(kSkipCells, 108, 155, 101, 28, 101 * static_cast<int>(skip_state_), 0);
  painter->Blit(kSwitchCells, 230, 155, 101, 28, 101 * static_cast<int>(switch_state_), 0);
  int fill = overall_percent_ * kProgressWidth / 100;
  if (fill > 0) painter->Blit(kProgressFill, 31, 118, fill, 8, 0, 0);
  painter->Text(115, 133, status_text_);
  // Files still to come: queued jobs and the entries not yet made into jobs.
  unsigned queued = jobs_.GetCount() + static_cast<unsigned>(manifest_.Files.size());
  unsigned done = files_total_ >= queued ? files_total_ - queued : 0;
  if (files_total_ >= queued) {
    painter->Text(32, 133, platform::Format(L"%d%c (%d/%d)", file_percent_, L'%',
                                            static_cast<int>(done), static_cast<int>(files_total_)));
  }
  platform::ProgressReport report;
  report.status = status_text_;
  report.overall_percent = overall_percent_;
  report.file_percent = file_percent_;
  // While a server document is under way the totals are still those of the
  // version before: the working version has none to show yet.
  CInetFile* head = jobs_.GetHead();
  if (!head || head->Kind == kJobFile) {
    report.files_done = files_total_ >= queued ? done : 0;
    report.files_total = files_total_;
    report.bytes_done = bytes_done_;
    report.bytes_total = bytes_total_;
  }
  ui_->ReportProgress(report);
}

void CAutoUpdateClientDlg::UpdatePercentages(const CInetFile* job) {
  if (job->ExpectedLength != 0) {
    file_percent_ = static_cast<int>(std::min<uint64_t>(100, job->Received * 100 / job->ExpectedLength));
  }
  // Retried files count again; the bar never runs past its end.
  if (job->Kind == kJobFile && bytes_total_ != 0) {
    overall_percent_ = static_cast<int>(std::min<uint64_t>(100, bytes_done_ * 100 / bytes_total_));
  }
}

void CAutoUpdateClientDlg::OnJobProgress(uintptr_t wParam, intptr_t lParam) {
  std::lock_guard<std::recursive_mutex> hold(window_lock_);
  if (!IsWorking(phase_)) return;
  // Progress still queued for a job that a server switch has deleted.
  CInetFile* job = jobs_.HeadWithId(static_cast<JobId>(lParam));
  if (!job) return;
  if (job->ExpectedLength != 0) current_transfer_bytes_ = job->Received;
  if (static_cast<int>(JobWParamKind(wParam)) == kJobFile) {
    bytes_done_ += JobWParamLow(wParam);
    if (counted_job_ == job->Id) counted_bytes_ += JobWParamLow(wParam);
  }
  UpdatePercentages(job);
  if (tray_icon_present_) {
    ++g_animation_counter;
    ui_->SetTrayIcon(130 + g_animation_counter % 3);
    const std::wstring progress_tip;  // the tip while files come in
    if (tray_tip_.substr(0, 63) != progress_tip) {
      tray_tip_ = progress_tip;
      ui_->SetTrayTip(tray_tip_);
    }
  }
}

void CAutoUpdateClientDlg::OnLButtonDown(int x, int y) {
  mouse_down_ = true;
  if (kCloseButton.Contains(x, y)) {
    close_state_ = 2;
    if (Confirm(texts::kConfirmExit)) {
      // Only this process ends: another copy of the updater, or any program
      // of the same name, is left alone.
      platform::ExitProcessNow(0);
    }
  } else if (kSwitchButton.Contains(x, y)) {
    switch_state_ = 2;
    if (Confirm(texts::kConfirmSwitch)) AbandonServer(texts::kReasonUserSwitch);
  } else if (kSkipButton.Contains(x, y)) {
    skip_state_ = 2;
    if (Confirm(texts::kConfirmSkip)) LaunchLobby(this);
  }
}

bool CAutoUpdateClientDlg::Confirm(const std::wstring& question) {
  bool yes = ui_->MessageBox(question, texts::kPrompt, true) == platform::kIdYes;
  // The box took the button's release.
  mouse_down_ = false;
  return yes;
}

void CAutoUpdateClientDlg::OnMouseMove(int x, int y) {
  close_state_ = kCloseButton.Contains(x, y) ? 1 : 0;
  skip_state_ = kSkipButton.Contains(x, y) ? 1 : 0;
  switch_state_ = kSwitchButton.Contains(x, y) ? 1 : 0;
  if (mouse_down_ && kDragStrip.Contains(x, y)) {
    ui_->BeginDrag();
    // The platform's drag takes the button's release.
    mouse_down_ = false;
  }
}

void CAutoUpdateClientDlg::OnLButtonUp(int x, int y) {
  mouse_down_ = false;
  close_state_ = skip_state_ = switch_state_ = 0;
  if (kExitSpot.Contains(x, y)) platform::ExitProcessNow(0);
}

void CAutoUpdateClientDlg::OnFocusLost() { mouse_down_ = false; }
