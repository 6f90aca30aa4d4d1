#include "update/file_job.h"

#include <algorithm>

#include "digest/hex.h"
#include "manifest/update_file.h"
#include "net/request_headers.h"
#include "net/url.h"
#include "platform/event_loop.h"
#include "platform/text.h"
#include "update/delta_texts.h"
#include "update/status_texts.h"

namespace {

// Bytes the digests' frontier reads back per write it hears of: it catches
// up sixteen times faster than the ranges write, without holding the loop.
constexpr uint64_t kReadBackStep = 1u << 20;

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

const wchar_t kDownloadSuffix[] = L".update";

JobId NextJobId() {
  static JobId last = 0;
  if (++last == 0) ++last;
  return last;
}

}  // namespace

CInetFile::CInetFile(const std::wstring& url, const CUpdateFile* entry, const std::wstring& version,
                     platform::Disk* disk)
    : Id(NextJobId()), Url(url), Version(version), disk_(disk) {
  if (!entry) return;
  std::wstring path = entry->LocalPath + entry->FileName;
  for (wchar_t& c : path) {
    if (c == L'\\') c = L'/';
  }
  utf8_path_ = Widen(PercentEncodePath(platform::ToUtf8(path)));
  ansi_path_ = Widen(PercentEncodePath(platform::ToAnsi(path)));
  Url = url + L"/update/" + Widen(PercentEncodePath(platform::ToUtf8(version))) + L"/" + utf8_path_;
}

CInetFile::~CInetFile() { Stop(); }

std::wstring CInetFile::GetTempName() const {
  if (Kind != kJobFile) return TargetPath;
  return PendingCopyPath(TargetPath, Version);
}

bool CInetFile::Start(bool allowRanges) {
  Stop();
  Received = 0;
  Resumed = 0;
  ComputedMd5.clear();
  ComputedSha256.clear();
  HttpStatus = 0;
  FailureNote.clear();
  ranges_allowed_ = allowRanges;
  ranges_active_ = false;
  connection_limit_ = kParts;
  parts_in_run_ = kParts;
  result_posted_ = false;
  TriedUrl = Url;
  // The URL may have been renamed since the job was made (".update").
  ansi_url_.clear();
  ansi_tried_ = false;
  size_t at = utf8_path_.empty() ? std::wstring::npos : Url.rfind(utf8_path_);
  if (ansi_path_ != utf8_path_ && at != std::wstring::npos) {
    ansi_url_ = Url.substr(0, at) + ansi_path_ + Url.substr(at + utf8_path_.size());
  }
  if (!transfer_) {
    transfer_.reset(new Transfer);
    for (CRangeDownLoad& part : transfer_->parts) part.SetWriteWatcher(this);
  }
  validator_known_ = resuming_ = started_over_ = line_retried_ = false;
  recorded_at_ = 0;
  Delta = false;
  Reused = 0;
  DeltaRequests = 0;
  PlannedBytes = ExpectedLength;
  if (Kind == kJobFile && StartDelta()) return true;
  StartWhole();
  return true;
}

void CInetFile::StartWhole() {
  progress_ = DownloadProgress();
  progress_.length = ExpectedLength;
  if (Kind == kJobFile) {
    progress_.parts.resize(1);
    LoadRecord();
  }
  // The manifest gives the length: no request for the whole file first.
  if (Ranged()) {
    StartRanges(ExpectedLength);
    return;
  }
  StartStream();
}

bool CInetFile::StartDelta() {
  if (!DeltaAllowed || ChunksUrl.empty() || ChunksSha256.empty() || ExpectedLength == 0) return false;
  const std::wstring pending = GetTempName();
  DownloadProgress record;
  bool resume = false;
  if (LoadProgress(*disk_, pending, ExpectedLength, &record)) {
    // A plain download under way goes on as it began.
    if (record.plan.empty()) return false;
    resume = platform::EqualsNoCase(platform::FromAnsi(record.plan), ChunksSha256);
    if (!resume) DeleteProgress(*disk_, pending);
  }
  if (!resume && !disk_->Exists(TargetPath)) return false;
  DeltaSource source;
  source.file_url = TriedUrl;
  source.index_url = ChunksUrl;
  source.index_sha256 = ChunksSha256;
  source.target = TargetPath;
  source.pending = pending;
  source.length = ExpectedLength;
  source.resume = resume;
  delta_active_ = true;
  DeltaTried = true;
  delta_ranges_ = 0;
  if (!transfer_->delta.Start(source, disk_, this)) {
    delta_active_ = false;
    return false;
  }
  return true;
}

