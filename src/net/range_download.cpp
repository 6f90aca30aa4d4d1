#include "net/range_download.h"

#include <cstring>
#include <string>

#include "net/request_headers.h"
#include "platform/event_loop.h"

namespace {

// A fresh range's wait for its answer and the window's growth, in waits of
// the answer as this part saw it.
constexpr uint64_t kColdStartWaits = 4;
// Bytes over less time than this tell no pace.
constexpr uint64_t kPaceWindowMs = 50;

}  // namespace

CRangeDownLoad::CRangeDownLoad() = default;

CRangeDownLoad::~CRangeDownLoad() { Stop(); }

bool CRangeDownLoad::Start(const std::wstring& url, IDownLoadSink* owner, uint64_t firstByte,
                           uint64_t lastByte, uint64_t fileLength, platform::DiskFile* file,
                           uint64_t done, const std::string& ifRange) {
  Stop();
  url_ = url;
  owner_ = owner;
  first_byte_ = firstByte;
  last_byte_ = lastByte;
  file_length_ = fileLength;
  file_ = file;
  written_ = done;
  file_changed_ = false;
  write_failure_ = 0;
  strong_tag_.clear();
  last_modified_.clear();
  resuming_ = !ifRange.empty();
  if (!resuming_) written_ = 0;
  if (written_ > lastByte - firstByte) return true;  // the whole range is on disk
  std::string range = "Range: bytes=" + std::to_string(firstByte + written_) + "-" + std::to_string(lastByte) + "\r\n";
  if (resuming_) range += "If-Range: " + ifRange + "\r\n";
  request_.SetExtraHeaders(RequestHeaders(range));
  asked_ms_ = platform::MonotonicMs();
  answered_ms_ = 0;
  arrived_ = 0;
  if (!request_.DownLoad(url_, this)) {
    Stop();
    return false;
  }
  return true;
}

bool CRangeDownLoad::NextByte(uint64_t* next) const {
  if (!writing_ || request_.status_code() != 206 || remaining_ == 0) return false;
  *next = last_byte_ + 1 - remaining_;
  return true;
}

bool CRangeDownLoad::WorthSplitting(uint64_t now_ms) const {
  if (!writing_ || answered_ms_ == 0) return true;
  // Just answered: wait for its pace rather than cut it blind (any later
  // delivery asks again).
  if (now_ms < answered_ms_ + kPaceWindowMs) return false;
  // The bytes this part fetches while a fresh one gets going, at its pace.
  const uint64_t cold = arrived_ * kColdStartWaits * (answered_ms_ - asked_ms_) / (now_ms - answered_ms_);
  return remaining_ / 2 >= cold;
}

void CRangeDownLoad::ShortenTo(uint64_t lastByte) {
  uint64_t next = 0;
  if (!NextByte(&next) || lastByte < next || lastByte >= last_byte_) return;
  remaining_ = lastByte + 1 - next;
  last_byte_ = lastByte;
}

bool CRangeDownLoad::Stop() {
  ++run_;
  if (request_.GetState() != CDownLoad::kIdle) request_.Reset();
  // What arrived is right for its place: keep it for a later attempt.
  if (writing_) FlushBuffer();
  buffered_ = 0;
  writing_ = false;
  return true;
}

bool CRangeDownLoad::FlushBuffer() {
  if (buffered_ == 0) return true;
  bool ok = file_->WriteAt(buffer_offset_, buffer_.get(), buffered_);
  if (!ok && write_failure_ == 0) write_failure_ = platform::LastErrorStatus();
  if (ok && watcher_) watcher_->OnRangeWritten(buffer_offset_, buffer_.get(), buffered_);
  buffer_offset_ += buffered_;
  buffered_ = 0;
  if (ok) written_ = buffer_offset_ - first_byte_;
  if (buffer_offset_ - writeback_from_ >= kWritebackStep) {
    file_->StartWriteback(writeback_from_, buffer_offset_ - writeback_from_);
    writeback_from_ = buffer_offset_;
  }
  return ok;
}

