// The skinned window: painting from bitmap cells and the mouse.
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

}  // namespace

void CAutoUpdateClientDlg::OnPaint(platform::Painter* painter) {
  const UpdateRun::Snapshot run = run_->GetSnapshot();
  painter->Blit(kBackground, 0, 0, kWidth, kHeight, 0, 0);
  painter->Blit(kCloseCells, 400, 5, 26, 16, 26 * static_cast<int>(close_state_), 0);
  painter->Blit(kSkipCells, 108, 155, 101, 28, 101 * static_cast<int>(skip_state_), 0);
  painter->Blit(kSwitchCells, 230, 155, 101, 28, 101 * static_cast<int>(switch_state_), 0);
  int fill = run.overall_percent * kProgressWidth / 100;
  if (fill > 0) painter->Blit(kProgressFill, 31, 118, fill, 8, 0, 0);
  painter->Text(115, 133, run.status);
  if (run.counts_shown) {
    painter->Text(32, 133, platform::Format(L"%d%c (%d/%d)", run.file_percent, L'%',
                                            static_cast<int>(run.files_done), static_cast<int>(run.files_total)));
  }
  platform::ProgressReport report;
  report.status = run.status;
  report.overall_percent = run.overall_percent;
  report.file_percent = run.file_percent;
  // While a server document is under way the totals are still those of the
  // version before: the working version has none to show yet.
  if (run.totals_current) {
    report.files_done = run.files_done;
    report.files_total = run.files_total;
    report.bytes_done = run.bytes_done;
    report.bytes_total = run.bytes_total;
  }
  ui_->ReportProgress(report);
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
    // The run may have left this server by itself while the box was open:
    // that is the switch asked for, and the next server is not skipped.
    const int server = run_->server_number();
    if (Confirm(texts::kConfirmSwitch) && run_->server_number() == server) run_->SwitchServer();
  } else if (kSkipButton.Contains(x, y)) {
    skip_state_ = 2;
    if (Confirm(texts::kConfirmSkip)) run_->Skip(false);
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
