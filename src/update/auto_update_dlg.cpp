#include "update/auto_update_dlg.h"

#include <algorithm>
#include <limits>

#include "manifest/path_safety.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"
#include "net/download_progress.h"
#include "update/leftover_downloads.h"
#include "update/resume_file.h"
#include "update/status_texts.h"

using platform::Format;

CAutoUpdateClientDlg::CAutoUpdateClientDlg(UpdateHost* host, platform::Ui* ui)
    : host_(host), ui_(ui), failure_dialog_(new CDialogMsg(this, ui)) {
  manifest_.SetBaseDirectories(host_->ExeDir());
}

CAutoUpdateClientDlg::~CAutoUpdateClientDlg() {
  if (tray_icon_present_) {
    ui_->RemoveTrayIcon();
    tray_icon_present_ = false;
  }
  DropJobs();
}

std::wstring CAutoUpdateClientDlg::ResumeFilePath() const { return host_->ResumeFilePath(); }

bool CAutoUpdateClientDlg::IsWorking(Phase phase) {
  return phase == Phase::kVersionList || phase == Phase::kManifest || phase == Phase::kFiles;
}

const wchar_t* CAutoUpdateClientDlg::PhaseName(Phase phase) {
  switch (phase) {
    case Phase::kStarting: return L"starting";
    case Phase::kVersionList: return L"version list";
    case Phase::kManifest: return L"manifest";
    case Phase::kFiles: return L"files";
    case Phase::kWaitingForUser: return L"waiting for the user";
    case Phase::kTooOld: return L"too old";
    case Phase::kClosed: return L"closed";
  }
  return L"?";
}

void CAutoUpdateClientDlg::SetPhase(Phase next, unsigned dispatch) {
  if (phase_ == Phase::kClosed) return;  // the end is final
  if (next != phase_) {
    host_->DebugLog(Format(L"phase: %s -> %s", PhaseName(phase_), PhaseName(next)));
    phase_ = next;
  }
  // A dispatch already asked for is void once the plan changes.
  ++dispatch_generation_;
  if (!IsWorking(phase_)) {
    KillTimer(kDispatchTimer);
    KillTimer(kWatchdogTimer);
    return;
  }
  // The watchdog keeps its cadence while the run goes on.
  if (!HasTimer(kWatchdogTimer)) ArmTimer(kWatchdogTimer, kWatchdogPeriod);
  if (dispatch == kNoDispatch) {
    KillTimer(kDispatchTimer);
  } else if (dispatch == kDispatchNow) {
    KillTimer(kDispatchTimer);
    platform::PostMessage(handle(), kDispatchMessage, dispatch_generation_, 0);
  } else {
    ArmTimer(kDispatchTimer, dispatch);
  }
}

void CAutoUpdateClientDlg::ArmTimer(unsigned id, unsigned period_ms) {
  SetTimer(id, std::max(1u, period_ms / std::max(1u, host_->ClockSpeed())));
}

bool CAutoUpdateClientDlg::OnInitDialog() {
  ui_->CreateMainWindow(this, 0, 0, kWidth, kHeight);
  if (host_->ServerWord().empty()) {
    Close();
    return false;
  }
  server_base_address_.clear();
  LoadServerEntry(server_number_, true);
  StartServerRequest(true, kDispatchPeriod);
  if (!tray_icon_present_) {
    tray_icon_present_ = ui_->AddTrayIcon(130, texts::kTrayTip);
    tray_tip_ = texts::kTrayTip;
  }
  file_percent_ = overall_percent_ = 0;
  ui_->SetTitle(texts::kWindowTitle);
  failure_dialog_->Create();
  return true;
}

void CAutoUpdateClientDlg::OnMessage(unsigned msg, uintptr_t wparam, intptr_t lparam) {
  if (msg == WM_JOB_DONE) OnJobDone(wparam, lparam);
  else if (msg == WM_JOB_PROGRESS) OnJobProgress(wparam, lparam);
  else if (msg == kDispatchMessage && wparam == dispatch_generation_) DispatchTick();
}

void CAutoUpdateClientDlg::OnTimer(unsigned id) {
  if (id == kDispatchTimer) DispatchTick();
  else if (id == kWatchdogTimer) WatchdogTick();
}

void CAutoUpdateClientDlg::SetStatusText(const std::wstring& text, int log) {
  status_text_ = text;
  if (log) host_->WriteLog(text);
}

