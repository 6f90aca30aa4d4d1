#pragma once
// Fetches a list of byte ranges of one file into the file its owner opened
// at full length, several ranges to a request while the server answers
// with multipart/byteranges, and one range to a request once it answers a
// list with a single part or with the whole file. Bytes land at their own
// offsets; a part the server sends that was not asked for is dropped.
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "net/download.h"
#include "net/multipart.h"
#include "platform/disk.h"

struct ByteRange {
  uint64_t first = 0;
  uint64_t last = 0;  // inclusive
  uint64_t size() const { return last - first + 1; }
};

class IRangeFetchSink {
 public:
  enum Result {
    kRangesDone,     // every range is in the file
    kRangesRefused,  // the server does not serve ranges of this file
    kRangesFailed,   // the transfer or a write failed
  };
  // |count| more bytes of the ranges are in the file.
  virtual void OnRangeBytes(uint32_t count) = 0;
  // Once per Start; the fetch is idle when this is called.
  virtual void OnRangesEnd(Result result) = 0;

 protected:
  ~IRangeFetchSink() = default;
};

class CMultiRangeFetch : public IDownLoadSink {
 public:
  // A request asks for at most this many ranges, and its Range line stays
  // below kMaxRangeLine bytes (servers cap header lines at a few KiB).
  static constexpr size_t kMaxRangesPerRequest = 200;
  static constexpr size_t kMaxRangeLine = 4000;
  // Answers in a row that bring nothing asked for end the fetch.
  static constexpr int kMaxFruitless = 3;

  CMultiRangeFetch() = default;
  CMultiRangeFetch(const CMultiRangeFetch&) = delete;
  CMultiRangeFetch& operator=(const CMultiRangeFetch&) = delete;

  // |ranges| sorted, disjoint, inside a file of |file_length| bytes.
  // |file| stays open until the fetch has ended or stopped.
  bool Start(const std::wstring& url, const std::vector<ByteRange>& ranges, uint64_t file_length,
             platform::DiskFile* file, IRangeFetchSink* owner);
  void Stop();
  bool IsIdle() const { return !active_; }
  // Requests sent in this fetch, and whether the server took lists.
  unsigned requests() const { return requests_; }
  bool single_ranges() const { return single_; }
  int last_status() const { return request_.last_status(); }
  const std::wstring& failure_note() const { return request_.failure_note(); }
  uint32_t write_failure() const { return write_failure_; }

  bool OnDownLoadError(int code) override;
  bool OnDownLoadStatus(int status) override;
  bool OnDownLoadData(const char* data, uint32_t count) override;
  bool OnDataInformation(uint64_t length, const std::wstring& entityTag, const std::wstring& path) override;

 private:
  struct InFlight {
    ByteRange range;
    uint64_t got = 0;  // bytes from its first that are in the file
  };
  void SendNext();
  // Puts the in-flight ranges' missing bytes back at the front of the list.
  void Requeue();
  // Writes the bytes of the in-flight ranges that |data| at |offset|
  // carries; false when a write failed.
  bool Take(uint64_t offset, const char* data, size_t size);
  void End(IRangeFetchSink::Result result);

  CDownLoad request_;
  std::wstring url_;
  uint64_t file_length_ = 0;
  platform::DiskFile* file_ = nullptr;
  IRangeFetchSink* owner_ = nullptr;
  std::deque<ByteRange> pending_;
  std::vector<InFlight> in_flight_;
  std::unique_ptr<MultipartReader> multipart_;
  // Of a single-part answer: the file offset of its next byte.
  uint64_t single_next_ = 0;
  bool whole_file_ = false;  // the answer is a 200 being dropped
  bool active_ = false;
  bool single_ = false;
  std::string validator_;
  unsigned requests_ = 0;
  uint64_t taken_this_answer_ = 0;
  int fruitless_ = 0;
  uint32_t write_failure_ = 0;
};