void CInetFile::OnDeltaBytes(uint32_t count) {
  const DeltaBuild& delta = transfer_->delta;
  // The plan is known once the index is in: from then on the total is the
  // index and the missing chunks.
  if (delta.reused() + delta.to_fetch() == ExpectedLength) {
    PlannedBytes = delta.index_bytes() + delta.to_fetch();
    Reused = delta.reused();
    delta_ranges_ += count;
    Received = Reused + delta_ranges_;
  }
  PostProgress(count);
}

void CInetFile::OnDeltaEnd(IDeltaSink::Result result) {
  delta_active_ = false;
  const DeltaBuild& delta = transfer_->delta;
  DeltaRequests = delta.range_requests();
  switch (result) {
    case IDeltaSink::kBuilt:
      Delta = true;
      Reused = delta.reused();
      PlannedBytes = delta.index_bytes() + delta.to_fetch();
      Received = ExpectedLength;
      PostResult(kJobOk);
      return;
    case IDeltaSink::kWhole:
      DeltaNote = platform::Format(texts::kDeltaIndexRefused, FileName.c_str(), delta.note().c_str());
      DeltaAllowed = false;
      Reused = 0;
      Received = 0;
      PlannedBytes = delta.index_bytes() + ExpectedLength;
      StartWhole();
      return;
    case IDeltaSink::kFailed:
      if (delta.write_failure() != 0) NoteWriteFailure(GetTempName(), delta.write_failure());
      if (FailureNote.empty()) FailureNote = delta.failure_note();
      HttpStatus = 0;
      PostResult(kJobTransferFailed);
      return;
  }
}

bool CInetFile::Ranged() const {
  return ranges_allowed_ && Kind == kJobFile && ExpectedLength >= kMinRangedLength &&
         ExpectedLength >= OneStreamBelow;
}

bool CInetFile::StartStream() {
  std::string headers = RequestHeaders();
  if (resuming_) {
    if (Received == ExpectedLength) {
      // The whole file is on disk already: only the digest is left to decide.
      if (!(file_ = disk_->Open(GetTempName(), platform::File::kWriteExisting))) {
        StartOver();
        return false;
      }
      writeback_from_ = 0;
      OnDownLoadStatus(kDownLoadComplete);
      return true;
    }
    headers += "Range: bytes=" + std::to_string(Received) + "-\r\nIf-Range: " + progress_.validator + "\r\n";
  }
  transfer_->request.SetExtraHeaders(headers);
  transfer_->request.SetPipelining(Pipelined());
  if (!transfer_->request.DownLoad(TriedUrl, this)) {
    Fail(kJobStartFailed);
    return false;
  }
  return true;
}

void CInetFile::LoadRecord() {
  const std::wstring pending = GetTempName();
  DownloadProgress record;
  if (!LoadProgress(*disk_, pending, ExpectedLength, &record)) return;
  // Ranges go on from a record however its ranges were cut; one stream
  // only from a record of one.
  bool usable = record.parts.size() == 1 && record.parts[0].first == 0;
  if (Ranged()) {
    std::vector<RangePlan::Kept> kept;
    for (const DownloadProgress::Part& part : record.parts) kept.push_back({part.first, part.done});
    usable = plan_.Adopt(ExpectedLength, kept);
  }
  if (!usable) {
    DeleteProgress(*disk_, pending);
    return;
  }
  progress_ = record;
  validator_known_ = true;
  resuming_ = record.DoneBytes() > 0;
  Resumed = Received = recorded_at_ = record.DoneBytes();
}

void CInetFile::TakeValidator(const std::string& strongTag, const std::string& lastModified) {
  if (validator_known_ || Kind != kJobFile) return;
  if (!strongTag.empty()) {
    progress_.kind = DownloadProgress::kEntityTag;
    progress_.validator = strongTag;
  } else if (!lastModified.empty()) {
    progress_.kind = DownloadProgress::kModified;
    progress_.validator = lastModified;
  } else {
    return;  // nothing to tell a changed file by: no record
  }
  validator_known_ = true;
}