int CAutoUpdateClientDlg::MaxVersionNumber() const { return platform::LeadingInt(manifest_.maxVersion); }

int CAutoUpdateClientDlg::WorkingVersionNumber() const { return platform::LeadingInt(working_version_); }

void CAutoUpdateClientDlg::DispatchTick() {
  ui_->Invalidate();
  std::lock_guard<std::recursive_mutex> hold(window_lock_);
  CInetFile* job = jobs_.GetHead();
  if (!IsWorking(phase_) || !job) return;
  current_transfer_bytes_ = last_seen_bytes_ = 0;
  stall_ticks_ = 0;
  const std::wstring suffix = L".update";
  if (download_naming_switch_ && !platform::EndsWith(job->Url, suffix)) {
    job->Url += suffix;
  } else if (!download_naming_switch_ && platform::EndsWith(job->Url, suffix)) {
    job->Url.resize(job->Url.size() - suffix.size());
  }
  if (job->Kind == kJobFile) {
    SetStatusText(Format(texts::kUpdatingFile, working_version_.c_str(), job->FileName.c_str()), 0);
  }
  // One job at a time: the next one is asked for when this one's result
  // has been handled.
  SetPhase(phase_, kNoDispatch);
  job->Start(job->Kind == kJobFile);
  // Bytes an earlier attempt left on disk count as done, once per job.
  if (job->Kind == kJobFile) {
    if (counted_job_ != job->Id) {
      counted_job_ = job->Id;
      counted_bytes_ = 0;
    }
    if (job->Resumed > counted_bytes_) {
      bytes_done_ += job->Resumed - counted_bytes_;
      counted_bytes_ = job->Resumed;
    }
    current_transfer_bytes_ = last_seen_bytes_ = job->Received;
    UpdatePercentages(job);
  }
}

void CAutoUpdateClientDlg::WatchdogTick() {
  if (IsWorking(phase_)) {
    // A transfer that started over counts from where it is now.
    if (current_transfer_bytes_ < last_seen_bytes_) last_seen_bytes_ = current_transfer_bytes_;
    if (current_transfer_bytes_ >= last_seen_bytes_ + kMinProgressBytes) {
      last_seen_bytes_ = current_transfer_bytes_;
      stall_ticks_ = 0;
    } else if (++stall_ticks_ >= kStallTicks) {
      AbandonServer(texts::kReasonStalled);
    }
  }
  ui_->Invalidate();
}

void CAutoUpdateClientDlg::OnJobDone(uintptr_t wParam, intptr_t lParam) {
  std::lock_guard<std::recursive_mutex> hold(window_lock_);
  if (!IsWorking(phase_)) return;
  // A result still queued for a job that a server switch has deleted names
  // a job that is no longer at the head.
  CInetFile* job = jobs_.HeadWithId(static_cast<JobId>(lParam));
  if (!job) return;
  const int kind = static_cast<int>(JobWParamKind(wParam));
  const uint32_t code = JobWParamLow(wParam);
  // The reasons a result code cannot carry: TLS refused the server, or a
  // redirect would have left https.
  if (code != 0 && !job->FailureNote.empty()) host_->WriteLog(job->FailureNote);
  switch (kind) {
    case kJobVersionList: HandleVersionList(job, code); break;
    case kJobManifest: HandleManifest(job, code); break;
    case kJobFile: HandleFile(job, code); break;
    case kJobSignature: HandleSignature(job, code); break;
    default: Finish(job, kind); break;
  }
}

void CAutoUpdateClientDlg::Finish(CInetFile* job, int kind) {
  if (job) jobs_.Remove(job);
  if (!IsWorking(phase_)) return;
  if (kind == kJobFile && !QueueNextFile()) {
    if (files_done_ != files_total_) {
      ShowFailure();
      return;
    }
    SetStatusText(texts::kVersionDone, 0);
    SaveCompletedVersion();
  }
  // No pause between jobs: the next starts as soon as this result is done.
  if (IsWorking(phase_)) SetPhase(phase_, kDispatchNow);
}

void CAutoUpdateClientDlg::ShowFailure() {
  SetPhase(Phase::kWaitingForUser);
  failure_dialog_->Show();
}

