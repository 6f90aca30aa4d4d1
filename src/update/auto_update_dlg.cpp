#include "update/auto_update_dlg.h"

#include "app/app.h"
#include "manifest/path_safety.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"
#include "update/resume_file.h"
#include "update/status_texts.h"

using platform::Format;

CAutoUpdateClientDlg::CAutoUpdateClientDlg(CAutoUpdateClientApp* app, platform::Ui* ui)
    : app_(app), ui_(ui), failure_dialog_(new CDialogMsg(this, ui)) {
  manifest_.SetBaseDirectories(app_->ExeDir());
}

CAutoUpdateClientDlg::~CAutoUpdateClientDlg() {
  if (tray_icon_present_) {
    ui_->RemoveTrayIcon();
    tray_icon_present_ = false;
  }
  jobs_.RemoveAll();
}

std::wstring CAutoUpdateClientDlg::ResumeFilePath() const { return app_->ResumeFilePath(); }

bool CAutoUpdateClientDlg::OnInitDialog() {
  ui_->CreateMainWindow(this, 0, 0, kWidth, kHeight);
  if (app_->ServerAddress.empty()) {
    Close();
    return false;
  }
  server_base_address_.clear();
  LoadServerEntry(server_number_, true);
  StartServerRequest(true);
  if (!tray_icon_present_) {
    tray_icon_present_ = ui_->AddTrayIcon(130, texts::kTrayTip);
    tray_tip_ = texts::kTrayTip;
  }
  file_percent_ = overall_percent_ = 0;
  if (!closing_) {
    SetTimer(kDispatchTimer, kDispatchPeriod);
    SetTimer(kWatchdogTimer, kWatchdogPeriod);
  }
  ui_->SetTitle(texts::kWindowTitle);
  failure_dialog_->Create();
  return true;
}

void CAutoUpdateClientDlg::OnMessage(unsigned msg, uintptr_t wparam, intptr_t lparam) {
  if (msg == WM_JOB_DONE) OnJobDone(wparam, lparam);
  else if (msg == WM_JOB_PROGRESS) OnJobProgress(wparam, lparam);
}

void CAutoUpdateClientDlg::OnTimer(unsigned id) {
  if (id == kDispatchTimer) DispatchTick();
  else if (id == kWatchdogTimer) WatchdogTick();
}

void CAutoUpdateClientDlg::SetStatusText(const std::wstring& text, int log) {
  status_text_ = text;
  if (log) app_->WriteLog(text);
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

void CAutoUpdateClientDlg::StartServerRequest(bool versionList) {
  files_done_ = 0;
  servers_.RemoveAll();
  std::wstring name = Format(L"Temp%d", server_number_);
  LoadServerEntry(server_number_, versionList);
  LoadHomeUrl();
  if (server_base_address_.empty()) {
    LaunchLobby(this);  // no server known, or every one has been tried
    return;
  }
  if (platform::ToLowerAscii(server_base_address_.substr(0, 7)) != L"http://") {
    server_base_address_ = L"http://" + server_base_address_;
  }
  std::wstring url = versionList ? Format(L"%s/update/VerAndUrl.xml", server_base_address_.c_str())
                                 : Format(L"%s/update/%s/FileConfig.xml", server_base_address_.c_str(),
                                          working_version_.c_str());
  servers_.Add(name, url);
  QueueServerDocument(versionList);
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
  current_transfer_bytes_ = last_seen_bytes_ = 0;
  stall_ticks_ = 0;
  busy_ = true;
  ui_->Invalidate();
  std::lock_guard<std::recursive_mutex> hold(window_lock_);
  current_job_ = jobs_.GetHead();
  if (!current_job_ || closing_) return;
  const std::wstring suffix = L".update";
  if (download_naming_switch_ && !platform::EndsWith(current_job_->Url, suffix)) {
    current_job_->Url += suffix;
  } else if (!download_naming_switch_ && platform::EndsWith(current_job_->Url, suffix)) {
    current_job_->Url.resize(current_job_->Url.size() - suffix.size());
  }
  if (current_job_->Kind == kJobFile) {
    SetStatusText(Format(texts::kUpdatingFile, working_version_.c_str(), current_job_->FileName.c_str()), 0);
  }
  KillTimer(kDispatchTimer);
  current_job_->Start(current_job_->Kind == kJobFile);
}

void CAutoUpdateClientDlg::WatchdogTick() {
  if (!too_old_shown_) {
    if (current_transfer_bytes_ == last_seen_bytes_) {
      if (++stall_ticks_ >= kStallTicks) RestartUpdate(false);
    } else {
      last_seen_bytes_ = current_transfer_bytes_;
      stall_ticks_ = 0;
    }
  }
  ui_->Invalidate();
}

void CAutoUpdateClientDlg::OnJobDone(uintptr_t wParam, intptr_t lParam) {
  std::lock_guard<std::recursive_mutex> hold(window_lock_);
  auto* job = reinterpret_cast<CInetFile*>(lParam);
  // A result that was still queued when a server switch deleted its job.
  if (!job || !jobs_.Contains(job) || closing_) return;
  const int kind = static_cast<int>(JobWParamKind(wParam));
  const uint32_t code = JobWParamLow(wParam);
  switch (kind) {
    case kJobVersionList: HandleVersionList(job, code); break;
    case kJobManifest: HandleManifest(job, code); break;
    case kJobFile: HandleFile(job, code); break;
    default: Finish(job, kind); break;
  }
}

void CAutoUpdateClientDlg::HandleVersionList(CInetFile* job, uint32_t code) {
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
      StartServerRequest(false);
      Finish(job, kJobVersionList);
      return;
    }
  }
  platform::DeleteFile(job->TargetPath);
  RestartUpdate(false);  // deletes the job with the queue
}

