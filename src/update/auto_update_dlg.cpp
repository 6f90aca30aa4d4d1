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

void CAutoUpdateClientDlg::LoadServerEntry(int serverNumber, bool alsoReadVersion) {
  ResumeFile resume(ResumeFilePath());
  server_base_address_ = resume.ReadServerAddress(serverNumber);
  if (alsoReadVersion) working_version_ = resume.ReadCurrentVersion(L"0");
}

void CAutoUpdateClientDlg::LoadHomeUrl() {
  home_page_address_ = ResumeFile(ResumeFilePath()).ReadHomeUrl();
}

int CAutoUpdateClientDlg::MaxVersionNumber() const { return platform::LeadingInt(manifest_.maxVersion); }

int CAutoUpdateClientDlg::WorkingVersionNumber() const { return platform::LeadingInt(working_version_); }

void CAutoUpdateClientDlg::StartServerRequest(bool versionList, unsigned dispatch) {
  if (phase_ == Phase::kClosed) return;
  files_done_ = 0;
  servers_.RemoveAll();
  std::wstring name = Format(L"Temp%d", server_number_);
  LoadServerEntry(server_number_, versionList);
  LoadHomeUrl();
  if (server_base_address_.empty()) {
    LaunchLobby(this);  // no server known, or every one has been tried
    return;
  }
  const std::wstring scheme = platform::ToLowerAscii(server_base_address_.substr(0, 8));
  if (scheme.compare(0, 7, L"http://") != 0 && scheme != L"https://") {
    server_base_address_ = L"http://" + server_base_address_;
  }
  std::wstring url = versionList ? Format(L"%s/update/VerAndUrl.xml", server_base_address_.c_str())
                                 : Format(L"%s/update/%s/FileConfig.xml", server_base_address_.c_str(),
                                          working_version_.c_str());
  servers_.Add(name, url);
  QueueServerDocument(versionList);
  SetPhase(versionList ? Phase::kVersionList : Phase::kManifest, dispatch);
}

