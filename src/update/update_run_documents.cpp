// The run's server documents and files: the version list and each
// version's manifest (each waiting for its signature when the install
// trusts a publisher; a key file that is there but unusable refuses every
// document), and the file jobs a manifest leads to.
#include <algorithm>
#include <ctime>

#include "manifest/absent_files.h"
#include "manifest/path_safety.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/xml.h"
#include "update/delta_texts.h"
#include "update/installer.h"
#include "update/repair_check.h"
#include "update/resume_file.h"
#include "update/status_texts.h"
#include "update/update_run.h"

using platform::Format;

namespace {

// The newest version a version list names (the second Product attribute),
// read from the list itself: the run's own maxVersion is the first list's.
std::wstring NewestVersionOf(const std::wstring& path) {
  platform::XmlDocument doc;
  if (!doc.Load(path)) return std::wstring();
  std::vector<platform::XmlNode> products = doc.Root().Descendants(L"Product");
  if (products.empty()) return std::wstring();
  auto attributes = products.front().Attributes();
  return attributes.size() >= 2 ? attributes[1].second : std::wstring();
}

// |name| for the log, the characters the file system could not spell
// written as <U+XXXX>, so that two refused names stay apart.
std::wstring SpelledForLog(const std::wstring& name) {
  std::wstring out;
  for (wchar_t c : name) {
    const std::wstring one(1, c);
    out += platform::CanSpellExactly(one) ? one : Format(L"<U+%X>", static_cast<unsigned>(c));
  }
  return out;
}

// A size as the user reads it: "812 KB", "3.4 MB", "1.2 GB".
std::wstring HumanSize(uint64_t bytes) {
  const wchar_t* const units[] = {L"B", L"KB", L"MB", L"GB", L"TB"};
  size_t unit = 0;
  while (unit + 1 < sizeof(units) / sizeof(units[0]) && bytes >= (uint64_t{1024} << (10 * unit))) ++unit;
  if (unit == 0) return Format(L"%llu B", static_cast<unsigned long long>(bytes));
  const uint64_t scale = uint64_t{1} << (10 * unit);
  const unsigned long long tenths = bytes / scale * 10 + bytes % scale * 10 / scale;
  return Format(L"%llu.%llu %s", tenths / 10, tenths % 10, units[unit]);
}

}  // namespace

void UpdateRun::HandleVersionList(CInetFile* job, uint32_t code) {
  if (code == 0 && AwaitSignature(job)) return;
  ApplyVersionList(job, code);
}

void UpdateRun::ApplyVersionList(CInetFile* job, uint32_t code) {
  const std::wstring document = job->TargetPath;
  jobs_.Remove(job);
  if (code == 0) {
    manifest_.LoadXml(document, true);
    // A newest version that is not a plain number would end up in file
    // names and URLs: it counts as missing, and a later list may set it.
    if (!manifest_.maxVersion.empty() && !IsSafeVersionText(manifest_.maxVersion)) {
      manifest_.maxVersion.clear();
      manifest_.FirstProductLoad = true;
    }
    if (!manifest_.maxVersion.empty()) {
      manifest_.LoadUrlList(document);
      disk_.Delete(document);
      if (!QueueServerDocument(false)) {
        HandOver();
        return;
      }
      SetPhase(Phase::kManifest);
      Advance();
      return;
    }
  }
  disk_.Delete(document);
  AbandonServer(texts::kReasonBadList);
}

void UpdateRun::HandleManifest(CInetFile* job, uint32_t code) {
  if (code == 0 && AwaitSignature(job)) return;
  ApplyManifest(job, code);
}