void CAutoUpdateClientDlg::HandleManifest(CInetFile* job, uint32_t code) {
  const int m = MaxVersionNumber();
  const int w = WorkingVersionNumber();
  if (code != 0) {
    platform::DeleteFile(job->TargetPath);
    if (m > w) {
      // Too old for the server's update path: send the user to reinstall.
      KillTimer(kWatchdogTimer);
      too_old_shown_ = true;
      ui_->MessageBox(texts::kTooOld, texts::kWindowTitle, false);
      too_old_shown_ = false;
      if (!home_page_address_.empty()) platform::OpenUrl(home_page_address_);
      Close();
      Finish(job, kJobManifest);
    } else if (m < w) {
      LaunchLobby(this);
      Finish(job, kJobManifest);
    } else {
      RestartUpdate(false);
    }
    return;
  }
  const std::wstring recorded = ResumeFile(ResumeFilePath()).ReadCurrentVersion(L"");
  manifest_.productVerion.clear();
  manifest_.LoadXml(job->TargetPath, true);
  if (manifest_.productVerion.empty()) {
    platform::DeleteFile(job->TargetPath);
    RestartUpdate(false);
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
  if (m < w) LaunchLobby(this);
  files_rejected_ = 0;
  if (manifest_.LoadXml(job->TargetPath, false)) {
    files_rejected_ = RejectUnsafeEntries();
    files_total_ = manifest_.CheckLocalFiles(existing_only) + files_rejected_;
    bytes_total_ = manifest_.GetUpdateLength();
    if (files_total_ == 0) {
      SaveCompletedVersion();
    } else {
      SetStatusText(Format(texts::kFilesToUpdate, files_total_,
                           static_cast<unsigned>(bytes_total_ / 1024)), 0);
    }
    while (CUpdateFile* entry = manifest_.PopFront()) {
      if (!entry->LocalPath.empty()) entry->LocalPath += L"/";
      auto* file_job = new CInetFile(server_base_address_, entry, working_version_);
      file_job->Kind = kJobFile;
      file_job->NotifyWindow = handle();
      file_job->ServerName = job->ServerName;
      file_job->TargetPath = entry->FullPath;
      file_job->FileName = entry->FileName;
      file_job->ExpectedLength = static_cast<uint64_t>(entry->Length);
      file_job->ExpectedMd5 = entry->Md5;
      file_job->FileTime = entry->FileDate;
      jobs_.AddTail(file_job);
      delete entry;
    }
  }
  platform::DeleteFile(job->TargetPath);
  Finish(job, kJobManifest);
  // Every file of the version was refused for its path: nothing will run
  // to end the version, so it ends here as incomplete.
  if (files_rejected_ > 0 && files_total_ == files_rejected_ && jobs_.GetCount() == 0) ShowFailure();
}

unsigned CAutoUpdateClientDlg::RejectUnsafeEntries() {
  unsigned rejected = 0;
  std::list<CUpdateFile*> unsafe;
  for (CUpdateFile* entry : manifest_.Files) {
    if (!IsSafeEntryPath(*entry)) unsafe.push_back(entry);
  }
  for (CUpdateFile* entry : unsafe) {
    std::wstring text = Format(texts::kUnsafePath, (entry->LocalPath + L"/" + entry->FileName).c_str());
    SetStatusText(text, 1);
    failure_dialog_->SetMessage(text);
    manifest_.Remove(entry);
    ++rejected;
  }
  return rejected;
}

void CAutoUpdateClientDlg::HandleFile(CInetFile* job, uint32_t code) {
  if (code != 0) {
    if (!job->FileName.empty() && failure_dialog_) {
      std::wstring text = Format(texts::kDownloadFailed, job->FileName.c_str(), code);
      SetStatusText(text, 1);
      failure_dialog_->SetMessage(text);
      ShowFailure();  // the job stays at the head until the user decides
      return;
    }
    RestartUpdate(false);
    return;
  }
  // Every file whose manifest gives a digest is checked, new ones too.
  if (!job->ExpectedMd5.empty() && !VerifyDownload(job)) {
    Finish(job, kJobFile);
    return;
  }
  const std::wstring pending = job->GetTempName();
  if (FileExists(job->TargetPath)) {
    // One step from old to new: the target is never missing.
    if (platform::ReplaceFile(pending, job->TargetPath)) {
      SetStatusText(Format(texts::kDownloaded, job->FileName.c_str()), 0);
      ++files_done_;
    } else {
      std::wstring text = Format(texts::kDeleteFailed, job->FileName.c_str());
      SetStatusText(text, 1);
      failure_dialog_->SetMessage(text);
      SetFileTimes(pending, job->FileTime);
      if (platform::EqualsNoCase(job->FileName, app_->ExeFileName)) {
        ++files_done_;
        ReplaceRunningUpdater(job);
      }
    }
  } else if (InstallDownload(job)) {
    ++files_done_;
  }
  SetFileTimes(job->TargetPath, job->FileTime);
  download_naming_switch_ = false;
  Finish(job, kJobFile);
}

void CAutoUpdateClientDlg::Finish(CInetFile* job, int kind) {
  jobs_.Remove(job);
  if (current_job_ == job) current_job_ = nullptr;
  if (closing_) return;
  if (jobs_.GetCount() == 0 && kind == kJobFile) {
    if (files_done_ == files_total_) {
      SetStatusText(texts::kVersionDone, 0);
      SaveCompletedVersion();
    } else {
      ShowFailure();
    }
  }
  if (busy_ && !closing_) SetTimer(kDispatchTimer, kDispatchPeriod);
}

void CAutoUpdateClientDlg::ShowFailure() {
  KillTimer(kWatchdogTimer);
  failure_dialog_->Show();
  busy_ = false;
}

void CAutoUpdateClientDlg::SaveCompletedVersion() {
  const int m = MaxVersionNumber();
  const int w = WorkingVersionNumber();
  ResumeFile resume(ResumeFilePath());
  if (m > w) {
    resume.WriteCurrentVersion(working_version_);
    working_version_ = Format(L"%d", w + 1);
    SetStatusText(Format(texts::kNextVersion, working_version_.c_str()), 0);
    StartServerRequest(false);
  } else if (m == w) {
    resume.WriteCurrentVersion(manifest_.maxVersion);
    for (int i = 1; i <= 8; ++i) {
      if (!manifest_.UrlList[i - 1].empty()) resume.WriteServerAddress(i, manifest_.UrlList[i - 1]);
    }
    LaunchLobby(this);
  }
}

void CAutoUpdateClientDlg::RestartUpdate(bool retry) {
  if (closing_) return;
  if (retry) {
    download_naming_switch_ = !download_naming_switch_;
    SetTimer(kWatchdogTimer, kWatchdogPeriod);
    SetTimer(kDispatchTimer, kDispatchPeriod);
  } else {
    if (jobs_.GetCount() > 0) jobs_.RemoveAll();
    current_job_ = nullptr;
    ++server_number_;
    StartServerRequest(true);
    if (!closing_) SetTimer(kDispatchTimer, kSwitchDispatchPeriod);
    current_transfer_bytes_ = last_seen_bytes_ = 0;
    stall_ticks_ = 0;
    files_total_ = 0;
    bytes_total_ = 0;
    file_percent_ = overall_percent_ = 0;
  }
  ui_->Invalidate();
}

void CAutoUpdateClientDlg::LaunchLobby(const void* owner) {
  if (closing_) return;
  const std::wstring dir = app_->ExeDir();
  const uintptr_t owner_window = ui_->NativeWindow(owner == failure_dialog_.get());
  Close();
  platform::Sleep(500);
  app_->LobbyStarted =
      platform::StartProcess(dir + platform::kPathSeparator + L"kelvora.exe", dir, owner_window);
}

void CAutoUpdateClientDlg::Close() {
  closing_ = true;
  KillTimer(kDispatchTimer);
  KillTimer(kWatchdogTimer);
  ui_->EndModal();
}