void CAutoUpdateClientDlg::QueueServerDocument(bool isVersionList) {
  CServer* server = servers_.GetFirst();
  if (!server) return;
  std::wstring temp = platform::CreateTempFile(L"Xml");
  manifest_.RemoveAll();
  std::wstring last(1, server->name.empty() ? L' ' : server->name.back());
  SetStatusText(Format(texts::kConnecting, last.c_str()), 0);
  bytes_done_ = 0;
  auto* job = new CInetFile(server->address, nullptr, working_version_);
  job->Kind = isVersionList ? kJobVersionList : kJobManifest;
  job->NotifyWindow = handle();
  job->Url = server->address;
  job->ServerName = server->name;
  job->TargetPath = temp;
  job->ExpectedLength = 0;
  jobs_.AddTail(job);
}

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
    if (current_transfer_bytes_ == last_seen_bytes_) {
      if (++stall_ticks_ >= kStallTicks) AbandonServer(texts::kReasonStalled);
    } else {
      last_seen_bytes_ = current_transfer_bytes_;
      stall_ticks_ = 0;
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

void CAutoUpdateClientDlg::HandleVersionList(CInetFile* job, uint32_t code) {
  if (code == 0 && AwaitSignature(job)) return;
  ApplyVersionList(job, code);
}

void CAutoUpdateClientDlg::ApplyVersionList(CInetFile* job, uint32_t code) {
  if (code == 0) {
    manifest_.LoadXml(job->TargetPath, true);
    // A newest version that is not a plain number would end up in file
    // names and URLs: it counts as missing, and a later list may set it.
    if (!manifest_.maxVersion.empty() && !IsSafeVersionText(manifest_.maxVersion)) {
      manifest_.maxVersion.clear();
      CUpdateFiles::FirstProductLoad = true;
    }
    if (!manifest_.maxVersion.empty()) {
      manifest_.LoadUrlList(job->TargetPath);
      platform::DeleteFile(job->TargetPath);
      StartServerRequest(false, kDispatchNow);
      Finish(job, kJobVersionList);
      return;
    }
  }
  platform::DeleteFile(job->TargetPath);
  AbandonServer(texts::kReasonBadList);  // deletes the job with the queue
}

void CAutoUpdateClientDlg::HandleManifest(CInetFile* job, uint32_t code) {
  if (code == 0 && AwaitSignature(job)) return;
  ApplyManifest(job, code);
}

void CAutoUpdateClientDlg::ApplyManifest(CInetFile* job, uint32_t code) {
  const int m = MaxVersionNumber();
  const int w = WorkingVersionNumber();
  if (code != 0) {
    platform::DeleteFile(job->TargetPath);
    // Only the server's word that the manifest is gone means "too old"; a
    // reset, a cut body, a 5xx or a stall is this server's failure.
    const bool withdrawn = job->HttpStatus == 404 || job->HttpStatus == 410;
    if (m > w && withdrawn) {
      // Too old for the server's update path: send the user to reinstall.
      SetPhase(Phase::kTooOld);
      ui_->MessageBox(texts::kTooOld, texts::kWindowTitle, false);
      if (!home_page_address_.empty()) platform::OpenUrl(home_page_address_);
      Close();
      Finish(job, kJobManifest);
    } else if (m < w) {
      LaunchLobby(this);
      Finish(job, kJobManifest);
    } else {
      AbandonServer(Format(texts::kReasonManifestFailed, working_version_.c_str()));
    }
    return;
  }
  const std::wstring recorded = ResumeFile(ResumeFilePath()).ReadCurrentVersion(L"");
  manifest_.productVerion.clear();
  manifest_.LoadXml(job->TargetPath, true);
  if (manifest_.productVerion.empty()) {
    platform::DeleteFile(job->TargetPath);
    AbandonServer(Format(texts::kReasonManifestFailed, working_version_.c_str()));
    return;
  }
  int r, p;
  if (recorded.find(L'.') != std::wstring::npos) {
    r = platform::LeadingInt(recorded.substr(0, recorded.find(L'.')));
    const std::wstring& product = manifest_.productVerion;
    p = platform::LeadingInt(product.substr(0, product.find(L'.')));
  } else {
    r = platform::LeadingInt(recorded);
    p = platform::LeadingInt(manifest_.productVerion);
  }
  const bool existing_only = r >= p;
  if (m < w) {
    // Ahead of the server: nothing to fetch, the run ends here.
    platform::DeleteFile(job->TargetPath);
    LaunchLobby(this);
    Finish(job, kJobManifest);
    return;
  }
  files_rejected_ = 0;
  require_sha256_ = trust_.Enabled();
  if (manifest_.LoadXml(job->TargetPath, false)) {
    files_rejected_ = RejectUnsafeEntries();
    files_total_ = manifest_.CheckLocalFiles(existing_only) + files_rejected_;
    if (require_sha256_) files_rejected_ += RejectEntriesWithoutSha256();
    bytes_total_ = manifest_.GetUpdateLength();
    if (files_total_ == 0) {
      SaveCompletedVersion();
    } else {
      SetStatusText(Format(texts::kFilesToUpdate, files_total_,
                           static_cast<unsigned>(bytes_total_ / 1024)), 0);
    }
    if (QueueNextFile()) SetPhase(Phase::kFiles);
  }
  platform::DeleteFile(job->TargetPath);
  Finish(job, kJobManifest);
  // Every file of the version was refused for its path: nothing will run
  // to end the version, so it ends here as incomplete.
  if (files_rejected_ > 0 && files_total_ == files_rejected_ && jobs_.GetCount() == 0) ShowFailure();
}

unsigned CAutoUpdateClientDlg::RejectUnsafeEntries() {
  return manifest_.RemoveIf([this](const CUpdateFile& entry) {
    // A link inside the install could lead the file anywhere.
    if (IsSafeEntryPath(entry) && !platform::CrossesLink(entry.FullPath)) return false;
    std::wstring text = Format(texts::kUnsafePath, (entry.LocalPath + L"/" + entry.FileName).c_str());
    SetStatusText(text, 1);
    failure_dialog_->SetMessage(text);
    return true;
  });
}

bool CAutoUpdateClientDlg::QueueNextFile() {
  if (!IsWorking(phase_)) return false;  // the run has ended
  bool file_queued = false;
  jobs_.ForEach([&](const CInetFile& job) { file_queued = file_queued || job.Kind == kJobFile; });
  if (file_queued) return true;
  std::unique_ptr<CUpdateFile> entry(manifest_.PopFront());
  if (!entry) return false;
  if (!entry->LocalPath.empty()) entry->LocalPath += L"/";
  auto* file_job = new CInetFile(server_base_address_, entry.get(), working_version_);
  file_job->Kind = kJobFile;
  file_job->NotifyWindow = handle();
  file_job->ServerName = servers_.GetFirst() ? servers_.GetFirst()->name : std::wstring();
  file_job->TargetPath = entry->FullPath;
  file_job->FileName = entry->FileName;
  file_job->ExpectedLength = static_cast<uint64_t>(entry->Length);
  file_job->ExpectedMd5 = entry->Md5;
  file_job->ExpectedSha256 = entry->Sha256;
  file_job->FileTime = entry->FileDate;
  file_job->DeferDurability = true;
  jobs_.AddTail(file_job);
  return true;
}

void CAutoUpdateClientDlg::HandleFile(CInetFile* job, uint32_t code) {
  if (code != 0) {
    InstallAwaiting();  // the files that came before it go into place first
    if (!job->FileName.empty() && failure_dialog_) {
      std::wstring text = Format(texts::kDownloadFailed, job->FileName.c_str(), code);
      SetStatusText(text, 1);
      if (!job->TriedUrl.empty()) host_->WriteLog(Format(texts::kLastUrlTried, job->TriedUrl.c_str()));
      failure_dialog_->SetMessage(text);
      ShowFailure();  // the job stays at the head until the user decides
      return;
    }
    RestartUpdate(false);
    return;
  }
  download_naming_switch_ = false;
  // The finished copy waits for a barrier it shares with the next ones.
  awaiting_bytes_ += job->ExpectedLength;
  awaiting_.emplace_back(jobs_.Detach(job));
  awaiting_.back()->ReleaseTransfer();
  // A full batch, or the version's last file: the barrier now.
  if (awaiting_.size() >= kBatchFiles || awaiting_bytes_ >= kBatchBytes || !QueueNextFile()) {
    InstallAwaiting();
  }
  Finish(nullptr, kJobFile);
}

void CAutoUpdateClientDlg::InstallAwaiting() {
  if (awaiting_.empty()) return;
  std::vector<std::wstring> pending, placed;
  for (const auto& job : awaiting_) pending.push_back(job->GetTempName());
  // Nothing goes into place before its bytes are on disk.
  const bool durable = platform::MakeDurable(pending);
  const unsigned done_before = files_done_;
  const std::wstring first_name = awaiting_.front()->FileName;
  for (auto& job : awaiting_) {
    if (durable) {
      if (!InstallFinished(job.get())) {
        jobs_.AddTail(job.release());
        continue;
      }
      placed.push_back(job->TargetPath);
    } else {
      std::wstring text = Format(texts::kRenameFailed, job->FileName.c_str());
      SetStatusText(text, 1);
      failure_dialog_->SetMessage(text);
    }
  }
  // Names that could still be lost would make a recorded version a lie.
  if (!placed.empty() && !platform::MakeDurable(placed)) {
    files_done_ = done_before;
    std::wstring text = Format(texts::kRenameFailed, first_name.c_str());
    SetStatusText(text, 1);
    failure_dialog_->SetMessage(text);
  }
  awaiting_.clear();
  awaiting_bytes_ = 0;
}

bool CAutoUpdateClientDlg::InstallFinished(CInetFile* job) {
  // Every file whose manifest gives a digest is checked, new ones too; an
  // installed file is never replaced by bytes that no digest vouches for.
  const bool unchecked = job->ExpectedMd5.empty() && !FileExists(job->TargetPath);
  if (require_sha256_ ? !VerifySignedDownload(job) : !unchecked && !VerifyDownload(job)) {
    // The copy is gone; its record must not outlive it.
    DeleteProgress(job->GetTempName());
    // Bytes kept from an earlier attempt may be what is wrong: once, the
    // whole file comes again before the failure is shown.
    return job->Resumed == 0;
  }
  const std::wstring pending = job->GetTempName();
  DeleteProgress(pending);
  if (FileExists(job->TargetPath)) {
    // One step from old to new: the target is never missing.
    if (platform::ReplaceFile(pending, job->TargetPath, false)) {
      SetStatusText(Format(texts::kDownloaded, job->FileName.c_str()), 0);
      ++files_done_;
    } else {
      std::wstring text = Format(texts::kDeleteFailed, job->FileName.c_str());
      SetStatusText(text, 1);
      failure_dialog_->SetMessage(text);
      SetFileTimes(pending, job->FileTime);
      if (platform::EqualsNoCase(job->FileName, host_->ExeName())) {
        ++files_done_;
        ReplaceRunningUpdater(job);
      }
    }
  } else if (InstallDownload(job)) {
    ++files_done_;
  }
  SetFileTimes(job->TargetPath, job->FileTime);
  return true;
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
