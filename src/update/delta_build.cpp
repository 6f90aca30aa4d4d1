#include "update/delta_build.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "delta/chunk_plan.h"
#include "digest/hex.h"
#include "net/request_headers.h"
#include "platform/signature.h"
#include "platform/text.h"
#include "update/delta_texts.h"
#include "update/download_progress.h"

namespace {

// Header and entries of the largest index a file of |length| bytes can have
// (chunks of at least 64 bytes).
uint64_t IndexLimit(uint64_t length) {
  const uint64_t chunks = std::min<uint64_t>(length / 64 + 2, kChunkIndexMaxChunks);
  return 64 + chunks * (4 + kChunkDigestSize);
}

std::string Key(const uint8_t* digest, uint32_t length) {
  std::string key(reinterpret_cast<const char*>(digest), kChunkDigestSize);
  key.append(reinterpret_cast<const char*>(&length), sizeof(length));
  return key;
}

}  // namespace

bool DeltaBuild::Start(const DeltaSource& source, platform::Disk* disk, IDeltaSink* sink) {
  Stop();
  source_ = source;
  disk_ = disk;
  sink_ = sink;
  index_bytes_.clear();
  index_limit_ = IndexLimit(source.length);
  reused_ = to_fetch_ = 0;
  note_.clear();
  failure_note_.clear();
  write_failure_ = 0;
  state_ = State::kIndex;
  index_request_.SetExtraHeaders(RequestHeaders());
  if (!index_request_.DownLoad(source.index_url, this)) {
    state_ = State::kIdle;
    return false;
  }
  return true;
}

void DeltaBuild::Stop() {
  if (index_request_.GetState() != CDownLoad::kIdle) index_request_.Reset();
  fetch_.Stop();
  if (file_) file_->Close();
  file_.reset();
  state_ = State::kIdle;
}

void DeltaBuild::End(IDeltaSink::Result result, const wchar_t* reason) {
  if (reason) note_ = reason;
  Stop();
  if (result == IDeltaSink::kWhole) DeleteProgress(*disk_, source_.pending);
  if (sink_) sink_->OnDeltaEnd(result);
}

bool DeltaBuild::OnDataInformation(uint64_t length, const std::wstring&, const std::wstring&) {
  if (state_ != State::kIndex) return true;
  if (index_request_.length_known() && length > index_limit_) End(IDeltaSink::kWhole, texts::kDeltaReasonFormat);
  return true;
}

bool DeltaBuild::OnDownLoadData(const char* data, uint32_t count) {
  if (state_ != State::kIndex) return true;
  if (index_bytes_.size() + count > index_limit_) {
    End(IDeltaSink::kWhole, texts::kDeltaReasonFormat);
    return true;
  }
  index_bytes_.append(data, count);
  if (sink_) sink_->OnDeltaBytes(count);
  return true;
}

bool DeltaBuild::OnDownLoadStatus(int status) {
  if (status == kDownLoadComplete && state_ == State::kIndex) Build();
  return true;
}

bool DeltaBuild::OnDownLoadError(int) {
  if (state_ != State::kIndex) return true;
  // A server without the index (an older release, a mirror that left it
  // out) still has the file.
  const int status = index_request_.last_status();
  if (status >= 400 && status < 500) {
    End(IDeltaSink::kWhole, texts::kDeltaReasonFetch);
    return true;
  }
  failure_note_ = index_request_.failure_note();
  End(IDeltaSink::kFailed);
  return true;
}

bool DeltaBuild::IndexUsable(ChunkIndex* index) {
  platform::Sha256 sha;
  sha.Update(index_bytes_.data(), index_bytes_.size());
  uint8_t digest[platform::kSha256Size];
  if (!sha.Final(digest) ||
      !platform::EqualsNoCase(platform::FromAnsi(ToHex(digest, sizeof(digest))), source_.index_sha256)) {
    note_ = texts::kDeltaReasonDigest;
    return false;
  }
  if (!ParseChunkIndex(index_bytes_, index) || index->file_length != source_.length) {
    note_ = texts::kDeltaReasonFormat;
    return false;
  }
  return true;
}

bool DeltaBuild::ChunksInPlace(const ChunkIndex& index, std::vector<bool>* in_place) {
  in_place->assign(index.chunks.size(), false);
  uint64_t size = 0;
  if (!source_.resume || !disk_->GetSize(source_.pending, &size) || size != source_.length) return true;
  std::unique_ptr<platform::DiskFile> copy = disk_->Open(source_.pending, platform::File::kRead);
  if (!copy) return true;
  buffer_.resize(kCopyBuffer);
  for (size_t i = 0; i < index.chunks.size(); ++i) {
    const Chunk& chunk = index.chunks[i];
    platform::Sha256 sha;
    uint32_t left = chunk.length;
    while (left > 0) {
      const long n = copy->Read(buffer_.data(), std::min<size_t>(left, buffer_.size()));
      if (n <= 0) return true;
      sha.Update(buffer_.data(), static_cast<size_t>(n));
      left -= static_cast<uint32_t>(n);
    }
    uint8_t digest[platform::kSha256Size];
    (*in_place)[i] = sha.Final(digest) && memcmp(digest, chunk.digest, kChunkDigestSize) == 0;
  }
  return true;
}

