#include "update/update_run.h"

#include <algorithm>
#include <limits>

#include "net/connection_pool.h"
#include "net/download.h"
#include "net/rate_limiter.h"
#include "platform/process.h"
#include "platform/text.h"
#include "update/delta_texts.h"
#include "update/leftover_downloads.h"
#include "update/resume_file.h"
#include "update/status_texts.h"

using platform::Format;

UpdateRun::UpdateRun(UpdateHost* host, RunObserver* observer, uint64_t job_target)
    : host_(host),
      observer_(observer),
      job_target_(job_target),
      disk_(host->GetDisk()),
      installer_(&disk_, this, host->ExePath(), host->ResumeFilePath()) {
  manifest_.SetBaseDirectories(host_->ExeDir());
}

UpdateRun::~UpdateRun() { DropJobs(); }

bool UpdateRun::IsWorking(Phase phase) {
  return phase == Phase::kVersionList || phase == Phase::kManifest || phase == Phase::kFiles;
}

const wchar_t* UpdateRun::PhaseName(Phase phase) {
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

void UpdateRun::SetPhase(Phase next) {
  if (phase_ == Phase::kClosed) return;  // the end is final
  if (next != phase_) {
    host_->DebugLog(Format(L"phase: %s -> %s", PhaseName(phase_), PhaseName(next)));
    phase_ = next;
  }
  if (!IsWorking(phase_)) observer_->ScheduleDispatch(RunObserver::kNoDispatch);
  // The watchdog keeps its cadence while the run goes on.
  observer_->SetWatchdog(IsWorking(phase_));
}

void UpdateRun::Start() { Advance(); }

void UpdateRun::Advance() {
  switch (phase_) {
    case Phase::kStarting:
      if (!QueueServerDocument(true)) {
        HandOver();  // no server known, or every one has been tried
        return;
      }
      SetPhase(Phase::kVersionList);
      observer_->ScheduleDispatch(start_delay_);
      return;
    case Phase::kVersionList:
    case Phase::kManifest:
    case Phase::kFiles:
      break;
    case Phase::kWaitingForUser:
    case Phase::kTooOld:
    case Phase::kClosed:
      return;
  }
  if (lobby_pending_) {
    lobby_pending_ = false;
    HandOver();
    return;
  }
  if (too_old_pending_) {
    too_old_pending_ = false;
    SetPhase(Phase::kTooOld);
    observer_->PromptTooOld();
    return;
  }
  if (failure_pending_) {
    failure_pending_ = false;
    InstallAwaiting();  // the files that came before go into place first
    SetPhase(Phase::kWaitingForUser);
    observer_->ShowFailure();
    return;
  }
  if (version_loaded_ && !QueueNextFile()) {
    // The version's last file has been handled.
    InstallAwaiting();
    if (files_done_ != files_total_) {
      SetPhase(Phase::kWaitingForUser);
      observer_->ShowFailure();
      return;
    }
    SetStatusText(texts::kVersionDone, false);
    RecordCompletedVersion();
    if (!IsWorking(phase_)) return;
  }
  // No pause between jobs: the next starts as soon as this result is done.
  if (jobs_.GetHead()) observer_->ScheduleDispatch(RunObserver::kDispatchNow);
}

void UpdateRun::LoadServerEntry(bool also_version) {
  ResumeFile resume(host_->ResumeFilePath());
  // Eight keys hold the servers; one past them, typed in by hand, is none.
  server_base_address_ = server_number_ <= kServerKeys ? resume.ReadServerAddress(server_number_) : std::wstring();
  if (!server_base_address_.empty() && !IsUsableServerAddress(server_base_address_)) {
    // Asking it ends in "no version list"; the log says why.
    SetStatusText(Format(texts::kServerEntryUnreadable, Format(L"Temp%d", server_number_).c_str()), true);
  }
  if (also_version) working_version_ = resume.ReadCurrentVersion(L"0");
  home_page_address_ = resume.ReadHomeUrl();
  SharedRateLimiter().SetRate(uint64_t{resume.ReadMaxRate()} * 1024);
}

bool UpdateRun::QueueServerDocument(bool version_list) {
  files_done_ = 0;
  version_loaded_ = false;
  servers_.RemoveAll();
  LoadServerEntry(version_list);
  if (server_base_address_.empty()) return false;
  const std::wstring scheme = platform::ToLowerAscii(server_base_address_.substr(0, 8));
  if (scheme.compare(0, 7, L"http://") != 0 && scheme != L"https://") {
    server_base_address_ = L"http://" + server_base_address_;
  }
  // The paths below it begin with their own slash: an address written with
  // one at its end would ask for "//update/...", which not every server
  // takes for "/update/...".
  while (server_base_address_.size() > 1 && server_base_address_.back() == L'/') server_base_address_.pop_back();
  const std::wstring name = Format(L"Temp%d", server_number_);
  const std::wstring url = version_list ? Format(L"%s/update/VerAndUrl.xml", server_base_address_.c_str())
                                        : Format(L"%s/update/%s/FileConfig.xml", server_base_address_.c_str(),
                                                 working_version_.c_str());
  servers_.Add(name, url);
  manifest_.RemoveAll();
  SetStatusText(Format(texts::kConnecting, name.substr(name.size() - 1).c_str()), false);
  bytes_done_ = 0;
  jobs_.AddTail(MakeDocumentJob(version_list ? kJobVersionList : kJobManifest, url, name,
                                platform::CreateTempFile(L"Xml"), job_target_, &disk_));
  return true;
}

void UpdateRun::OnDispatchTick() {
  observer_->Changed();
  std::lock_guard<std::recursive_mutex> hold(lock_);
  CInetFile* job = jobs_.GetHead();
  if (!IsWorking(phase_) || !job) return;
  last_seen_bytes_ = transferred_;
  stall_ticks_ = 0;
  // The next start is asked for when a result has been handled.
  observer_->ScheduleDispatch(RunObserver::kNoDispatch);
  if (job->Kind == kJobFile) {
    StartFileJobs();
    return;
  }
  // Server documents come one at a time.
  SetDownloadNaming(job, download_naming_switch_);
  job->Start(false);
}

namespace {

// Connections of the budget that no queued file job can use go to the
// ranged jobs under way; while a job waits, they give back what it lacks.
void OfferSpareConnections(CInetFiles& jobs, const std::set<JobId>& running, int budget) {
  int spare = budget;
  bool waiting = false;
  jobs.ForEach([&](const CInetFile& job) {
    if (job.Kind != kJobFile) return;
    if (running.count(job.Id)) {
      spare -= job.ConnectionsNeeded();
    } else if (!waiting) {
      waiting = true;
      spare -= job.ConnectionsNeeded();
    }
  });
  jobs.ForEach([&](CInetFile& job) {
    if (running.count(job.Id)) spare -= job.OfferConnections(spare);
  });
}

}  // namespace

int UpdateRun::RequestBudget() const {
  return kMaxConnections * CDownLoad::RequestsPerConnection(server_base_address_);
}

int UpdateRun::RequestsOf(const CInetFile& job) const {
  return job.Pipelined() ? 1 : job.ConnectionsNeeded() * CDownLoad::RequestsPerConnection(server_base_address_);
}

void UpdateRun::StartFileJobs() {
  QueueNextFile();
  int used = 0;
  jobs_.ForEach([&](const CInetFile& job) {
    if (running_.count(job.Id)) used += RequestsOf(job);
  });
  const int budget = RequestBudget();
  jobs_.ForEach([&](CInetFile& job) {
    if (job.Kind != kJobFile || running_.count(job.Id)) return;
    const int need = RequestsOf(job);
    if (used > 0 && used + need > budget) return;
    used += need;
    running_.insert(job.Id);
    SetDownloadNaming(&job, download_naming_switch_);
    SetStatusText(Format(texts::kUpdatingFile, working_version_.c_str(), job.FileName.c_str()), false);
    job.Start(true);
    // Bytes an earlier attempt left on disk count as done, once per job.
    uint64_t& counted = counted_[job.Id];
    if (job.Resumed > counted) {
      bytes_done_ += job.Resumed - counted;
      counted = job.Resumed;
    }
    UpdatePercentages(&job);
  });
  OfferSpareConnections(jobs_, running_, kMaxConnections);
}

void UpdateRun::StopFileJobs() {
  // The latest first: a request waiting behind an earlier one on its
  // connection leaves quietly, rather than going out again on a fresh
  // connection when the one ahead of it stops.
  for (auto id = running_.rbegin(); id != running_.rend(); ++id) {
    if (CInetFile* job = jobs_.FindById(*id)) job->Stop();
  }
  running_.clear();
}

void UpdateRun::OnWatchdogTick() {
  if (IsWorking(phase_)) {
    if (transferred_ >= last_seen_bytes_ + kMinProgressBytes) {
      last_seen_bytes_ = transferred_;
      stall_ticks_ = 0;
    } else if (++stall_ticks_ >= kStallTicks) {
      AbandonServer(texts::kReasonStalled);
    }
  }
  observer_->Changed();
}

void UpdateRun::OnJobDone(uint32_t code, int kind, JobId id) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (!IsWorking(phase_)) return;
  // A result still queued for a job that a server switch has deleted names
  // a job that is no longer queued, or no longer under way.
  CInetFile* job = kind == kJobFile ? (running_.count(id) ? jobs_.FindById(id) : nullptr) : jobs_.HeadWithId(id);
  if (!job) return;
  if (kind == kJobFile) running_.erase(id);
  // The reasons a result code cannot carry: TLS refused the server, or a
  // redirect would have left https.
  if (code != 0 && !job->FailureNote.empty()) host_->WriteLog(job->FailureNote);
  switch (kind) {
    case kJobVersionList: HandleVersionList(job, code); break;
    case kJobManifest: HandleManifest(job, code); break;
    case kJobFile: HandleFile(job, code); break;
    case kJobSignature: HandleSignature(job, code); break;
    default:
      jobs_.Remove(job);
      Advance();
      break;
  }
}

