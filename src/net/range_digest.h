#pragma once
// The digests of a file fetched in ranges, taken while its bytes arrive.
// A frontier runs from the first byte on: bytes written right at it are
// hashed from memory as they go to the file; when it reaches bytes that
// another range wrote earlier, those are read back (still in the page
// cache, as a rule) and it goes on from there. Every byte before the
// frontier has been hashed once, in file order, so a file whose frontier
// reached its end needs no read after its last byte.
//
// The hashing itself runs on a thread of its own, so that a big file's
// digests cost the loop none of its time: bytes at the frontier are copied
// to a bounded queue, and the loop waits only when the queue is full. The
// thread touches nothing but the queue and the digests; every read and
// write of the file stays with the caller.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "digest/md5.h"
#include "platform/disk.h"

namespace platform {
class Sha256;
}

class RangeDigest {
 public:
  // With |sha256| the SHA-256 is taken besides the MD5.
  explicit RangeDigest(bool sha256);
  ~RangeDigest();
  RangeDigest(const RangeDigest&) = delete;
  RangeDigest& operator=(const RangeDigest&) = delete;

  uint64_t frontier() const { return frontier_; }
  // Bytes |offset| .. |offset| + |size| have reached the file.
  void Written(uint64_t offset, const void* data, size_t size);
  // Hashes the bytes from the frontier up to |until| (all of them on disk),
  // reading them from |file|, at most |budget| of them. False when a read
  // fails: the digests are lost then.
  bool ReadBack(platform::DiskFile* file, uint64_t until, uint64_t budget);
  // The digests in lower-case hexadecimal (the SHA-256 empty when not
  // taken), once every byte handed over has been hashed; false unless the
  // frontier is at |length|.
  bool Finish(uint64_t length, std::wstring* md5, std::wstring* sha256);

  // Bytes waiting for the hashing thread at most.
  static constexpr size_t kQueueLimit = 1u << 20;

 private:
  void Hash(const void* data, size_t size);
  void HashOnThread(const char* data, size_t size);
  // Both digests take the bytes.
  void Update(const void* data, size_t size);
  void Work();

  MD5_CTX md5_;
  std::unique_ptr<platform::Sha256> sha_;
  // Of the caller's thread.
  uint64_t frontier_ = 0;
  bool failed_ = false;

  // Shared with the hashing thread, under |lock_|.
  std::mutex lock_;
  std::condition_variable work_;   // something queued, or the end
  std::condition_variable room_;   // bytes hashed
  std::deque<std::vector<char>> queue_;
  std::vector<std::vector<char>> spare_;
  size_t queued_ = 0;   // bytes in |queue_| and in the thread's hands
  bool stopping_ = false;
  std::thread thread_;  // not joinable: the caller hashes
};