void CInetFile::SaveRecord() {
  if (Kind != kJobFile || !validator_known_ || !transfer_) return;
  const std::wstring pending = GetTempName();
  recorded_at_ = Received;
  // The bytes first: a record never counts bytes that could still be lost.
  if (!file_ || !file_->Sync()) return;
  if (ranges_active_) {
    for (int worker = 0; worker < kMaxWorkers; ++worker) {
      const int index = plan_.RangeOf(worker);
      if (index >= 0) plan_.at(index).done = transfer_->parts[worker].written();
    }
    progress_.parts.clear();
    for (const RangePlan::Kept& kept : plan_.KeptRanges()) progress_.parts.push_back({kept.first, kept.done});
  } else {
    progress_.parts[0].done = Received;
  }
  SaveProgress(*disk_, pending, progress_);
}

void CInetFile::StartOver() {
  started_over_ = true;
  StartFromZero();
}

void CInetFile::StartFromZero() {
  StopParts();
  file_.reset();
  DeleteProgress(*disk_, GetTempName());
  resuming_ = validator_known_ = false;
  Received = Resumed = recorded_at_ = 0;
  for (DownloadProgress::Part& part : progress_.parts) part.done = 0;
  ranges_active_ = false;
  if (Ranged()) StartRanges(ExpectedLength);
  else StartStream();
}

void CInetFile::Stop() {
  if (transfer_ && transfer_->request.GetState() != CDownLoad::kIdle) transfer_->request.Reset();
  if (transfer_ && delta_active_) transfer_->delta.Stop();
  delta_active_ = false;
  const bool writing = file_ != nullptr;
  StopParts();
  // What an interrupted attempt wrote serves the next one.
  if (writing) SaveRecord();
  ranges_active_ = false;
  range_digest_.reset();
  reader_.reset();
  file_.reset();
}

void CInetFile::ReleaseTransfer() {
  Stop();
  transfer_.reset();
}

void CInetFile::StopParts() {
  if (!transfer_) return;
  for (CRangeDownLoad& part : transfer_->parts) part.Stop();
}

bool CInetFile::AllPartsIdle() const {
  for (const CRangeDownLoad& part : transfer_->parts) {
    if (!part.IsIdle()) return false;
  }
  return true;
}

void CInetFile::Fail(int code) {
  Stop();
  PostResult(code);
}

void CInetFile::PostResult(int code) {
  if (result_posted_) return;
  result_posted_ = true;
  if (NotifyWindow) {
    platform::PostMessage(NotifyWindow, WM_JOB_DONE, MakeJobWParam(code, Kind),
                          static_cast<intptr_t>(Id));
  }
}

void CInetFile::PostProgress(uint32_t count) {
  Fetched += count;
  if (NotifyWindow) {
    platform::PostMessage(NotifyWindow, WM_JOB_PROGRESS, MakeJobWParam(count, Kind),
                          static_cast<intptr_t>(Id));
  }
}

bool CInetFile::LengthAllowed(uint64_t length, bool complete) const {
  if (Kind == kJobManifest) return length <= kMaxManifest;
  if (Kind != kJobFile) return length <= kMaxDocument;
  // The manifest's length is what the file must have.
  return complete ? length == ExpectedLength : length <= ExpectedLength;
}

bool CInetFile::OpenTarget() {
  file_.reset();
  std::wstring name = GetTempName();
  if ((file_ = disk_->Open(name, platform::File::kCreateTruncate))) return true;
  for (size_t i = 1; i < name.size(); ++i) {
    if (name[i] != platform::kPathSeparator) continue;
    const std::wstring dir = name.substr(0, i);
    // A file of an earlier release where this version has a directory. It
    // is only moved: it goes when the version is recorded.
    if (Kind == kJobFile && disk_->Exists(dir)) disk_->MoveNoReplace(dir, SetAsidePath(dir, Version));
    disk_->CreateDirectory(dir);
  }
  if ((file_ = disk_->Open(name, platform::File::kCreateTruncate))) return true;
  NoteWriteFailure(name);
  return false;
}

void CInetFile::NoteWriteFailure(const std::wstring& path, uint32_t status) {
  if (status == 0) status = platform::LastErrorStatus();
  std::wstring reason;
  switch (status) {
    case 0x80070070u:  // disk full
    case 0x80070027u:  // handle disk full
      reason = texts::kReasonDiskFull;
      break;
    case 0x80070005u: reason = texts::kReasonNoPermission; break;
    case 0x80070013u: reason = texts::kReasonReadOnly; break;
    default: reason = platform::StatusMessage(status); break;
  }
  FailureNote = platform::Format(texts::kWriteFailed, path.c_str(), reason.c_str());
}