void UpdateRun::ApplyManifest(CInetFile* job, uint32_t code) {
  const int m = MaxVersionNumber();
  const int w = WorkingVersionNumber();
  const std::wstring document = job->TargetPath;
  const int status = job->HttpStatus;
  jobs_.Remove(job);
  if (code != 0) {
    disk_.Delete(document);
    // Only the server's word that the manifest is gone means "too old"; a
    // reset, a cut body, a 5xx or a stall is this server's failure.
    const bool withdrawn = status == 404 || status == 410;
    if (m > w && withdrawn) {
      too_old_pending_ = true;  // too old for the server's update path
    } else if (m < w) {
      lobby_pending_ = true;
    } else {
      AbandonServer(Format(texts::kReasonManifestFailed, working_version_.c_str()));
      return;
    }
    Advance();
    return;
  }
  const std::wstring recorded = ResumeFile(host_->ResumeFilePath()).ReadCurrentVersion(L"");
  manifest_.productVerion.clear();
  manifest_.LoadXml(document, true);
  if (manifest_.productVerion.empty()) {
    disk_.Delete(document);
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
    disk_.Delete(document);
    lobby_pending_ = true;
    Advance();
    return;
  }
  files_rejected_ = 0;
  const bool signed_manifest = trust_.Enabled();
  installer_.set_require_sha256(signed_manifest);
  const bool loaded = manifest_.LoadXml(document, false);
  disk_.Delete(document);
  if (!loaded) {
    AbandonServer(Format(texts::kReasonManifestFailed, working_version_.c_str()));
    return;
  }
  // One file listed twice alike is fetched once; listed with two contents,
  // the manifest cannot say which is meant: it is refused like one that
  // could not be read, and the next server may have a sound one.
  std::wstring conflict;
  if (!manifest_.DropDuplicates(&conflict)) {
    manifest_.RemoveAll();
    AbandonServer(Format(texts::kReasonManifestConflict, working_version_.c_str(), conflict.c_str()));
    return;
  }
  // A file named as the pending copy of another would be overwritten by
  // that copy, or moved into the other's place.
  if (FindEntryNamedAsOurs(manifest_, working_version_, &conflict)) {
    manifest_.RemoveAll();
    AbandonServer(Format(texts::kReasonManifestNameOfOurs, working_version_.c_str(), conflict.c_str()));
    return;
  }
  // One listing per directory answers for the many files not there yet.
  AbsentFiles absent;
  files_rejected_ = RejectUnsafeEntries(signed_manifest, &absent);
  if (host_->RepairMode()) {
    files_total_ = KeepDamagedEntries() + files_rejected_;
  } else {
    files_total_ = manifest_.CheckLocalFiles(existing_only, &absent) + files_rejected_;
    if (existing_only) files_total_ -= DropEntriesOfAnotherShape();
  }
  version_had_files_ = false;
  version_reused_ = version_fetched_ = 0;
  if (signed_manifest) files_rejected_ += RejectEntriesWithoutSha256();
  bytes_total_ = manifest_.GetUpdateLength();
  if (!EnoughSpaceFor(bytes_total_)) {
    // Retry fetches the manifest again and checks anew; Skip starts the lobby.
    manifest_.RemoveAll();
    Fail();
    Advance();
    return;
  }
  if (files_total_ != 0) {
    SetStatusText(Format(texts::kFilesToUpdate, files_total_, static_cast<unsigned>(bytes_total_ / 1024)),
                  false);
  }
  // A version with nothing to fetch ends without a files phase.
  version_loaded_ = true;
  if (!manifest_.IsEmpty()) SetPhase(Phase::kFiles);
  Advance();
}

bool UpdateRun::EnoughSpaceFor(uint64_t bytes) {
  uint64_t free_bytes = 0;
  // A file system that cannot say is left to the writes to find out.
  if (bytes == 0 || !disk_.FreeSpace(host_->ExeDir(), &free_bytes)) return true;
  uint64_t needed = bytes + kSpaceMargin;
  if (free_bytes >= needed) return true;
  // Kept pending copies of this version already hold part of the bytes.
  // Looked at only when space looks short: a manifest may list many files.
  const uint64_t kept = KeptPendingBytes();
  needed = kept < bytes ? needed - kept : kSpaceMargin;
  if (free_bytes >= needed) return true;
  const std::wstring text = Format(texts::kDiskSpaceShort, HumanSize(needed).c_str(), HumanSize(free_bytes).c_str());
  Notify(text);
  SetFailureText(text);
  return false;
}

uint64_t UpdateRun::KeptPendingBytes() {
  uint64_t kept = 0;
  manifest_.ForEach([&](const CUpdateFile& entry) {
    uint64_t size = 0;
    if (!entry.NeedUpdate || entry.Length <= 0 ||
        !disk_.GetSize(PendingCopyPath(entry.FullPath, working_version_), &size)) {
      return;
    }
    kept += size < static_cast<uint64_t>(entry.Length) ? size : static_cast<uint64_t>(entry.Length);
  });
  return kept;
}

