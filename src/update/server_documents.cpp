// The server documents of a run: which server and version are asked for,
// the version list and each version's manifest, and the file jobs a
// manifest leads to.
#include "update/auto_update_dlg.h"

#include <algorithm>
#include <limits>

#include "manifest/path_safety.h"
#include "net/download_progress.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"
#include "update/leftover_downloads.h"
#include "update/resume_file.h"
#include "update/status_texts.h"

using platform::Format;

void CAutoUpdateClientDlg::LoadServerEntry(int serverNumber, bool alsoReadVersion) {
  ResumeFile resume(ResumeFilePath());
  server_base_address_ = resume.ReadServerAddress(serverNumber);
  if (alsoReadVersion) working_version_ = resume.ReadCurrentVersion(L"0");
}

void CAutoUpdateClientDlg::LoadHomeUrl() {
  home_page_address_ = ResumeFile(ResumeFilePath()).ReadHomeUrl();
}

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
