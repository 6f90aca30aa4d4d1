#include "net/inet_file.h"

#include "digest/hex.h"
#include "manifest/update_file.h"
#include "net/url.h"
#include "platform/event_loop.h"
#include "platform/text.h"

namespace {

const char kJobHeaders[] = "Accept: */*\r\nUser-Agent: AutoUpdate_Lurin\r\nCache-Control: no-cache\r\n";

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

JobId NextJobId() {
  static JobId last = 0;
  if (++last == 0) ++last;
  return last;
}

}  // namespace

CInetFile::CInetFile(const std::wstring& url, const CUpdateFile* entry, const std::wstring& version)
    : Id(NextJobId()), Url(url), Version(version) {
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
  return platform::Format(L"%s.update.%s", TargetPath.c_str(), Version.c_str());
}

bool CInetFile::Start(bool allowRanges) {
  Received = 0;
  ComputedMd5.clear();
  HttpStatus = 0;
  FailureNote.clear();
  ranges_allowed_ = allowRanges;
  ranges_active_ = false;
  result_posted_ = false;
  Stop();
  TriedUrl = Url;
  // The URL may have been renamed since the job was made (".update").
  ansi_url_.clear();
  ansi_tried_ = false;
  size_t at = utf8_path_.empty() ? std::wstring::npos : Url.rfind(utf8_path_);
  if (ansi_path_ != utf8_path_ && at != std::wstring::npos) {
    ansi_url_ = Url.substr(0, at) + ansi_path_ + Url.substr(at + utf8_path_.size());
  }
  if (!transfer_) transfer_.reset(new Transfer);
  // The manifest gives the length: no request for the whole file first.
  if (allowRanges && Kind == kJobFile && ExpectedLength >= kMinRangedLength &&
      ExpectedLength >= OneStreamBelow) {
    StartRanges(ExpectedLength);
    return true;
  }
  transfer_->request.SetExtraHeaders(kJobHeaders);
  if (!transfer_->request.DownLoad(Url, this)) Fail(kJobStartFailed);
  return true;
}

void CInetFile::Stop() {
  if (transfer_ && transfer_->request.GetState() != CDownLoad::kIdle) transfer_->request.Reset();
  StopParts();
  if (file_.IsOpen()) file_.Close();
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
  if (NotifyWindow) {
    platform::PostMessage(NotifyWindow, WM_JOB_PROGRESS, MakeJobWParam(count, Kind),
                          static_cast<intptr_t>(Id));
  }
}

bool CInetFile::LengthAllowed(uint64_t length, bool complete) const {
  if (Kind != kJobFile) return length <= kMaxDocument;
  // The manifest's length is what the file must have.
  return complete ? length == ExpectedLength : length <= ExpectedLength;
}

bool CInetFile::OpenTarget() {
  if (file_.IsOpen()) file_.Close();
  std::wstring name = GetTempName();
  if (file_.Open(name, platform::File::kCreateTruncate)) return true;
  for (size_t i = 1; i < name.size(); ++i) {
    if (name[i] == platform::kPathSeparator) platform::CreateDirectory(name.substr(0, i));
  }
  return file_.Open(name, platform::File::kCreateTruncate);
}

bool CInetFile::StartRanges(uint64_t length) {
  if (!OpenTarget()) {
    Fail(kJobCreateFailed);
    return false;
  }
  bool sized = file_.SetLength(length);
  if (!file_.Close() || !sized) {
    Fail(kJobCreateFailed);
    return false;
  }
  ranges_active_ = true;
  uint64_t first = 0;
  for (int i = 0; i < kParts; ++i) {
    uint64_t last = i < kParts - 1 ? (i + 1) * length / kParts - 1 : length - 1;
    if (!transfer_->parts[i].Start(TriedUrl, this, first, last, length, GetTempName())) {
      StopParts();
      ranges_active_ = false;
      PostResult(kJobStartFailed);
      return false;
    }
    first = last + 1;
  }
  return true;
}