bool UpdateRun::OnJobProgress(uint32_t count, int kind, JobId id) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (!IsWorking(phase_)) return false;
  // Progress still queued for a job that a server switch has deleted.
  CInetFile* job = kind == kJobFile ? (running_.count(id) ? jobs_.FindById(id) : nullptr) : jobs_.HeadWithId(id);
  if (!job) return false;
  transferred_ += count;
  if (kind == kJobFile) {
    bytes_done_ += count;
    counted_[id] += count;
    TakePlan(*job);
  }
  UpdatePercentages(job);
  return true;
}

void UpdateRun::TakePlan(const CInetFile& job) {
  auto it = planned_.find(job.Id);
  if (it == planned_.end() || it->second == job.PlannedBytes) return;
  bytes_total_ = bytes_total_ >= it->second ? bytes_total_ - it->second + job.PlannedBytes : job.PlannedBytes;
  it->second = job.PlannedBytes;
}

void UpdateRun::LogVersionBytes() {
  // Versions that took nothing from local copies log as before.
  if (!version_had_files_ || version_reused_ == 0) return;
  host_->WriteLog(Format(texts::kVersionBytes, working_version_.c_str(),
                         static_cast<unsigned long long>(version_reused_),
                         static_cast<unsigned long long>(version_fetched_)));
  version_had_files_ = false;
  version_reused_ = version_fetched_ = 0;
}

