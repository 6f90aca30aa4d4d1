#pragma once
// Builds the pending copy of an update file from its chunk index: the
// chunks the local copy (the installed file) still has are copied, the
// rest is fetched as byte ranges. Of the index only the header, the section
// table, the group entries of the sections and the chunk entries of the
// groups the local copy lacks are fetched. A pending copy left by an
// earlier build of the same index keeps every chunk that already checks out
// in place.
//
// The index is used only when its prefix's SHA-256 is the manifest's, each
// table fetched matches the digest above it, and it describes a file of the
// manifest's length. Whatever is wrong with it,
// or with the server's ranges, ends the build with kWhole: the caller
// fetches the file as a whole instead. The finished copy is checked as a
// whole by the installer, as any other.
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "delta/chunk_index.h"
#include "net/download.h"
#include "net/multi_range_fetch.h"
#include "platform/disk.h"

class IDeltaSink {
 public:
  enum Result {
    kBuilt,   // the pending copy holds the whole new file
    kWhole,   // the file is to be fetched whole; note() says why
    kFailed,  // the transfer or the disk failed: the copy is kept for later
  };
  // |count| more bytes came from the server (index or ranges).
  virtual void OnDeltaBytes(uint32_t count) = 0;
  virtual void OnDeltaEnd(Result result) = 0;

 protected:
  ~IDeltaSink() = default;
};

struct DeltaSource {
  std::wstring file_url;
  std::wstring index_url;
  std::wstring index_sha256;  // hexadecimal, from the manifest
  std::wstring target;        // the installed file, chunked when it exists
  std::wstring pending;       // the copy to build
  uint64_t length = 0;        // of the new file, from the manifest
  bool resume = false;        // |pending| was left by a build of this index
};

class DeltaBuild : public IDownLoadSink, public IRangeFetchSink {
 public:
  static constexpr size_t kCopyBuffer = 1 << 20;

  DeltaBuild() = default;
  DeltaBuild(const DeltaBuild&) = delete;
  DeltaBuild& operator=(const DeltaBuild&) = delete;

  // Starts with the index; false when no request could be started.
  bool Start(const DeltaSource& source, platform::Disk* disk, IDeltaSink* sink);
  // Stops; the pending copy and its record stay for a later build.
  void Stop();

  // Known once the plan is made (index_bytes() counts as they come).
  uint64_t index_bytes() const { return index_fetched_; }
  uint64_t reused() const { return reused_; }
  uint64_t to_fetch() const { return to_fetch_; }
  unsigned range_requests() const { return fetch_.requests(); }
  // Why the build ended with kWhole or kFailed.
  const std::wstring& note() const { return note_; }
  const std::wstring& failure_note() const { return failure_note_; }
  uint32_t write_failure() const { return write_failure_; }

  bool OnDownLoadError(int code) override;
  bool OnDownLoadStatus(int status) override;
  bool OnDownLoadData(const char* data, uint32_t count) override;
  bool OnDataInformation(uint64_t length, const std::wstring& entityTag, const std::wstring& path) override;
  void OnRangeBytes(uint32_t count) override;
  void OnRangesEnd(Result result) override;

 private:
  enum class State {
    kIdle,     // not started, stopped or ended
    kPrefix,   // the index's header and section table are under way
    kGroups,   // the group entries of the sections the local copy lacks
    kEntries,  // the chunk entries of the groups the local copy lacks
    kRanges,   // the local chunks are in; the missing ones are under way
  };
  // A section or group of the new file, and where its bytes come from.
  struct GroupPlan {
    bool local = false;         // the local copy has the whole group
    uint64_t local_offset = 0;  // where, when local
  };
  void End(IDeltaSink::Result result, const wchar_t* reason = nullptr);
  bool AskPrefix(uint64_t from, uint64_t to);
  // Checks and reads the prefix, chunks the local copy and asks for the
  // group entries of the sections it lacks.
  void TakePrefix();
  // Checks and reads those, and asks for the chunk entries of the groups
  // the local copy lacks.
  void TakeGroups();
  // Places the local chunks and starts the ranges.
  void Build();
  bool PrefixUsable();
  // Whether the pending copy already holds |chunk| where it belongs.
  bool InPlace(platform::DiskFile* copy, const Chunk& chunk);
  bool CopyLocal(uint64_t from, uint64_t to, uint64_t length, platform::DiskFile* source);

  State state_ = State::kIdle;
  ChunkIndex index_;
  std::vector<GroupPlan> section_plans_;
  std::vector<GroupPlan> group_plans_;
  std::vector<Chunk> local_;  // of the installed file
  // Where each group of the installed file stands, by digest and length.
  std::unordered_map<std::string, uint64_t> local_groups_;
  // The index's entries as fetched, at their offsets in the index.
  std::unique_ptr<platform::DiskFile> entries_;
  std::string* entry_bytes_ = nullptr;
  uint64_t prefix_size_ = 0;
  uint64_t index_fetched_ = 0;
  DeltaSource source_;
  platform::Disk* disk_ = nullptr;
  IDeltaSink* sink_ = nullptr;
  CDownLoad index_request_;
  std::string index_bytes_;
  // Where the last request for the prefix started: one that brought
  // nothing would be asked again and again.
  uint64_t prefix_asked_from_ = 0;
  uint64_t index_limit_ = 0;
  CMultiRangeFetch fetch_;
  std::unique_ptr<platform::DiskFile> file_;
  std::vector<char> buffer_;
  uint64_t reused_ = 0;
  uint64_t to_fetch_ = 0;
  std::wstring note_;
  std::wstring failure_note_;
  uint32_t write_failure_ = 0;
};