bool CInetFile::OnDataInformation(uint64_t length, const std::wstring&, const std::wstring&) {
  if (ranges_active_) return true;
  HttpStatus = transfer_->request.last_status();
  if (transfer_->request.length_known() && !LengthAllowed(length, Kind == kJobFile)) {
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
    return true;
  }
  if (!file_.IsOpen()) return true;
  Received += count;
  if (!LengthAllowed(Received, false) || !file_.Write(data, count)) {
    Fail(kJobTransferFailed);
    return false;
  }
  transfer_->digest.MD5Update(reinterpret_cast<const unsigned char*>(data), count);
  if (Received - writeback_from_ >= CRangeDownLoad::kWritebackStep) {
    file_.StartWriteback(writeback_from_, Received - writeback_from_);
    writeback_from_ = Received;
  }
  PostProgress(count);
  return true;
}

bool CInetFile::OnDownLoadStatus(int status) {
  if (status != kDownLoadComplete) return true;
  if (ranges_active_) {
    if (!AllPartsIdle()) return true;
    ranges_active_ = false;
    // The pending copy reaches the disk before anyone moves it into place.
    if (!DeferDurability) {
      platform::File file;
      if (!file.Open(GetTempName(), platform::File::kWriteExisting) || !file.Sync()) {
        Fail(kJobTransferFailed);
        return false;
      }
      file.Close();
    }
    PostResult(kJobOk);
    return true;
  }
  if (!file_.IsOpen()) return true;
  // Small files are left to the barrier: a hint each would cost more.
  if (writeback_from_ > 0) file_.StartWriteback(writeback_from_, Received - writeback_from_);
  bool ok = LengthAllowed(Received, Kind == kJobFile) && (DeferDurability || file_.Sync());
  ok = file_.Close() && ok;
  if (!ok) {
    Fail(kJobTransferFailed);
    return false;
  }
  unsigned char digest[16];
  transfer_->digest.MD5Final(digest);
  if (Kind == kJobFile) ComputedMd5 = platform::FromAnsi(ToHex(digest, sizeof(digest)));
  PostResult(kJobOk);
  return true;
}

bool CInetFile::OnDownLoadError(int) {
  if (FailureNote.empty()) FailureNote = transfer_->request.failure_note();
  if (ranges_active_) {
    for (const CRangeDownLoad& part : transfer_->parts) {
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
      ranges_active_ = false;
      StartRanges(ExpectedLength);
    } else if (!transfer_->request.DownLoad(TriedUrl, this)) {
      Fail(kJobTransferFailed);
    }
    return true;
  }
  Fail(kJobTransferFailed);
  return true;
}

CInetFiles::~CInetFiles() { RemoveAll(); }

void CInetFiles::AddTail(CInetFile* job) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  jobs_.push_back(job);
}

CInetFile* CInetFiles::GetHead() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return jobs_.empty() ? nullptr : jobs_.front();
}

unsigned CInetFiles::GetCount() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return static_cast<unsigned>(jobs_.size());
}

void CInetFiles::Remove(CInetFile* job) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  size_t before = jobs_.size();
  jobs_.remove(job);
  if (jobs_.size() != before) delete job;
}

CInetFile* CInetFiles::Detach(CInetFile* job) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  size_t before = jobs_.size();
  jobs_.remove(job);
  return jobs_.size() != before ? job : nullptr;
}

void CInetFiles::ForEach(const std::function<void(const CInetFile&)>& visit) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  for (const CInetFile* job : jobs_) visit(*job);
}

CInetFile* CInetFiles::HeadWithId(JobId id) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return !jobs_.empty() && jobs_.front()->Id == id ? jobs_.front() : nullptr;
}

void CInetFiles::RemoveAll() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  while (!jobs_.empty()) {
    CInetFile* job = jobs_.front();
    jobs_.pop_front();
    delete job;
  }
}
