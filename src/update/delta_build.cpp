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

// The first request for an index asks for the header and the section
// table it would have with the publisher's chunks (1 KiB on average, and
// the publisher's groups and sections); a longer table is asked for in a
// second request.
uint64_t PrefixGuess(uint64_t length) {
  return ChunkIndexPrefixSize(length / (uint64_t{1024} * kChunkGroupAverage * kChunkSectionAverage) + 8);
}

// The largest index a file of |length| bytes can have (chunks of at least
// 64 bytes, as many groups and sections as chunks).
uint64_t IndexLimit(uint64_t length) {
  const uint64_t chunks = std::min<uint64_t>(length / 64 + 2, kChunkIndexMaxChunks);
  return ChunkIndexPrefixSize(chunks) + chunks * (kChunkGroupEntrySize + kChunkEntrySize);
}

// Adds the index bytes [first, first + size) to |wanted|, merged with the
// last range when they follow it.
void Want(std::vector<ByteRange>* wanted, uint64_t first, uint64_t size) {
  const uint64_t last = first + size - 1;
  if (!wanted->empty() && wanted->back().last + 1 == first) wanted->back().last = last;
  else wanted->push_back({first, last});
}

std::string Key(const uint8_t* digest, uint64_t length) {
  std::string key(reinterpret_cast<const char*>(digest), kChunkDigestSize);
  key.append(reinterpret_cast<const char*>(&length), sizeof(length));
  return key;
}

// The index's entries as they come, each range at its own offset.
class MemoryFile : public platform::DiskFile {
 public:
  explicit MemoryFile(uint64_t size) : bytes_(static_cast<size_t>(size), '\0') {}
  std::string* bytes() { return &bytes_; }
  bool Seek(uint64_t offset) override {
    at_ = offset;
    return offset <= bytes_.size();
  }
  bool Write(const void* data, size_t size) override {
    if (!WriteAt(at_, data, size)) return false;
    at_ += size;
    return true;
  }
  bool WriteAt(uint64_t offset, const void* data, size_t size) override {
    if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
    memcpy(&bytes_[static_cast<size_t>(offset)], data, size);
    return true;
  }
  long Read(void*, size_t) override { return -1; }
  bool SetLength(uint64_t) override { return false; }
  bool Sync() override { return true; }
  void StartWriteback(uint64_t, uint64_t) override {}
  bool Close() override { return true; }

 private:
  std::string bytes_;
  uint64_t at_ = 0;
};

}  // namespace

bool DeltaBuild::Start(const DeltaSource& source, platform::Disk* disk, IDeltaSink* sink) {
  Stop();
  source_ = source;
  disk_ = disk;
  sink_ = sink;
  index_bytes_.clear();
  index_limit_ = IndexLimit(source.length);
  index_ = ChunkIndex();
  section_plans_.clear();
  group_plans_.clear();
  local_groups_.clear();
  local_.clear();
  entries_.reset();
  entry_bytes_ = nullptr;
  prefix_size_ = 0;
  index_fetched_ = 0;
  reused_ = to_fetch_ = 0;
  note_.clear();
  failure_note_.clear();
  write_failure_ = 0;
  state_ = State::kPrefix;
  if (!AskPrefix(0, std::min(PrefixGuess(source.length), index_limit_) - 1)) {
    state_ = State::kIdle;
    return false;
  }
  return true;
}

bool DeltaBuild::AskPrefix(uint64_t from, uint64_t to) {
  prefix_asked_from_ = from;
  index_request_.SetExtraHeaders(
      RequestHeaders("Range: bytes=" + std::to_string(from) + "-" + std::to_string(to) + "\r\n"));
  return index_request_.DownLoad(source_.index_url, this);
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
  entries_.reset();
  local_.clear();
  local_groups_.clear();
  if (result == IDeltaSink::kWhole) DeleteProgress(*disk_, source_.pending);
  if (sink_) sink_->OnDeltaEnd(result);
}

bool DeltaBuild::OnDataInformation(uint64_t, const std::wstring&, const std::wstring&) {
  if (state_ != State::kPrefix) return true;
  // A range from where the bytes so far end, or the whole index from its
  // start.
  const bool fits = index_request_.status_code() == 206
                        ? index_request_.range_start() == static_cast<int64_t>(index_bytes_.size())
                        : index_bytes_.empty();
  if (!fits) End(IDeltaSink::kWhole, texts::kDeltaReasonFormat);
  return true;
}

bool DeltaBuild::OnDownLoadData(const char* data, uint32_t count) {
  if (state_ != State::kPrefix) return true;
  if (index_bytes_.size() + count > index_limit_) {
    End(IDeltaSink::kWhole, texts::kDeltaReasonFormat);
    return true;
  }
  index_bytes_.append(data, count);
  index_fetched_ += count;
  if (sink_) sink_->OnDeltaBytes(count);
  return true;
}

bool DeltaBuild::OnDownLoadStatus(int status) {
  if (status == kDownLoadComplete && state_ == State::kPrefix) TakePrefix();
  return true;
}