bool CInetFile::StartRanges(uint64_t length) {
  // A resumed copy keeps its bytes; a new one is made empty.
  if (!(resuming_ ? (file_ = disk_->Open(GetTempName(), platform::File::kWriteExisting)) != nullptr
                   : OpenTarget())) {
    if (resuming_) NoteWriteFailure(GetTempName());
    Fail(kJobCreateFailed);
    return false;
  }
  if (!file_->SetLength(length)) {
    NoteWriteFailure(GetTempName());
    Fail(kJobCreateFailed);
    return false;
  }
  ranges_active_ = true;
  // A new copy is empty: its ranges start as even parts of it. Its digests
  // follow the bytes; kept bytes leave them to one read at the end.
  if (!resuming_) plan_.Divide(length, kParts);
  range_digest_.reset();
  reader_.reset();
  if (!resuming_ && (reader_ = disk_->Open(GetTempName(), platform::File::kRead))) {
    range_digest_.reset(new RangeDigest(!ExpectedSha256.empty()));
  }
  plan_.Spread(kParts, MinTakeOver);
  for (int worker = 0; worker < kParts; ++worker) {
    const int index = plan_.Unclaimed();
    if (index >= 0 && !StartPart(worker, index)) {
      StopParts();
      ranges_active_ = false;
      file_.reset();
      PostResult(kJobStartFailed);
      return false;
    }
  }
  // Every range was on disk already.
  if (AllPartsIdle()) OnDownLoadStatus(kDownLoadComplete);
  return true;
}

bool CInetFile::StartPart(int worker, int index) {
  RangePlan::Range& range = plan_.at(index);
  range.worker = worker;
  parts_in_run_ = std::max(parts_in_run_, worker + 1);
  // Bytes already on disk, in this run or an earlier one, came from the
  // file with this validator: every further range asks for the same file.
  const std::string if_range = validator_known_ ? progress_.validator : std::string();
  return transfer_->parts[worker].Start(TriedUrl, this, range.first, range.end - 1, ExpectedLength, file_.get(),
                                        range.done, if_range);
}

void CInetFile::OnRangeWritten(uint64_t offset, const char* data, size_t size) {
  if (!range_digest_) return;
  range_digest_->Written(offset, data, size);
  AdvanceDigest(kReadBackStep);
}

void CInetFile::AdvanceDigest(uint64_t budget) {
  for (const RangePlan::Range& range : plan_.ranges()) {
    const uint64_t from = range_digest_->frontier();
    if (from >= range.end) continue;
    const uint64_t on_disk =
        range.first + (range.worker >= 0 ? transfer_->parts[range.worker].written() : range.done);
    if (from < on_disk) {
      if (!range_digest_->ReadBack(reader_.get(), on_disk, budget)) {
        // The installer reads the whole copy instead.
        range_digest_.reset();
        reader_.reset();
        return;
      }
      budget -= range_digest_->frontier() - from;
    }
    // The rest of this range has not reached the disk yet.
    if (range_digest_->frontier() < range.end) return;
  }
}

bool CInetFile::GiveIdlePartsWork() {
  int busy = BusyParts();
  for (int worker = 0; worker < kMaxWorkers; ++worker) {
    CRangeDownLoad& part = transfer_->parts[worker];
    if (!part.IsIdle()) continue;
    plan_.Release(worker, part.written());
    if (busy >= connection_limit_) continue;
    int index = plan_.Unclaimed();
    if (index < 0) {
      int donor = RangePlan::kNoWorker;
      const uint64_t now = platform::MonotonicMs();
      index = plan_.TakeOver(
          worker,
          [this, now](int other, uint64_t* next) {
            const CRangeDownLoad& part = transfer_->parts[other];
            return part.NextByte(next) && part.WorthSplitting(now);
          },
          MinTakeOver, &donor);
      if (index < 0) continue;
      transfer_->parts[donor].ShortenTo(plan_.at(index).first - 1);
    }
    if (!StartPart(worker, index)) {
      Fail(kJobTransferFailed);
      return false;
    }
    ++busy;
  }
  return true;
}

