#include "delta/chunker.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/signature.h"
#include "support/temp_dir.h"

namespace {

const ChunkParams kSmall{1024, 4096, 16384};

// Bytes from a generator of our own, so the expected cut points below hold
// whatever the C library's rand().
std::string XorShiftBytes(size_t size, uint64_t seed) {
  std::string data(size, '\0');
  for (char& c : data) {
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    c = static_cast<char>(seed >> 32);
  }
  return data;
}

std::vector<Chunk> ChunksOf(const std::string& data, const ChunkParams& params, size_t piece) {
  Chunker chunker(params);
  std::vector<Chunk> chunks;
  for (size_t at = 0; at < data.size(); at += piece) {
    EXPECT_TRUE(chunker.Feed(data.data() + at, std::min(piece, data.size() - at), &chunks));
  }
  EXPECT_TRUE(chunker.Finish(&chunks));
  return chunks;
}

std::set<std::string> Digests(const std::vector<Chunk>& chunks) {
  std::set<std::string> out;
  for (const Chunk& c : chunks) out.insert(std::string(reinterpret_cast<const char*>(c.digest), kChunkDigestSize));
  return out;
}

// Chunks of |after| whose digest |before| does not have.
size_t NewChunks(const std::vector<Chunk>& before, const std::vector<Chunk>& after) {
  std::set<std::string> old = Digests(before);
  size_t fresh = 0;
  for (const Chunk& c : after) {
    if (!old.count(std::string(reinterpret_cast<const char*>(c.digest), kChunkDigestSize))) ++fresh;
  }
  return fresh;
}

}  // namespace

TEST(Chunker, CutPointsAreFixedAndIndependentOfHowTheBytesArrive) {
  const std::string data = XorShiftBytes(1 << 18, 88172645463325252ull);
  const std::vector<Chunk> whole = ChunksOf(data, kSmall, data.size());
  // The cut points are part of the index format: clients chunk their local
  // copies and must find the publisher's chunks.
  const std::vector<uint64_t> expected_first = {5240, 11350, 15340, 19082, 23499, 28687, 34029, 39281};
  std::vector<uint64_t> first;
  for (size_t i = 0; i < whole.size() && i < 8; ++i) first.push_back(whole[i].offset + whole[i].length);
  EXPECT_EQ(first, expected_first);
  for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}, size_t{65537}}) {
    const std::vector<Chunk> pieces = ChunksOf(data, kSmall, piece);
    ASSERT_EQ(pieces.size(), whole.size()) << piece;
    for (size_t i = 0; i < whole.size(); ++i) {
      EXPECT_EQ(pieces[i].offset, whole[i].offset);
      EXPECT_EQ(pieces[i].length, whole[i].length);
      EXPECT_EQ(memcmp(pieces[i].digest, whole[i].digest, kChunkDigestSize), 0);
    }
  }
}

TEST(Chunker, ChunksCoverTheStreamWithinTheSizeBoundsAndCarryTheirSha256) {
  const std::string data = RandomBytes(3 << 20, 5);
  const std::vector<Chunk> chunks = ChunksOf(data, kSmall, 10000);
  uint64_t offset = 0;
  for (size_t i = 0; i < chunks.size(); ++i) {
    const Chunk& c = chunks[i];
    ASSERT_EQ(c.offset, offset);
    EXPECT_LE(c.length, kSmall.max);
    if (i + 1 < chunks.size()) {
      EXPECT_GE(c.length, kSmall.min);
    }
    platform::Sha256 sha;
    sha.Update(data.data() + c.offset, c.length);
    uint8_t digest[platform::kSha256Size];
    ASSERT_TRUE(sha.Final(digest));
    EXPECT_EQ(memcmp(c.digest, digest, kChunkDigestSize), 0);
    offset += c.length;
  }
  EXPECT_EQ(offset, data.size());
  // Normalised chunking keeps the mean near avg.
  const double mean = static_cast<double>(data.size()) / chunks.size();
  EXPECT_GT(mean, kSmall.avg * 0.75);
  EXPECT_LT(mean, kSmall.avg * 1.5);
}

TEST(Chunker, UniformBytesAreCutAtTheMaximumAndAnEmptyStreamHasNoChunks) {
  const std::vector<Chunk> zeros = ChunksOf(std::string(1 << 20, '\0'), kSmall, 1 << 20);
  ASSERT_EQ(zeros.size(), (1u << 20) / kSmall.max);
  for (const Chunk& c : zeros) EXPECT_EQ(c.length, kSmall.max);

  Chunker chunker(kSmall);
  std::vector<Chunk> none;
  EXPECT_TRUE(chunker.Finish(&none));
  EXPECT_TRUE(none.empty());
  // A finished chunker starts a new stream at offset 0.
  EXPECT_TRUE(chunker.Feed("abc", 3, &none));
  EXPECT_TRUE(chunker.Finish(&none));
  ASSERT_EQ(none.size(), 1u);
  EXPECT_EQ(none[0].offset, 0u);
  EXPECT_EQ(none[0].length, 3u);
}

TEST(Chunker, AnInsertionOrDeletionChangesOnlyTheChunksAroundIt) {
  const std::string v1 = RandomBytes(4 << 20, 11);
  const std::vector<Chunk> before = ChunksOf(v1, kSmall, 1 << 16);
  std::string inserted = v1;
  inserted.insert(2 << 20, RandomBytes(100, 12));
  EXPECT_LE(NewChunks(before, ChunksOf(inserted, kSmall, 1 << 16)), 2u);
  std::string deleted = v1;
  deleted.erase(1 << 20, 4096);
  EXPECT_LE(NewChunks(before, ChunksOf(deleted, kSmall, 1 << 16)), 2u);
  std::string at_start = RandomBytes(1, 13) + v1;
  EXPECT_LE(NewChunks(before, ChunksOf(at_start, kSmall, 1 << 16)), 1u);
}

TEST(Chunker, ParamsOutsideTheBoundsAreInvalid) {
  EXPECT_TRUE(ValidChunkParams(kSmall));
  EXPECT_FALSE(ValidChunkParams({0, 4096, 16384}));
  EXPECT_FALSE(ValidChunkParams({63, 4096, 16384}));
  EXPECT_FALSE(ValidChunkParams({1024, 3000, 16384}));  // avg not a power of two
  EXPECT_FALSE(ValidChunkParams({4096, 4096, 16384}));
  EXPECT_FALSE(ValidChunkParams({1024, 4096, 4096}));
  EXPECT_FALSE(ValidChunkParams({1024, 4096, kChunkSizeLimit + 1}));
  EXPECT_FALSE(ValidChunkParams({64, 128, 1024}));
}