unsigned UpdateRun::RejectUnsafeEntries(bool signed_manifest, AbsentFiles* absent) {
  return manifest_.RemoveIf([this, signed_manifest, absent](const CUpdateFile& entry) {
    // Spelled only for the few refused.
    auto name = [&entry] { return entry.LocalPath + L"/" + entry.FileName; };
    std::wstring text;
    // A link inside the install could lead the file anywhere.
    if (!IsSafeEntryPath(entry) ||
        (!absent->SurelyAbsent(entry.FullPath) && platform::CrossesLink(entry.FullPath))) {
      text = Format(texts::kUnsafePath, name().c_str());
    } else if (entry.TargetsSystemDirectory() && !signed_manifest) {
      // Anyone on the way from an unsigned server could write there; the
      // rule is the same where the keywords mean the install itself.
      text = Format(texts::kSystemDirUnsigned, name().c_str());
    } else if (!platform::CanSpellExactly(entry.FullPath)) {
      // Two such names could fall onto one spelling, or onto another file.
      text = Format(texts::kNameNotSpellable, SpelledForLog(name()).c_str());
    } else {
      return false;
    }
    SetStatusText(text, true);
    SetFailureText(text);
    return true;
  });
}

unsigned UpdateRun::DropEntriesOfAnotherShape() {
  return manifest_.RemoveIf([this](const CUpdateFile& entry) {
    std::vector<platform::DirectoryEntry> listing;
    if (disk_.ListDirectory(entry.FullPath, &listing)) return true;
    const std::wstring& path = entry.FullPath;
    for (size_t i = 1; i < path.size(); ++i) {
      if (path[i] == platform::kPathSeparator && disk_.Exists(path.substr(0, i))) return true;
    }
    return false;
  });
}

unsigned UpdateRun::KeepDamagedEntries() {
  host_->WriteLog(Format(texts::kRepairStart, working_version_.c_str()));
  std::vector<std::unique_ptr<CUpdateFile>> damaged;
  unsigned checked = 0;
  while (std::unique_ptr<CUpdateFile> entry = manifest_.PopFront()) {
    ++checked;
    if (InstalledFileMatches(disk_, *entry)) continue;
    entry->NeedUpdate = true;
    damaged.push_back(std::move(entry));
  }
  const unsigned count = static_cast<unsigned>(damaged.size());
  for (auto& entry : damaged) manifest_.AddTail(std::move(entry));
  host_->WriteLog(Format(texts::kRepairChecked, checked, count));
  return count;
}

unsigned UpdateRun::RejectEntriesWithoutSha256() {
  return manifest_.RemoveIf([this](const CUpdateFile& entry) {
    if (!entry.NeedUpdate || !entry.Sha256.empty()) return false;
    const std::wstring text = Format(texts::kNoSha256, entry.FileName.c_str());
    SetStatusText(text, true);
    SetFailureText(text);
    return true;
  });
}

std::wstring UpdateRun::DocumentName(int kind) const {
  return kind == kJobVersionList ? std::wstring(L"update/VerAndUrl.xml")
                                 : Format(L"update/%s/FileConfig.xml", working_version_.c_str());
}

bool UpdateRun::AwaitSignature(CInetFile* job) {
  // New keys (a release may ship UpdateTrust.pub) apply from this document on.
  trust_.Load(host_->ExeDir() + platform::kPathSeparator + CUpdateTrust::kKeyFileName);
  if (!trust_.Enabled()) return false;
  // The document will be refused; the log says why no key could match.
  if (!trust_.load_error().empty()) host_->WriteLog(trust_.load_error());
  held_document_ = job->TargetPath;
  held_kind_ = job->Kind;
  const std::wstring url = WithoutDownloadSuffix(job->Url) + L".sig";
  std::unique_ptr<CInetFile> signature =
      MakeDocumentJob(kJobSignature, url, job->ServerName, platform::CreateTempFile(L"Sig"), job_target_, &disk_);
  jobs_.Remove(job);
  jobs_.AddTail(std::move(signature));
  Advance();
  return true;
}