void UpdateRun::UpdatePercentages(const CInetFile* job) {
  if (job->ExpectedLength != 0) {
    file_percent_ = static_cast<int>(std::min<uint64_t>(100, job->Received * 100 / job->ExpectedLength));
  }
  // Retried files count again; the bar never runs past its end.
  if (job->Kind == kJobFile && bytes_total_ != 0) {
    overall_percent_ = static_cast<int>(std::min<uint64_t>(100, bytes_done_ * 100 / bytes_total_));
  }
}

UpdateRun::Snapshot UpdateRun::GetSnapshot() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  Snapshot snapshot;
  snapshot.status = status_text_;
  snapshot.file_percent = file_percent_;
  snapshot.overall_percent = overall_percent_;
  // Files still to come: queued jobs and the entries not yet made into jobs.
  const unsigned queued = jobs_.GetCount() + manifest_.GetCount();
  snapshot.files_total = files_total_;
  snapshot.counts_shown = files_total_ >= queued;
  snapshot.files_done = snapshot.counts_shown ? files_total_ - queued : 0;
  const CInetFile* head = jobs_.GetHead();
  snapshot.totals_current = !head || head->Kind == kJobFile;
  snapshot.bytes_done = bytes_done_;
  snapshot.bytes_total = bytes_total_;
  return snapshot;
}

