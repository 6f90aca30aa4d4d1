#include "net/range_digest.h"

#include <algorithm>
#include <system_error>
#include <vector>

#include "digest/hex.h"
#include "platform/signature.h"
#include "platform/text.h"

namespace {

constexpr size_t kReadChunk = 256 * 1024;
constexpr size_t kSpareBlock = 64 * 1024;

}  // namespace

RangeDigest::RangeDigest(bool sha256) {
  if (sha256) sha_.reset(new platform::Sha256);
  try {
    thread_ = std::thread(&RangeDigest::Work, this);
  } catch (const std::system_error&) {
    // No thread to be had: the caller's thread hashes, as it goes.
  }
}

RangeDigest::~RangeDigest() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  work_.notify_one();
  thread_.join();
}

void RangeDigest::Hash(const void* data, size_t size) {
  if (thread_.joinable()) {
    HashOnThread(static_cast<const char*>(data), size);
  } else {
    Update(data, size);
  }
  frontier_ += size;
}

void RangeDigest::Update(const void* data, size_t size) {
  md5_.MD5Update(static_cast<const unsigned char*>(data), static_cast<uint32_t>(size));
  if (sha_) sha_->Update(data, size);
}

void RangeDigest::HashOnThread(const char* data, size_t size) {
  std::unique_lock<std::mutex> hold(lock_);
  // A full queue holds the caller back until the thread catches up; a
  // block bigger than the whole queue waits for an empty one.
  room_.wait(hold, [&] { return queued_ == 0 || queued_ + size <= kQueueLimit; });
  std::vector<char> block;
  if (!spare_.empty()) {
    block = std::move(spare_.back());
    spare_.pop_back();
  }
  block.assign(data, data + size);
  queue_.push_back(std::move(block));
  queued_ += size;
  hold.unlock();
  work_.notify_one();
}

void RangeDigest::Work() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    work_.wait(hold, [&] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    std::vector<char> block = std::move(queue_.front());
    queue_.pop_front();
    hold.unlock();
    Update(block.data(), block.size());
    hold.lock();
    queued_ -= block.size();
    // A few write-sized blocks are kept for reuse; bigger ones (of a read
    // back) go, so that what is kept stays small besides the queue.
    if (spare_.size() < 8 && block.capacity() <= kSpareBlock) spare_.push_back(std::move(block));
    room_.notify_one();
  }
}

void RangeDigest::Written(uint64_t offset, const void* data, size_t size) {
  if (failed_ || offset > frontier_ || offset + size <= frontier_) return;
  const size_t skip = static_cast<size_t>(frontier_ - offset);
  Hash(static_cast<const char*>(data) + skip, size - skip);
}

bool RangeDigest::ReadBack(platform::DiskFile* file, uint64_t until, uint64_t budget) {
  if (failed_) return false;
  if (until <= frontier_) return true;
  if (!file->Seek(frontier_)) {
    failed_ = true;
    return false;
  }
  std::vector<char> buffer(static_cast<size_t>(std::min<uint64_t>(kReadChunk, until - frontier_)));
  while (frontier_ < until && budget > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>({buffer.size(), until - frontier_, budget}));
    const long got = file->Read(buffer.data(), want);
    if (got <= 0) {
      failed_ = true;
      return false;
    }
    Hash(buffer.data(), static_cast<size_t>(got));
    budget -= static_cast<uint64_t>(got);
  }
  return true;
}

bool RangeDigest::Finish(uint64_t length, std::wstring* md5, std::wstring* sha256) {
  if (failed_ || frontier_ != length) return false;
  {
    // The digests are the thread's until the queue is empty.
    std::unique_lock<std::mutex> hold(lock_);
    room_.wait(hold, [&] { return queued_ == 0; });
  }
  unsigned char md5_digest[16];
  md5_.MD5Final(md5_digest);
  sha256->clear();
  if (sha_) {
    uint8_t sha_digest[platform::kSha256Size];
    if (!sha_->Final(sha_digest)) return false;
    *sha256 = platform::FromAnsi(ToHex(sha_digest, sizeof(sha_digest)));
  }
  *md5 = platform::FromAnsi(ToHex(md5_digest, sizeof(md5_digest)));
  failed_ = true;  // the contexts are spent
  return true;
}
