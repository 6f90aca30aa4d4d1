// The digests of a file whose ranges arrive out of order, taken on the
// hashing thread: whatever the order and the block sizes, they are the
// digests of the whole file, and a copy left half-way is let go cleanly.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "digest/hex.h"
#include "digest/md5.h"
#include "net/range_digest.h"
#include "platform/disk.h"
#include "platform/signature.h"
#include "platform/text.h"
#include "support/temp_dir.h"

namespace {

std::vector<char> RandomBytes(size_t size) {
  std::mt19937 gen(7);
  std::vector<char> bytes(size);
  for (char& c : bytes) c = static_cast<char>(gen());
  return bytes;
}

std::wstring Md5Of(const std::vector<char>& bytes) {
  MD5_CTX md5;
  md5.MD5Update(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
  unsigned char digest[16];
  md5.MD5Final(digest);
  return platform::FromAnsi(ToHex(digest, sizeof(digest)));
}

std::wstring Sha256Of(const std::vector<char>& bytes) {
  platform::Sha256 sha;
  sha.Update(bytes.data(), bytes.size());
  uint8_t digest[platform::kSha256Size];
  EXPECT_TRUE(sha.Final(digest));
  return platform::FromAnsi(ToHex(digest, sizeof(digest)));
}

// Hands |bytes| from |from| to |to| to |digest| in blocks of |block|.
void Write(RangeDigest* digest, const std::vector<char>& bytes, size_t from, size_t to, size_t block) {
  for (size_t at = from; at < to; at += block) digest->Written(at, bytes.data() + at, std::min(block, to - at));
}

class RangeDigestTest : public testing::Test {
 protected:
  // Three times the queue, so the caller waits for the thread again and again.
  RangeDigestTest() : bytes_(RandomBytes(3 * RangeDigest::kQueueLimit + 12345)) {}
  std::unique_ptr<platform::DiskFile> OnDisk() {
    const std::wstring path = dir_.WFile("copy");
    std::unique_ptr<platform::DiskFile> file = platform::RealDisk().Open(path, platform::File::kCreateTruncate);
    EXPECT_TRUE(file && file->Write(bytes_.data(), bytes_.size()) && file->Close());
    return platform::RealDisk().Open(path, platform::File::kRead);
  }
  TempDir dir_;
  std::vector<char> bytes_;
};

}  // namespace

TEST_F(RangeDigestTest, RangesInAnyOrderAndBlocksOfAnySizeGiveTheWholeFilesDigests) {
  const size_t size = bytes_.size();
  const size_t middle = size / 2 + 1;
  for (size_t block : {size_t{1000}, size_t{64} << 10, RangeDigest::kQueueLimit + 1}) {
    SCOPED_TRACE(block);
    RangeDigest digest(true);
    std::unique_ptr<platform::DiskFile> file = OnDisk();
    // The second range first: ahead of the frontier, it is read back later.
    Write(&digest, bytes_, middle, size, block);
    EXPECT_EQ(digest.frontier(), 0u);
    Write(&digest, bytes_, 0, middle, block);
    EXPECT_EQ(digest.frontier(), middle);
    std::wstring md5, sha256;
    EXPECT_FALSE(digest.Finish(size, &md5, &sha256));
    // A budget takes the read-back in steps.
    ASSERT_TRUE(digest.ReadBack(file.get(), size, 1 << 20));
    EXPECT_EQ(digest.frontier(), middle + (1 << 20));
    ASSERT_TRUE(digest.ReadBack(file.get(), size, UINT64_MAX));
    // Bytes the frontier has passed change nothing when they come again.
    Write(&digest, bytes_, size - 100, size, block);
    ASSERT_TRUE(digest.Finish(size, &md5, &sha256));
    EXPECT_EQ(md5, Md5Of(bytes_));
    EXPECT_EQ(sha256, Sha256Of(bytes_));
    // The contexts are spent.
    EXPECT_FALSE(digest.Finish(size, &md5, &sha256));
  }
}

TEST_F(RangeDigestTest, WithoutSha256OnlyTheMd5IsTakenAndACopyLeftHalfWayIsLetGo) {
  {
    RangeDigest digest(false);
    Write(&digest, bytes_, 0, bytes_.size(), 64 << 10);
    std::wstring md5, sha256 = L"stale";
    ASSERT_TRUE(digest.Finish(bytes_.size(), &md5, &sha256));
    EXPECT_EQ(md5, Md5Of(bytes_));
    EXPECT_TRUE(sha256.empty());
  }
  // Blocks still queued when the job stops go with it.
  for (int i = 0; i < 20; ++i) {
    RangeDigest digest(true);
    Write(&digest, bytes_, 0, bytes_.size() / 2, 256 << 10);
  }
}

TEST_F(RangeDigestTest, AFailedReadLosesTheDigests) {
  RangeDigest digest(false);
  std::unique_ptr<platform::DiskFile> file = OnDisk();
  // The copy on disk is shorter than the read asks for.
  ASSERT_TRUE(file->Seek(0));
  EXPECT_FALSE(digest.ReadBack(file.get(), bytes_.size() + 1, UINT64_MAX));
  std::wstring md5, sha256;
  EXPECT_FALSE(digest.Finish(bytes_.size(), &md5, &sha256));
}