int CInetFile::BusyParts() const {
  int busy = 0;
  for (const CRangeDownLoad& part : transfer_->parts) busy += !part.IsIdle();
  return busy;
}

bool CInetFile::OnDataInformation(uint64_t length, const std::wstring&, const std::wstring&) {
  if (ranges_active_) {
    for (int worker = 0; worker < parts_in_run_; ++worker) {
      TakeValidator(transfer_->parts[worker].strong_tag(), transfer_->parts[worker].last_modified());
    }
    return true;
  }
  CDownLoad& request = transfer_->request;
  HttpStatus = request.last_status();
  if (resuming_) {
    const bool rest = request.status_code() == 206 && request.range_start() == static_cast<int64_t>(Received) &&
                      (request.range_total() < 0 || static_cast<uint64_t>(request.range_total()) == ExpectedLength) &&
                      (!request.length_known() || length == ExpectedLength - Received);
    if (rest) {
      if (!(file_ = disk_->Open(GetTempName(), platform::File::kWriteExisting)) ||
          !file_->SetLength(Received) || !file_->Seek(Received)) {
        NoteWriteFailure(GetTempName());
        Fail(kJobCreateFailed);
        return false;
      }
      writeback_from_ = Received;
      return true;
    }
    if (request.status_code() != 200) {
      if (started_over_) {
        Fail(kJobTransferFailed);
        return false;
      }
      // Bytes from another place than the rest asked for: the server's
      // ranges cannot be trusted, its whole file may be. Once per run the
      // file comes again from zero, without a range.
      request.Reset();
      StartOver();
      return false;
    }
    // The whole file, changed since the bytes on disk came: it starts over.
    DeleteProgress(*disk_, GetTempName());
    resuming_ = validator_known_ = false;
    Received = Resumed = recorded_at_ = 0;
  }
  TakeValidator(request.strong_tag(), request.last_modified());
  if (request.length_known() && !LengthAllowed(length, Kind == kJobFile)) {
    Fail(kJobTransferFailed);
    return false;
  }
  if (!OpenTarget()) {
    Fail(kJobCreateFailed);
    return false;
  }
  transfer_->digest.MD5Init();
  writeback_from_ = 0;
  return true;
}

bool CInetFile::OnDownLoadData(const char* data, uint32_t count) {
  if (ranges_active_) {
    Received += count;
    PostProgress(count);
    if (Received - recorded_at_ >= kRecordStep) SaveRecord();
    // An idle part, one the run offered or one whose range ended before
    // a slow range had its answer, takes up work as soon as a range under
    // way has an answer to cut.
    if (BusyParts() < connection_limit_) return GiveIdlePartsWork();
    return true;
  }
  if (!file_) return true;
  if (!LengthAllowed(Received + count, false)) {
    Fail(kJobTransferFailed);
    return false;
  }
  if (!file_->Write(data, count)) {
    NoteWriteFailure(GetTempName());
    Fail(kJobTransferFailed);
    return false;
  }
  Received += count;
  if (Kind == kJobFile && Received - recorded_at_ >= kRecordStep) SaveRecord();
  transfer_->digest.MD5Update(reinterpret_cast<const unsigned char*>(data), count);
  if (Received - writeback_from_ >= CRangeDownLoad::kWritebackStep) {
    file_->StartWriteback(writeback_from_, Received - writeback_from_);
    writeback_from_ = Received;
  }
  PostProgress(count);
  return true;
}