bool DeltaBuild::OnDownLoadError(int) {
  if (state_ != State::kPrefix) return true;
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

bool DeltaBuild::PrefixUsable() {
  platform::Sha256 sha;
  sha.Update(index_bytes_.data(), static_cast<size_t>(prefix_size_));
  uint8_t digest[platform::kSha256Size];
  if (!sha.Final(digest) ||
      !platform::EqualsNoCase(platform::FromAnsi(ToHex(digest, sizeof(digest))), source_.index_sha256)) {
    note_ = texts::kDeltaReasonDigest;
    return false;
  }
  if (index_.file_length != source_.length) {
    note_ = texts::kDeltaReasonFormat;
    return false;
  }
  return true;
}

void DeltaBuild::TakePrefix() {
  if (!ParseChunkIndexPrefix(index_bytes_, &index_, &prefix_size_) || prefix_size_ > index_limit_) {
    End(IDeltaSink::kWhole, texts::kDeltaReasonFormat);
    return;
  }
  if (prefix_size_ > index_bytes_.size()) {
    if (index_bytes_.size() == prefix_asked_from_) {
      End(IDeltaSink::kWhole, texts::kDeltaReasonFormat);
      return;
    }
    // A short answer, or a table longer than the first guess: the rest.
    if (!AskPrefix(index_bytes_.size(), prefix_size_ - 1)) End(IDeltaSink::kFailed);
    return;
  }
  if (!PrefixUsable()) {
    End(IDeltaSink::kWhole);
    return;
  }
  if (disk_->Exists(source_.target) && !ChunkLocalFile(*disk_, source_.target, index_.params, &local_)) {
    End(IDeltaSink::kWhole, texts::kDeltaReasonLocal);
    return;
  }
  // Whole sections and groups the local copy has need no entries.
  const std::vector<ChunkGroup> local_groups = GroupChunks(local_, index_.group_average);
  std::unordered_map<std::string, uint64_t> local_sections;
  for (const ChunkSection& section : GroupSections(local_groups, index_.section_average)) {
    local_sections.emplace(Key(section.digest, section.length), section.offset);
  }
  for (const ChunkGroup& group : local_groups) local_groups_.emplace(Key(group.digest, group.length), group.offset);
  std::vector<ByteRange> wanted;
  section_plans_.assign(index_.sections.size(), GroupPlan());
  for (size_t k = 0; k < index_.sections.size(); ++k) {
    const ChunkSection& section = index_.sections[k];
    auto hit = local_sections.find(Key(section.digest, section.length));
    if (hit != local_sections.end()) {
      section_plans_[k].local = true;
      section_plans_[k].local_offset = hit->second;
      continue;
    }
    Want(&wanted, SectionEntriesAt(index_, section), uint64_t{section.groups} * kChunkGroupEntrySize);
  }
  // A server that sent the whole index has sent the entries too.
  const uint64_t index_size = ChunkIndexSize(index_);
  if (index_bytes_.size() >= index_size) {
    entry_bytes_ = &index_bytes_;
    TakeGroups();
    return;
  }
  auto entries = std::make_unique<MemoryFile>(index_size);
  entry_bytes_ = entries->bytes();
  entries_ = std::move(entries);
  state_ = State::kGroups;
  if (wanted.empty()) {
    TakeGroups();
    return;
  }
  if (!fetch_.Start(source_.index_url, wanted, index_size, entries_.get(), this)) {
    End(IDeltaSink::kWhole, texts::kDeltaReasonFormat);
  }
}

void DeltaBuild::TakeGroups() {
  std::vector<ByteRange> wanted;
  group_plans_.assign(static_cast<size_t>(index_.group_count), GroupPlan());
  for (size_t k = 0; k < index_.sections.size(); ++k) {
    if (section_plans_[k].local) continue;
    const ChunkSection& section = index_.sections[k];
    if (!ParseSectionGroups(&index_, section, entry_bytes_->data() + SectionEntriesAt(index_, section),
                            section.groups * kChunkGroupEntrySize)) {
      End(IDeltaSink::kWhole, texts::kDeltaReasonDigest);
      return;
    }
    for (uint64_t g = section.first_group; g < section.first_group + section.groups; ++g) {
      const ChunkGroup& group = index_.groups[static_cast<size_t>(g)];
      auto hit = local_groups_.find(Key(group.digest, group.length));
      if (hit != local_groups_.end()) {
        group_plans_[static_cast<size_t>(g)].local = true;
        group_plans_[static_cast<size_t>(g)].local_offset = hit->second;
        continue;
      }
      Want(&wanted, GroupEntriesAt(index_, group), uint64_t{group.chunks} * kChunkEntrySize);
    }
  }
  local_groups_.clear();
  state_ = State::kEntries;
  if (wanted.empty() || entry_bytes_ == &index_bytes_) {
    Build();
    return;
  }
  if (!fetch_.Start(source_.index_url, wanted, ChunkIndexSize(index_), entries_.get(), this)) {
    End(IDeltaSink::kWhole, texts::kDeltaReasonFormat);
  }
}

bool DeltaBuild::InPlace(platform::DiskFile* copy, const Chunk& chunk) {
  if (!copy || !copy->Seek(chunk.offset)) return false;
  platform::Sha256 sha;
  uint32_t left = chunk.length;
  while (left > 0) {
    const long n = copy->Read(buffer_.data(), std::min<size_t>(left, buffer_.size()));
    if (n <= 0) return false;
    sha.Update(buffer_.data(), static_cast<size_t>(n));
    left -= static_cast<uint32_t>(n);
  }
  uint8_t digest[platform::kSha256Size];
  return sha.Final(digest) && memcmp(digest, chunk.digest, kChunkDigestSize) == 0;
}

bool DeltaBuild::CopyLocal(uint64_t from, uint64_t to, uint64_t length, platform::DiskFile* source) {
  // What the system cannot copy (another file system, an error) goes
  // through the buffer, where a failure is told apart by side.
  const uint64_t copied = file_->CopyInSystem(source, from, to, length);
  from += copied;
  to += copied;
  length -= copied;
  if (length == 0) return true;
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
  buffer_.resize(kCopyBuffer);
  std::unordered_map<std::string, uint64_t> found;
  found.reserve(local_.size());
  for (const Chunk& chunk : local_) found.emplace(Key(chunk.digest, chunk.length), chunk.offset);
  local_.clear();
  std::unique_ptr<platform::DiskFile> source;
  const auto local = [](const GroupPlan& p) { return p.local; };
  if (!found.empty() || std::any_of(section_plans_.begin(), section_plans_.end(), local) ||
      std::any_of(group_plans_.begin(), group_plans_.end(), local)) {
    if (!(source = disk_->Open(source_.target, platform::File::kRead))) {
      End(IDeltaSink::kWhole, texts::kDeltaReasonLocal);
      return;
    }
  }
  // A copy left by a build of this index keeps the chunks that check out.
  std::unique_ptr<platform::DiskFile> copy;
  uint64_t size = 0;
  if (source_.resume && disk_->GetSize(source_.pending, &size) && size == source_.length) {
    copy = disk_->Open(source_.pending, platform::File::kRead);
  }
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

  std::vector<ByteRange> ranges;
  // Runs that lie one after the other in both files are copied in one go.
  uint64_t run_from = 0, run_to = 0, run_length = 0;
  bool ok = true;
  auto take_local = [&](uint64_t from, uint64_t to, uint64_t length) {
    reused_ += length;
    if (run_length > 0 && run_from + run_length == from && run_to + run_length == to) {
      run_length += length;
      return;
    }
    ok = ok && (run_length == 0 || CopyLocal(run_from, run_to, run_length, source.get()));
    run_from = from;
    run_to = to;
    run_length = length;
  };
  std::vector<Chunk> entries;
  // False when the group's entries do not check out.
  auto plan_group = [&](const ChunkGroup& group, const GroupPlan& plan) {
    if (plan.local) {
      take_local(plan.local_offset, group.offset, group.length);
      return true;
    }
    entries.clear();
    if (!ParseGroupEntries(index_, group, entry_bytes_->data() + GroupEntriesAt(index_, group),
                           group.chunks * kChunkEntrySize, &entries)) {
      return false;
    }
    for (const Chunk& chunk : entries) {
      if (copy && InPlace(copy.get(), chunk)) {
        reused_ += chunk.length;
        continue;
      }
      auto hit = found.find(Key(chunk.digest, chunk.length));
      if (hit != found.end()) {
        take_local(hit->second, chunk.offset, chunk.length);
        continue;
      }
      to_fetch_ += chunk.length;
      Want(&ranges, chunk.offset, chunk.length);
    }
    return true;
  };
  for (size_t k = 0; ok && k < index_.sections.size(); ++k) {
    const ChunkSection& section = index_.sections[k];
    if (section_plans_[k].local) {
      take_local(section_plans_[k].local_offset, section.offset, section.length);
      continue;
    }
    for (size_t g = static_cast<size_t>(section.first_group); ok && g < section.first_group + section.groups; ++g) {
      if (!plan_group(index_.groups[g], group_plans_[g])) {
        End(IDeltaSink::kWhole, texts::kDeltaReasonDigest);
        return;
      }
    }
  }
  ok = ok && (run_length == 0 || CopyLocal(run_from, run_to, run_length, source.get()));
  entries_.reset();
  index_bytes_.clear();
  if (!ok) {
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
  if (state_ == State::kGroups || state_ == State::kEntries) index_fetched_ += count;
  if (sink_) sink_->OnDeltaBytes(count);
}

void DeltaBuild::OnRangesEnd(IRangeFetchSink::Result result) {
  if (state_ == State::kGroups || state_ == State::kEntries) {
    if (result == kRangesDone && state_ == State::kGroups) TakeGroups();
    else if (result == kRangesDone) Build();
    else if (result == kRangesRefused) End(IDeltaSink::kWhole, texts::kDeltaReasonRanges);
    else End(IDeltaSink::kFailed);
    return;
  }
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
