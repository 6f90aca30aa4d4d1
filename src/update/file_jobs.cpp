// The file jobs of a version: made as the queue reaches them, their
// results, and the move of finished copies into place in batches.
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