bool CRangeDownLoad::Abort(int code) {
  Stop();
  return owner_ ? owner_->OnDownLoadError(code) : true;
}

bool CRangeDownLoad::Finish() {
  if (!FlushBuffer()) return Abort(kDownLoadFailed);
  file_->StartWriteback(writeback_from_, buffer_offset_ - writeback_from_);
  Stop();
  return owner_ ? owner_->OnDownLoadStatus(kDownLoadComplete) : true;
}

bool CRangeDownLoad::OnDataInformation(uint64_t length, const std::wstring& entityTag,
                                       const std::wstring& path) {
  if (!file_) {
    Stop();
    if (owner_) owner_->OnDownLoadError(kDownLoadFileFailed);
    return false;
  }
  writing_ = true;
  strong_tag_ = request_.strong_tag();
  last_modified_ = request_.last_modified();
  const uint64_t start = first_byte_ + written_;
  const uint64_t span = last_byte_ - start + 1;
  const bool known = request_.length_known();
  if (request_.status_code() == 206) {
    // A part answered with other bytes than asked for would corrupt the file.
    const int64_t total = request_.range_total();
    // One that goes on past the range (a server rounding ranges up to its
    // blocks) is fine when its length says the same: the part ends at its
    // own last byte.
    const int64_t end = request_.range_end();
    const bool longer =
        end > static_cast<int64_t>(last_byte_) && (!known || length == static_cast<uint64_t>(end) - start + 1);
    if (request_.range_start() != static_cast<int64_t>(start) || (known && length != span && !longer) ||
        (total >= 0 && static_cast<uint64_t>(total) != file_length_)) {
      return Abort(kDownLoadFailed);
    }
    skip_ = 0;
  } else if (resuming_) {
    // The whole file instead of the rest: it is not the file the bytes on
    // disk came from.
    file_changed_ = true;
    return Abort(kDownLoadFailed);
  } else {
    // A server that ignores Range sends the whole file: keep only our bytes.
    if (known && length != file_length_) return Abort(kDownLoadFailed);
    skip_ = first_byte_;
  }
  remaining_ = span;
  answered_ms_ = platform::MonotonicMs();
  buffer_offset_ = writeback_from_ = start;
  buffered_ = 0;
  if (!buffer_) buffer_.reset(new char[kWriteBuffer]);
  return owner_ ? owner_->OnDataInformation(length, entityTag, path) : true;
}

bool CRangeDownLoad::OnDownLoadData(const char* data, uint32_t count) {
  if (!writing_) return true;
  if (skip_ >= count) {
    skip_ -= count;
    return true;
  }
  data += skip_;
  count -= static_cast<uint32_t>(skip_);
  skip_ = 0;
  uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(count, remaining_));
  if (take == 0) return true;
  if (buffered_ + take > kWriteBuffer && !FlushBuffer()) return Abort(kDownLoadFailed);
  memcpy(buffer_.get() + buffered_, data, take);
  buffered_ += take;
  remaining_ -= take;
  arrived_ += take;
  const uint64_t run = run_;
  if (owner_) owner_->OnDownLoadData(data, take);
  if (run_ != run) return true;
  if (remaining_ == 0) {
    // The answer ends with the range: its end follows at once and keeps
    // the connection, whose window has grown, for the part's next range.
    if (request_.BodyDelivered()) return true;
    // The range is whole and the answer goes on past it: end here.
    return Finish();
  }
  return true;
}

bool CRangeDownLoad::OnDownLoadStatus(int status) {
  if (status != kDownLoadComplete) return true;
  if (remaining_ != 0 || !writing_) return Abort(kDownLoadFailed);  // the answer ended short
  return Finish();
}

bool CRangeDownLoad::OnDownLoadError(int code) {
  Stop();
  return owner_ ? owner_->OnDownLoadError(code) : true;
}