bool DeltaBuild::CopyLocal(uint64_t from, uint64_t to, uint64_t length, platform::DiskFile* source) {
  if (!source->Seek(from)) return false;
  while (length > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(length, buffer_.size()));
    const long n = source->Read(buffer_.data(), want);
    if (n <= 0) return false;
    if (!file_->WriteAt(to, buffer_.data(), static_cast<size_t>(n))) {
      write_failure_ = platform::LastErrorStatus();
      return false;
    }
    from += static_cast<uint64_t>(n);
    to += static_cast<uint64_t>(n);
    length -= static_cast<uint64_t>(n);
  }
  return true;
}

void DeltaBuild::Build() {
  ChunkIndex index;
  if (!IndexUsable(&index)) {
    End(IDeltaSink::kWhole);
    return;
  }
  std::vector<bool> in_place;
  ChunksInPlace(index, &in_place);
  std::vector<Chunk> local;
  std::unique_ptr<platform::DiskFile> source;
  if (disk_->Exists(source_.target)) {
    if (!ChunkLocalFile(*disk_, source_.target, index.params, &local) ||
        !(source = disk_->Open(source_.target, platform::File::kRead))) {
      End(IDeltaSink::kWhole, texts::kDeltaReasonLocal);
      return;
    }
  }
  std::unordered_map<std::string, uint64_t> found;
  found.reserve(local.size());
  for (const Chunk& chunk : local) found.emplace(Key(chunk.digest, chunk.length), chunk.offset);
  local.clear();

  file_ = source_.resume ? disk_->Open(source_.pending, platform::File::kWriteExisting)
                         : disk_->Open(source_.pending, platform::File::kCreateTruncate);
  if (!file_ || !file_->SetLength(source_.length)) {
    write_failure_ = platform::LastErrorStatus();
    End(IDeltaSink::kFailed);
    return;
  }
  // The record names the index: a build cut short is taken up again from
  // what checks out in the copy.
  DownloadProgress record;
  record.length = source_.length;
  record.plan = platform::ToAnsi(platform::ToLowerAscii(source_.index_sha256));
  SaveProgress(*disk_, source_.pending, record);

  buffer_.resize(kCopyBuffer);
  std::vector<ByteRange> ranges;
  // Runs of local chunks that lie one after the other in both files are
  // copied in one go.
  uint64_t run_from = 0, run_to = 0, run_length = 0;
  auto flush = [&]() {
    const bool ok = run_length == 0 || CopyLocal(run_from, run_to, run_length, source.get());
    run_length = 0;
    return ok;
  };
  for (size_t i = 0; i < index.chunks.size(); ++i) {
    const Chunk& chunk = index.chunks[i];
    if (in_place[i]) {
      reused_ += chunk.length;
      continue;
    }
    auto hit = found.find(Key(chunk.digest, chunk.length));
    if (hit != found.end()) {
      reused_ += chunk.length;
      if (run_length > 0 && run_from + run_length == hit->second && run_to + run_length == chunk.offset) {
        run_length += chunk.length;
        continue;
      }
      if (!flush()) {
        End(write_failure_ != 0 ? IDeltaSink::kFailed : IDeltaSink::kWhole, texts::kDeltaReasonLocal);
        return;
      }
      run_from = hit->second;
      run_to = chunk.offset;
      run_length = chunk.length;
      continue;
    }
    to_fetch_ += chunk.length;
    if (!ranges.empty() && ranges.back().last + 1 == chunk.offset) {
      ranges.back().last += chunk.length;
    } else {
      ranges.push_back({chunk.offset, chunk.offset + chunk.length - 1});
    }
  }
  if (!flush()) {
    End(write_failure_ != 0 ? IDeltaSink::kFailed : IDeltaSink::kWhole, texts::kDeltaReasonLocal);
    return;
  }
  state_ = State::kRanges;
  if (ranges.empty()) {
    OnRangesEnd(kRangesDone);
    return;
  }
  if (!fetch_.Start(source_.file_url, ranges, source_.length, file_.get(), this)) {
    End(IDeltaSink::kWhole, texts::kDeltaReasonFormat);
  }
}

void DeltaBuild::OnRangeBytes(uint32_t count) {
  if (sink_) sink_->OnDeltaBytes(count);
}

void DeltaBuild::OnRangesEnd(IRangeFetchSink::Result result) {
  if (state_ != State::kRanges) return;
  switch (result) {
    case kRangesDone: {
      // The installer's barrier makes the copy durable before it moves it.
      const bool ok = file_->Close();
      file_.reset();
      if (!ok) {
        write_failure_ = platform::LastErrorStatus();
        End(IDeltaSink::kFailed);
        return;
      }
      End(IDeltaSink::kBuilt);
      return;
    }
    case kRangesRefused:
      End(IDeltaSink::kWhole, texts::kDeltaReasonRanges);
      return;
    case kRangesFailed:
      write_failure_ = fetch_.write_failure();
      failure_note_ = fetch_.failure_note();
      End(IDeltaSink::kFailed);
      return;
  }
}
