#include "net/range_digest.h"

#include <algorithm>
#include <vector>

#include "digest/hex.h"
#include "platform/signature.h"
#include "platform/text.h"

namespace {

constexpr size_t kReadChunk = 256 * 1024;

}  // namespace

RangeDigest::RangeDigest(bool sha256) {
  if (sha256) sha_.reset(new platform::Sha256);
}

RangeDigest::~RangeDigest() = default;

void RangeDigest::Hash(const void* data, size_t size) {
  md5_.MD5Update(static_cast<const unsigned char*>(data), static_cast<uint32_t>(size));
  if (sha_) sha_->Update(data, size);
  frontier_ += size;
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