void CAutoUpdateClientDlg::SaveCompletedVersion() {
  const int m = MaxVersionNumber();
  const int w = WorkingVersionNumber();
  ResumeFile resume(ResumeFilePath());
  if (m > w) {
    resume.WriteCurrentVersion(working_version_);
    RemoveKeptDownloads(host_->ExeDir(), w);
    working_version_ = Format(L"%d", w + 1);
    SetStatusText(Format(texts::kNextVersion, working_version_.c_str()), 0);
    StartServerRequest(false, kDispatchNow);
  } else if (m == w) {
    resume.WriteCurrentVersion(manifest_.maxVersion);
    // The run is complete: nothing kept is of use any more.
    RemoveKeptDownloads(host_->ExeDir(), std::numeric_limits<int>::max());
    for (int i = 1; i <= 8; ++i) {
      const std::wstring& address = manifest_.UrlList[i - 1];
      if (address.empty()) continue;
      // A control character would forge lines of the resume file.
      if (std::any_of(address.begin(), address.end(), [](wchar_t c) { return c < 0x20 || c == 0x7F; })) {
        SetStatusText(Format(texts::kServerEntryRefused, i, address.c_str()), 1);
        continue;
      }
      resume.WriteServerAddress(i, address);
    }
    LaunchLobby(this);
  }
}

void CAutoUpdateClientDlg::Report(const std::wstring& text) {
  SetStatusText(text, 1);
  ui_->Notice(text);
}

void CAutoUpdateClientDlg::AbandonServer(const std::wstring& reason) {
  if (!IsWorking(phase_) && phase_ != Phase::kWaitingForUser) return;
  Report(Format(texts::kServerAbandoned, server_number_, reason.c_str()));
  RestartUpdate(false);
}

void CAutoUpdateClientDlg::DropJobs() {
  InstallAwaiting();  // finished files are kept, as if installed at once
  // The documents' temporary files are of no use to anyone; a file's
  // pending copy is kept for a later attempt when its progress is recorded.
  jobs_.ForEach([](CInetFile& job) {
    job.Stop();
    if (job.Kind != kJobFile || !platform::CanOpenForRead(ProgressRecordPath(job.GetTempName()))) {
      platform::DeleteFile(job.GetTempName());
    }
  });
  jobs_.RemoveAll();
}

void CAutoUpdateClientDlg::RestartUpdate(bool retry) {
  if (phase_ == Phase::kClosed || phase_ == Phase::kTooOld) return;
  if (retry) {
    download_naming_switch_ = !download_naming_switch_;
    // The job that failed is still at the head and runs again.
    CInetFile* head = jobs_.GetHead();
    const int kind = head ? head->Kind : kJobFile;
    const Phase resumed = kind == kJobVersionList ? Phase::kVersionList
                          : kind == kJobManifest  ? Phase::kManifest
                                                  : Phase::kFiles;
    SetPhase(resumed, kDispatchPeriod);
  } else {
    DropJobs();
    if (!held_document_.empty()) platform::DeleteFile(held_document_);
    held_document_.clear();
    ++server_number_;
    StartServerRequest(true, kSwitchDispatchPeriod);
    current_transfer_bytes_ = last_seen_bytes_ = 0;
    stall_ticks_ = 0;
    files_total_ = 0;
    bytes_total_ = 0;
    file_percent_ = overall_percent_ = 0;
  }
  ui_->Invalidate();
}

void CAutoUpdateClientDlg::LaunchLobby(const void* owner) {
  if (phase_ == Phase::kClosed) return;
  const std::wstring recorded = ResumeFile(ResumeFilePath()).ReadCurrentVersion(L"0");
  if (!manifest_.maxVersion.empty() && platform::LeadingInt(recorded) < MaxVersionNumber()) {
    Report(Format(texts::kHandOverBelowNewest, manifest_.maxVersion.c_str(), recorded.c_str()));
  } else if (manifest_.maxVersion.empty() && server_number_ > 1) {
    Report(texts::kHandOverNoVersionList);
  }
  const std::wstring dir = host_->ExeDir();
  const uintptr_t owner_window = ui_->NativeWindow(owner == failure_dialog_.get());
  Close();
  platform::Sleep(500 / std::max(1u, host_->ClockSpeed()));
  if (platform::StartProcess(dir + platform::kPathSeparator + L"kelvora.exe", dir, owner_window)) {
    host_->OnLobbyStarted();
  }
}

void CAutoUpdateClientDlg::Close() {
  InstallAwaiting();
  SetPhase(Phase::kClosed);
  ui_->EndModal();
}