bool CInetFile::OnDownLoadStatus(int status) {
  if (status != kDownLoadComplete) return true;
  if (ranges_active_) {
    // Idle parts took up every range with bytes missing: all idle, all done.
    if (!GiveIdlePartsWork() || !AllPartsIdle()) return true;
    ranges_active_ = false;
    // The pending copy reaches the disk before anyone moves it into place.
    bool ok = DeferDurability || file_->Sync();
    ok = file_->Close() && ok;
    if (!ok) {
      NoteWriteFailure(GetTempName());
      Fail(kJobTransferFailed);
      return false;
    }
    file_.reset();
    if (range_digest_) AdvanceDigest(UINT64_MAX);
    std::wstring md5, sha256;
    if (range_digest_ && range_digest_->Finish(ExpectedLength, &md5, &sha256)) {
      ComputedMd5 = md5;
      ComputedSha256 = sha256;
    }
    range_digest_.reset();
    reader_.reset();
    PostResult(kJobOk);
    return true;
  }
  if (!file_) return true;
  // Small files are left to the barrier: a hint each would cost more.
  if (writeback_from_ > 0) file_->StartWriteback(writeback_from_, Received - writeback_from_);
  const bool length_ok = LengthAllowed(Received, Kind == kJobFile);
  bool ok = length_ok && (DeferDurability || file_->Sync());
  ok = file_->Close() && ok;
  if (!ok && length_ok) NoteWriteFailure(GetTempName());
  file_.reset();
  if (!ok) {
    Fail(kJobTransferFailed);
    return false;
  }
  unsigned char digest[16];
  transfer_->digest.MD5Final(digest);
  // Resumed bytes never went through the digest: the whole file is read then.
  if (Kind == kJobFile && !resuming_) ComputedMd5 = platform::FromAnsi(ToHex(digest, sizeof(digest)));
  PostResult(kJobOk);
  return true;
}

bool CInetFile::OnDownLoadError(int code) {
  if (code == kDownLoadLineBroken && !ranges_active_ && !delta_active_ && !line_retried_) {
    // Once per run the file comes again, on a connection of its own.
    line_retried_ = true;
    StartFromZero();
    return true;
  }
  // A changed file answers a request that names the validator of the bytes
  // on disk with all of it, or a resumed one by saying the range does not
  // exist: once per run, the file starts over.
  if (!started_over_) {
    bool changed = resuming_ && !ranges_active_ && transfer_->request.last_status() == 416;
    for (int worker = 0; worker < parts_in_run_; ++worker) {
      const CRangeDownLoad& part = transfer_->parts[worker];
      changed = changed || (ranges_active_ && (part.file_changed() || (resuming_ && part.last_status() == 416)));
    }
    if (changed) {
      StartOver();
      return true;
    }
  }
  if (FailureNote.empty()) FailureNote = transfer_->request.failure_note();
  if (ranges_active_) {
    for (int worker = 0; worker < parts_in_run_; ++worker) {
      const CRangeDownLoad& part = transfer_->parts[worker];
      if (FailureNote.empty() && part.write_failure() != 0) NoteWriteFailure(GetTempName(), part.write_failure());
      if (FailureNote.empty()) FailureNote = part.failure_note();
      // The status a part was refused with, if any.
      const int status = part.last_status();
      if (status != 0 && status != 200 && status != 206) HttpStatus = status;
    }
  } else {
    HttpStatus = transfer_->request.last_status();
  }
  // Servers that keep legacy names answer the Unicode name with 404.
  if (HttpStatus == 404 && !ansi_url_.empty() && !ansi_tried_) {
    ansi_tried_ = true;
    TriedUrl = ansi_url_;
    if (ranges_active_) {
      StopParts();
      for (int worker = 0; worker < kMaxWorkers; ++worker) plan_.Release(worker, transfer_->parts[worker].written());
      ranges_active_ = false;
      file_.reset();
      StartRanges(ExpectedLength);
    } else if (!transfer_->request.DownLoad(TriedUrl, this)) {
      Fail(kJobTransferFailed);
    }
    return true;
  }
  Fail(kJobTransferFailed);
  return true;
}

bool CInetFile::Pipelined() const {
  return Kind == kJobFile && ExpectedLength <= kPipelinedUpTo && ChunksUrl.empty() && ConnectionsNeeded() == 1 &&
         !line_retried_;
}

int CInetFile::ConnectionsNeeded() const {
  const bool ranged = Kind == kJobFile && ExpectedLength >= kMinRangedLength && ExpectedLength >= OneStreamBelow;
  if (!ranged) return 1;
  return ranges_active_ ? std::max(kParts, BusyParts()) : kParts;
}

int CInetFile::OfferConnections(int spare) {
  if (!ranges_active_) return 0;
  const int held = ConnectionsNeeded();
  connection_limit_ = std::min(kMaxWorkers, std::max(kParts, held + spare));
  return connection_limit_ - held;
}

FinishedFile CInetFile::Finished() const {
  FinishedFile file;
  file.target = TargetPath;
  file.file_name = FileName;
  file.version = Version;
  file.expected_md5 = ExpectedMd5;
  file.expected_sha256 = ExpectedSha256;
  file.computed_md5 = ComputedMd5;
  file.computed_sha256 = ComputedSha256;
  file.time = FileTime;
  file.resumed = Resumed;
  file.delta = Delta;
  return file;
}

