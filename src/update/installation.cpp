// Moving a downloaded file into place: digest check, the move, the time
// stamp, the swap of the running updater, and the process helpers of the
// close button.
#include "digest/md5.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"
#include "update/auto_update_dlg.h"
#include "update/resume_file.h"
#include "update/self_swap.h"
#include "update/status_texts.h"

using platform::Format;

bool CAutoUpdateClientDlg::VerifyDownload(CInetFile* job) {
  const std::wstring pending = job->GetTempName();
  char digest[33];
  MD5_CTX ctx;
  // A digest the job took while the bytes came in spares reading the file
  // again. An unreadable pending copy has no digest and counts as a mismatch.
  std::wstring computed = job->ComputedMd5;
  if (computed.empty() && ctx.DigestFile(digest, platform::ToAnsi(pending).c_str())) {
    computed = platform::FromAnsi(digest);
  }
  if (!computed.empty() && platform::EqualsNoCase(computed, job->ExpectedMd5)) return true;
  ReportMd5Mismatch(job, computed);
  return false;
}

void CAutoUpdateClientDlg::ReportMd5Mismatch(CInetFile* job, const std::wstring& computed) {
  const std::wstring pending = job->GetTempName();
  SetStatusText(Format(texts::kMd5ManifestSide, working_version_.c_str(), job->FileName.c_str(),
                       job->ExpectedMd5.c_str()), 1);
  std::wstring local = Format(texts::kMd5LocalSide, working_version_.c_str(), pending.c_str(),
                              computed.c_str());
  SetStatusText(local, 1);
  if (failure_dialog_) failure_dialog_->SetMessage(local);
  // A copy known to be wrong must never be taken for a good one later (the
  // updater's own would be swapped in at the next start).
  platform::DeleteFile(pending);
}

bool CAutoUpdateClientDlg::InstallDownload(CInetFile* job) {
  const std::wstring pending = job->GetTempName();
  // The target is absent here; a move that would replace something fails.
  // The caller makes the new name durable.
  if (platform::MoveFileNoReplace(pending, job->TargetPath, false) ||
      platform::MoveFileNoReplace(pending, job->TargetPath, false)) {
    SetStatusText(Format(texts::kDownloaded, job->FileName.c_str()), 0);
    return true;
  }
  std::wstring text = Format(texts::kRenameFailed, job->FileName.c_str());
  SetStatusText(text, 1);
  if (failure_dialog_) failure_dialog_->SetMessage(text);
  return false;
}

void CAutoUpdateClientDlg::ReplaceRunningUpdater(CInetFile* job) {
  const std::wstring exe = host_->ExePath();
  const std::wstring pending = Format(L"%s.update.%s", exe.c_str(), job->Version.c_str());
  // Recorded first: when the swap fails here, the next start completes it
  // from the verified copy and from nothing else.
  ResumeFile(ResumeFilePath()).WriteUpdaterMd5(job->ExpectedMd5);
  SwapInPendingCopy(exe, pending, job->ExpectedMd5);
}

void CAutoUpdateClientDlg::SetFileTimes(const std::wstring& path, platform::FILETIME time) {
  platform::SetAllFileTimes(path, time);
}

bool CAutoUpdateClientDlg::FileExists(const std::wstring& path) { return platform::CanOpenForRead(path); }