void UpdateRun::SetStatusText(const std::wstring& text, bool log) {
  status_text_ = text;
  if (log) host_->WriteLog(text);
}

void UpdateRun::SetFailureText(const std::wstring& text) { observer_->SetFailureText(text); }

void UpdateRun::Notify(const std::wstring& text) {
  SetStatusText(text, true);
  observer_->Notice(text);
}

int UpdateRun::MaxVersionNumber() const { return platform::LeadingInt(manifest_.maxVersion); }

int UpdateRun::WorkingVersionNumber() const { return platform::LeadingInt(working_version_); }

std::wstring UpdateRun::LobbyPath() const { return host_->ExeDir() + platform::kPathSeparator + L"kelvora.exe"; }

void UpdateRun::RecordCompletedVersion() {
  const int m = MaxVersionNumber();
  const int w = WorkingVersionNumber();
  LogVersionBytes();
  ResumeFile resume(host_->ResumeFilePath());
  if (host_->RepairMode()) {
    // The recorded version is whole again; later versions are for an update.
    RemoveKeptDownloads(disk_, host_->ExeDir(), w);
    HandOver();
    return;
  }
  if (m > w) {
    RecordVersion(resume, working_version_);
    RemoveKeptDownloads(disk_, host_->ExeDir(), w);
    working_version_ = Format(L"%d", w + 1);
    SetStatusText(Format(texts::kNextVersion, working_version_.c_str()), false);
    if (!QueueServerDocument(false)) {
      HandOver();
      return;
    }
    SetPhase(Phase::kManifest);
    return;
  }
  if (m == w) {
    RecordVersion(resume, manifest_.maxVersion);
    // The run is complete: nothing kept is of use any more.
    RemoveKeptDownloads(disk_, host_->ExeDir(), std::numeric_limits<int>::max());
    for (int i = 1; i <= kServerKeys; ++i) {
      const std::wstring& address = manifest_.UrlList[i - 1];
      if (address.empty()) continue;
      // A control character would forge lines of the resume file.
      if (std::any_of(address.begin(), address.end(), [](wchar_t c) { return c < 0x20 || c == 0x7F; })) {
        SetStatusText(Format(texts::kServerEntryRefused, i, address.c_str()), true);
        continue;
      }
      resume.WriteServerAddress(i, address);
    }
  }
  HandOver();
}

void UpdateRun::RecordVersion(const ResumeFile& resume, const std::wstring& version) {
  // The files stay; only the next run, not knowing them, fetches them again.
  if (!resume.WriteCurrentVersion(version)) {
    Notify(Format(texts::kVersionNotRecorded, version.c_str(), host_->ResumeFilePath().c_str()));
  }
}