std::unique_ptr<CInetFile> MakeFileJob(const std::wstring& base, const CUpdateFile& entry,
                                       const std::wstring& version, const std::wstring& server_name,
                                       uint64_t notify_window, platform::Disk* disk) {
  CUpdateFile located = entry;
  if (!located.LocalPath.empty()) located.LocalPath += L"/";
  auto job = std::make_unique<CInetFile>(base, &located, version, disk);
  job->Kind = kJobFile;
  job->NotifyWindow = notify_window;
  job->ServerName = server_name;
  job->TargetPath = entry.FullPath;
  job->FileName = entry.FileName;
  job->ExpectedLength = static_cast<uint64_t>(entry.Length);
  job->ExpectedMd5 = entry.Md5;
  job->ExpectedSha256 = entry.Sha256;
  job->FileTime = entry.FileDate;
  // The index is a plain name beside the file.
  const bool plain_name = !entry.Chunks.empty() && entry.Chunks.find_first_of(L"/\\") == std::wstring::npos &&
                          entry.Chunks != L"." && entry.Chunks != L"..";
  if (plain_name && entry.ChunksSha256.size() == 64) {
    job->ChunksUrl = job->Url.substr(0, job->Url.rfind(L'/') + 1) +
                     Widen(PercentEncodePath(platform::ToUtf8(entry.Chunks)));
    job->ChunksSha256 = entry.ChunksSha256;
  }
  // The installer makes a batch of finished copies durable with one barrier.
  job->DeferDurability = true;
  return job;
}

std::unique_ptr<CInetFile> MakeDocumentJob(int kind, const std::wstring& url, const std::wstring& server_name,
                                           const std::wstring& target, uint64_t notify_window,
                                           platform::Disk* disk) {
  auto job = std::make_unique<CInetFile>(url, nullptr, std::wstring(), disk);
  job->Kind = kind;
  job->NotifyWindow = notify_window;
  job->ServerName = server_name;
  job->TargetPath = target;
  return job;
}

void SetDownloadNaming(CInetFile* job, bool suffixed) {
  const bool has = platform::EndsWith(job->Url, kDownloadSuffix);
  if (suffixed && !has) job->Url += kDownloadSuffix;
  if (!suffixed && has) job->Url = WithoutDownloadSuffix(job->Url);
}

std::wstring WithoutDownloadSuffix(const std::wstring& url) {
  const std::wstring suffix = kDownloadSuffix;
  return platform::EndsWith(url, suffix) ? url.substr(0, url.size() - suffix.size()) : url;
}

CInetFiles::~CInetFiles() { RemoveAll(); }

void CInetFiles::AddTail(std::unique_ptr<CInetFile> job) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  jobs_.push_back(std::move(job));
}

CInetFile* CInetFiles::GetHead() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return jobs_.empty() ? nullptr : jobs_.front().get();
}

unsigned CInetFiles::GetCount() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return static_cast<unsigned>(jobs_.size());
}

void CInetFiles::Remove(CInetFile* job) { Detach(job); }

std::unique_ptr<CInetFile> CInetFiles::Detach(CInetFile* job) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  for (auto it = jobs_.begin(); it != jobs_.end(); ++it) {
    if (it->get() != job) continue;
    std::unique_ptr<CInetFile> taken = std::move(*it);
    jobs_.erase(it);
    return taken;
  }
  return nullptr;
}

void CInetFiles::ForEach(const std::function<void(CInetFile&)>& visit) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  for (const auto& job : jobs_) visit(*job);
}

CInetFile* CInetFiles::HeadWithId(JobId id) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return !jobs_.empty() && jobs_.front()->Id == id ? jobs_.front().get() : nullptr;
}

CInetFile* CInetFiles::FindById(JobId id) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  for (const auto& job : jobs_) {
    if (job->Id == id) return job.get();
  }
  return nullptr;
}

void CInetFiles::RemoveAll() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  // One at a time: a job's destructor may still look at the queue.
  while (!jobs_.empty()) {
    std::unique_ptr<CInetFile> job = std::move(jobs_.front());
    jobs_.pop_front();
  }
}
