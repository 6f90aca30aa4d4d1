#pragma once
// One byte range of an update file, fetched with its own request and
// written in place into the file its owner opened at full length.
#include <cstdint>
#include <memory>
#include <string>

#include "net/download.h"
#include "platform/disk.h"

// Hears of the bytes a part puts into the file, as they go there.
class IRangeWrites {
 public:
  virtual void OnRangeWritten(uint64_t offset, const char* data, size_t size) = 0;

 protected:
  ~IRangeWrites() = default;
};

class CRangeDownLoad : public IDownLoadSink {
 public:
  // Bytes gathered before they go to the file.
  static constexpr size_t kWriteBuffer = 64 * 1024;
  // Written bytes are handed to the disk in steps of this size.
  static constexpr uint64_t kWritebackStep = 1 << 20;

  CRangeDownLoad();
  ~CRangeDownLoad();
  CRangeDownLoad(const CRangeDownLoad&) = delete;
  CRangeDownLoad& operator=(const CRangeDownLoad&) = delete;

  // Fetches bytes |firstByte| to |lastByte| (inclusive) of |url|, a file
  // of |fileLength| bytes, into |file| (the owner keeps it open until the
  // part has stopped); false when the request cannot be started. An answer for a file of another length is a failure.
  // With |ifRange| the request asks for the bytes only if the file still
  // matches it (an answer with the whole file means it changed), and then
  // the first |done| bytes count as on disk already: it asks for the rest,
  // and a part with nothing left sends no request at all.
  bool Start(const std::wstring& url, IDownLoadSink* owner, uint64_t firstByte, uint64_t lastByte,
             uint64_t fileLength, platform::DiskFile* file, uint64_t done = 0,
             const std::string& ifRange = std::string());
  // |watcher| (or none) hears of every write to the file that succeeded.
  void SetWriteWatcher(IRangeWrites* watcher) { watcher_ = watcher; }
  // Stops; bytes that arrived are written to the file first.
  bool Stop();
  // Not while the answer's last bytes are still being handed on: the
  // request may be done with its connection before the part is done.
  bool IsIdle() const { return request_.GetState() == CDownLoad::kIdle && !writing_; }
  // Bytes of the range, from its first, that have been written to the file.
  uint64_t written() const { return written_; }
  // The first byte of the range not received yet, while the answer is a
  // range of the file (206); false otherwise, when the range cannot be cut.
  bool NextByte(uint64_t* next) const;
  // The range now ends at |lastByte|, which lies between the next byte
  // and the old end: the part completes there (its connection is closed,
  // the rest of the answer unread).
  void ShortenTo(uint64_t lastByte);
  // Whether half of what this part has left is worth a fresh range: one
  // that would not catch up with this part's pace before the part ends is
  // not. A new connection waits for its answer as long as this one did,
  // then a few times as long while its window grows. Not in the first
  // moments of an answer, before its pace shows.
  bool WorthSplitting(uint64_t now_ms) const;
  // The server answered the resumed request with the whole file: it has
  // changed since the bytes on disk came.
  bool file_changed() const { return file_changed_; }
  // The validator of this part's last accepted response (see CDownLoad).
  const std::string& strong_tag() const { return strong_tag_; }
  const std::string& last_modified() const { return last_modified_; }
  // The status of this part's last response, 0 when none came.
  int last_status() const { return request_.last_status(); }
  const std::wstring& failure_note() const { return request_.failure_note(); }
  // The status of the write to the file that failed this run of the part
  // (see platform::LastErrorStatus), 0 when none did.
  uint32_t write_failure() const { return write_failure_; }

  bool OnDownLoadError(int code) override;
  bool OnDownLoadStatus(int status) override;
  bool OnDownLoadData(const char* data, uint32_t count) override;
  bool OnDataInformation(uint64_t length, const std::wstring& entityTag,
                         const std::wstring& path) override;

 private:
  bool FlushBuffer();
  bool Finish();
  bool Abort(int code);

  IDownLoadSink* owner_ = nullptr;
  IRangeWrites* watcher_ = nullptr;
  CDownLoad request_;
  std::wstring url_;
  platform::DiskFile* file_ = nullptr;
  // Between an accepted answer and the part's end: bytes go to the file.
  bool writing_ = false;
  uint64_t first_byte_ = 0;
  uint64_t last_byte_ = 0;
  uint64_t file_length_ = 0;
  uint64_t written_ = 0;
  bool resuming_ = false;
  bool file_changed_ = false;
  uint32_t write_failure_ = 0;
  std::string strong_tag_;
  std::string last_modified_;
  // Bytes of a whole-file answer that lie before the range, and bytes of
  // the range still to come.
  uint64_t skip_ = 0;
  uint64_t remaining_ = 0;
  // When this run of the part asked and was answered, and what came since.
  uint64_t asked_ms_ = 0;
  uint64_t answered_ms_ = 0;
  uint64_t arrived_ = 0;
  uint64_t buffer_offset_ = 0;
  // Where the bytes not yet handed to the disk begin.
  uint64_t writeback_from_ = 0;
  size_t buffered_ = 0;
  std::unique_ptr<char[]> buffer_;
  uint64_t run_ = 0;
};