void UpdateRun::AbandonServer(const std::wstring& reason) {
  if (!IsWorking(phase_) && phase_ != Phase::kWaitingForUser) return;
  Notify(Format(texts::kServerAbandoned, server_number_, reason.c_str()));
  RestartUpdate(false);
}

void UpdateRun::DropJobs() {
  InstallAwaiting();  // finished files are kept, as if installed at once
  // The documents' temporary files are of no use to anyone; a file's
  // pending copy is kept for a later attempt when its progress is recorded.
  StopFileJobs();
  counted_.clear();
  planned_.clear();
  jobs_.ForEach([this](CInetFile& job) {
    job.Stop();
    if (job.Kind != kJobFile || !disk_.Exists(ProgressRecordPath(job.GetTempName()))) {
      disk_.Delete(job.GetTempName());
    }
  });
  jobs_.RemoveAll();
}

void UpdateRun::RestartUpdate(bool retry) {
  if (phase_ == Phase::kClosed || phase_ == Phase::kTooOld) return;
  failure_pending_ = false;
  if (retry) {
    // The job that failed is still at the head and runs again, under the
    // other name. When none is left (a copy that failed its digest, a disk
    // too small), the version starts again from its manifest, asked for by
    // its own name: what is in place already is not fetched twice.
    const CInetFile* head = jobs_.GetHead();
    if (head) download_naming_switch_ = !download_naming_switch_;
    if (!head && phase_ != Phase::kVersionList && phase_ != Phase::kManifest) {
      if (!QueueServerDocument(false)) {
        HandOver();
        return;
      }
      head = jobs_.GetHead();
    }
    const int kind = head ? head->Kind : kJobFile;
    SetPhase(kind == kJobVersionList ? Phase::kVersionList
             : kind == kJobFile      ? Phase::kFiles
                                     : Phase::kManifest);
    observer_->ScheduleDispatch(kRetryDispatch);
  } else {
    DropJobs();
    // Connections kept for the server given up are of no further use.
    CloseIdleConnections();
    if (!held_document_.empty()) disk_.Delete(held_document_);
    held_document_.clear();
    ++server_number_;
    last_seen_bytes_ = transferred_;
    stall_ticks_ = 0;
    files_total_ = 0;
    bytes_total_ = 0;
    file_percent_ = overall_percent_ = 0;
    SetPhase(Phase::kStarting);
    start_delay_ = kSwitchDispatch;
    Advance();
  }
  observer_->Changed();
}

void UpdateRun::Skip(bool from_failure_dialog) { HandOver(from_failure_dialog); }

void UpdateRun::Retry() { RestartUpdate(true); }

void UpdateRun::SwitchServer() { AbandonServer(texts::kReasonUserSwitch); }

void UpdateRun::Exit() { Close(); }

void UpdateRun::TooOldSeen() {
  if (phase_ != Phase::kTooOld) return;
  if (!home_page_address_.empty()) platform::OpenUrl(home_page_address_);
  Close();
}

void UpdateRun::HandOver(bool from_failure_dialog) {
  if (phase_ == Phase::kClosed) return;
  const std::wstring recorded = ResumeFile(host_->ResumeFilePath()).ReadCurrentVersion(L"0");
  if (!manifest_.maxVersion.empty() && platform::LeadingInt(recorded) < MaxVersionNumber()) {
    Notify(Format(texts::kHandOverBelowNewest, manifest_.maxVersion.c_str(), recorded.c_str()));
  } else if (manifest_.maxVersion.empty() && server_number_ > 1) {
    Notify(texts::kHandOverNoVersionList);
  }
  InstallAwaiting();
  SetPhase(Phase::kClosed);
  observer_->End(true, from_failure_dialog);
}

void UpdateRun::Close() {
  if (phase_ == Phase::kClosed) return;
  InstallAwaiting();
  SetPhase(Phase::kClosed);
  observer_->End(false, false);
}

void UpdateRun::Fail() { failure_pending_ = true; }
