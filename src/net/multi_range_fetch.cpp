#include "net/multi_range_fetch.h"

#include <algorithm>

#include "net/request_headers.h"
#include "platform/text.h"

bool CMultiRangeFetch::Start(const std::wstring& url, const std::vector<ByteRange>& ranges, uint64_t file_length,
                             platform::DiskFile* file, IRangeFetchSink* owner) {
  Stop();
  url_ = url;
  file_length_ = file_length;
  file_ = file;
  owner_ = owner;
  pending_.assign(ranges.begin(), ranges.end());
  in_flight_.clear();
  single_ = false;
  validator_.clear();
  requests_ = 0;
  fruitless_ = 0;
  write_failure_ = 0;
  for (const ByteRange& range : ranges) {
    if (range.first > range.last || range.last >= file_length) return false;
  }
  active_ = true;
  SendNext();
  return true;
}

void CMultiRangeFetch::Stop() {
  if (request_.GetState() != CDownLoad::kIdle) request_.Reset();
  active_ = false;
  multipart_.reset();
}

void CMultiRangeFetch::End(IRangeFetchSink::Result result) {
  Stop();
  if (owner_) owner_->OnRangesEnd(result);
}

void CMultiRangeFetch::SendNext() {
  if (pending_.empty()) {
    End(IRangeFetchSink::kRangesDone);
    return;
  }
  in_flight_.clear();
  std::string line = "Range: bytes=";
  const size_t most = single_ ? 1 : kMaxRangesPerRequest;
  while (!pending_.empty() && in_flight_.size() < most) {
    const ByteRange& next = pending_.front();
    const std::string item = std::to_string(next.first) + "-" + std::to_string(next.last);
    if (!in_flight_.empty() && line.size() + 1 + item.size() > kMaxRangeLine) break;
    if (!in_flight_.empty()) line += ",";
    line += item;
    in_flight_.push_back({next, 0});
    pending_.pop_front();
  }
  std::string headers = line + "\r\n";
  // Ranges of another file would make a mix no digest could pass.
  if (!validator_.empty()) headers += "If-Range: " + validator_ + "\r\n";
  multipart_.reset();
  whole_file_ = false;
  taken_this_answer_ = 0;
  ++requests_;
  request_.SetExtraHeaders(RequestHeaders(headers));
  if (!request_.DownLoad(url_, this)) End(IRangeFetchSink::kRangesFailed);
}

bool CMultiRangeFetch::OnDataInformation(uint64_t, const std::wstring&, const std::wstring&) {
  if (!active_) return true;
  if (validator_.empty()) validator_ = !request_.strong_tag().empty() ? request_.strong_tag() : request_.last_modified();
  if (request_.status_code() != 206) {
    // The whole file instead of the ranges: not worth reading for them.
    whole_file_ = true;
    request_.Reset();
    OnDownLoadStatus(kDownLoadComplete);
    return true;
  }
  const std::string boundary = ByterangesBoundary(request_.content_type());
  if (!boundary.empty()) {
    multipart_.reset(new MultipartReader(
        boundary, file_length_, [](uint64_t, uint64_t) { return true; },
        [this](uint64_t offset, const char* data, size_t size) { return Take(offset, data, size); }));
    return true;
  }
  // One part: its Content-Range says where it goes.
  if (request_.range_start() < 0 || request_.range_total() != static_cast<int64_t>(file_length_)) {
    request_.Reset();
    End(IRangeFetchSink::kRangesRefused);
    return true;
  }
  single_next_ = static_cast<uint64_t>(request_.range_start());
  return true;
}

bool CMultiRangeFetch::OnDownLoadData(const char* data, uint32_t count) {
  if (!active_) return true;
  bool ok = true;
  if (multipart_) {
    ok = multipart_->Feed(data, count);
  } else {
    ok = single_next_ + count <= file_length_ && Take(single_next_, data, count);
    single_next_ += count;
  }
  if (!ok) {
    request_.Reset();
    End(write_failure_ != 0 ? IRangeFetchSink::kRangesFailed : IRangeFetchSink::kRangesRefused);
  }
  return true;
}

bool CMultiRangeFetch::Take(uint64_t offset, const char* data, size_t size) {
  while (size > 0) {
    auto it = std::find_if(in_flight_.begin(), in_flight_.end(),
                           [offset](const InFlight& f) { return f.range.last >= offset; });
    if (it == in_flight_.end()) return true;  // past every range asked for
    size_t skip = 0;
    const uint64_t expected = it->range.first + it->got;
    if (offset < expected) {
      skip = static_cast<size_t>(std::min<uint64_t>(size, expected - offset));
    } else if (offset > expected) {
      // A hole in the range: what follows it cannot be counted; the rest
      // of the range is asked for again.
      skip = static_cast<size_t>(std::min<uint64_t>(size, it->range.last - offset + 1));
    } else {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(size, it->range.last - offset + 1));
      if (!file_->WriteAt(offset, data, n)) {
        write_failure_ = platform::LastErrorStatus();
        if (write_failure_ == 0) write_failure_ = 0x80004005u;
        return false;
      }
      it->got += n;
      taken_this_answer_ += n;
      if (owner_) owner_->OnRangeBytes(static_cast<uint32_t>(n));
      skip = n;
    }
    offset += skip;
    data += skip;
    size -= skip;
  }
  return true;
}

void CMultiRangeFetch::Requeue() {
  // What did not come goes back to the front of the list.
  for (auto it = in_flight_.rbegin(); it != in_flight_.rend(); ++it) {
    if (it->got < it->range.size()) pending_.push_front({it->range.first + it->got, it->range.last});
  }
  in_flight_.clear();
}

bool CMultiRangeFetch::OnDownLoadStatus(int status) {
  if (status != kDownLoadComplete || !active_) return true;
  Requeue();
  const bool was_list = !single_;
  if (whole_file_ && single_) {
    End(IRangeFetchSink::kRangesRefused);
    return true;
  }
  // A list answered with one part or the whole file: one range at a time.
  if (was_list && (whole_file_ || !multipart_)) single_ = true;
  fruitless_ = taken_this_answer_ > 0 ? 0 : fruitless_ + 1;
  if (fruitless_ >= kMaxFruitless) {
    End(IRangeFetchSink::kRangesRefused);
    return true;
  }
  SendNext();
  return true;
}

bool CMultiRangeFetch::OnDownLoadError(int) {
  if (!active_) return true;
  const int status = request_.last_status();
  Requeue();
  // Servers that cannot parse a list fail it in any way, from a 4xx or 5xx
  // to a dropped connection: it is asked once more, one range at a time.
  if (!single_ && taken_this_answer_ == 0) {
    single_ = true;
    SendNext();
    return true;
  }
  // A server that refuses a single range (416: it has no such bytes) will
  // refuse the next; a broken transfer is worth another attempt later.
  End(status >= 400 ? IRangeFetchSink::kRangesRefused : IRangeFetchSink::kRangesFailed);
  return true;
}