void UpdateRun::HandleSignature(CInetFile* job, uint32_t code) {
  const int kind = held_kind_;
  const std::wstring document = held_document_;
  held_document_.clear();
  const std::wstring name = DocumentName(kind);
  TrustVerdict verdict =
      code != 0 ? TrustVerdict::kMissing
                : trust_.Verify(document, job->TargetPath, platform::ToUtf8(name), kind == kJobVersionList,
                                static_cast<int64_t>(std::time(nullptr)));
  if (verdict == TrustVerdict::kTrusted && kind == kJobVersionList &&
      IsRollback(ResumeFile(host_->ResumeFilePath()).ReadCurrentVersion(L""), NewestVersionOf(document))) {
    verdict = TrustVerdict::kRollback;
  }
  disk_.Delete(job->TargetPath);
  if (verdict != TrustVerdict::kTrusted) {
    // Counts as a document that could not be read: the next server is asked.
    disk_.Delete(document);
    AbandonServer(Format(texts::kDocumentRefused, name.c_str(), TrustVerdictText(verdict)));
    return;
  }
  // From here the signature's job stands for the document it vouched for.
  job->Kind = kind;
  job->TargetPath = document;
  if (kind == kJobVersionList) ApplyVersionList(job, 0);
  else ApplyManifest(job, 0);
}

bool UpdateRun::QueueNextFile() {
  if (!IsWorking(phase_)) return false;  // the run has ended
  bool file_queued = false;
  int requests = 0;
  jobs_.ForEach([&](const CInetFile& job) {
    if (job.Kind != kJobFile) return;
    file_queued = true;
    requests += RequestsOf(job);
  });
  const CServer* server = servers_.GetFirst();
  const int budget = RequestBudget();
  while (requests < budget) {
    std::unique_ptr<CUpdateFile> entry = manifest_.PopFront();
    if (!entry) break;
    std::unique_ptr<CInetFile> job = MakeFileJob(server_base_address_, *entry, working_version_,
                                                 server ? server->name : std::wstring(), job_target_, &disk_);
    if (entry->NeedUpdate && entry->Length > 0) planned_[job->Id] = job->ExpectedLength;
    requests += RequestsOf(*job);
    jobs_.AddTail(std::move(job));
    file_queued = true;
  }
  return file_queued;
}

void UpdateRun::HandleFile(CInetFile* job, uint32_t code) {
  if (!job->DeltaNote.empty()) {
    host_->WriteLog(job->DeltaNote);
    job->DeltaNote.clear();
  }
  if (code != 0) {
    if (job->FileName.empty()) {
      RestartUpdate(false);
      return;
    }
    // The first failure is the one shown: the others under way stop and
    // keep their bytes for Retry.
    StopFileJobs();
    const std::wstring text = Format(texts::kDownloadFailed, job->FileName.c_str(), code);
    SetStatusText(text, true);
    if (!job->TriedUrl.empty()) host_->WriteLog(Format(texts::kLastUrlTried, job->TriedUrl.c_str()));
    SetFailureText(text);
    Fail();  // the job stays at the head until the user decides
    Advance();
    return;
  }
  download_naming_switch_ = false;
  TakePlan(*job);
  counted_.erase(job->Id);
  planned_.erase(job->Id);
  if (job->DeltaTried) version_had_files_ = true;
  version_reused_ += job->Reused;
  version_fetched_ += job->Fetched;
  // The finished copy waits for a barrier it shares with the next ones.
  awaiting_bytes_ += job->ExpectedLength;
  awaiting_.push_back(jobs_.Detach(job));
  awaiting_.back()->ReleaseTransfer();
  // A full batch, or the version's last file: the barrier now.
  if (awaiting_.size() >= kBatchFiles || awaiting_bytes_ >= kBatchBytes || !QueueNextFile()) {
    InstallAwaiting();
  }
  Advance();
}

void UpdateRun::InstallAwaiting() {
  if (awaiting_.empty()) return;
  std::vector<FinishedFile> files;
  for (const auto& job : awaiting_) files.push_back(job->Finished());
  const std::vector<Installer::Outcome> outcomes = installer_.InstallBatch(files);
  for (size_t i = 0; i < outcomes.size(); ++i) {
    if (outcomes[i] == Installer::Outcome::kPlaced) {
      ++files_done_;
      if (host_->RepairMode()) host_->WriteLog(Format(texts::kRepairedFile, files[i].file_name.c_str()));
    }
    // Fetched once more from zero, and whole, before the failure is shown.
    if (outcomes[i] == Installer::Outcome::kFetchAgain) {
      CInetFile& again = *awaiting_[i];
      version_reused_ -= std::min(version_reused_, again.Reused);
      version_fetched_ -= std::min(version_fetched_, again.Fetched);
      again.DeltaAllowed = false;
      again.Reused = 0;
      jobs_.AddTail(std::move(awaiting_[i]));
    }
  }
  awaiting_.clear();
  awaiting_bytes_ = 0;
}
