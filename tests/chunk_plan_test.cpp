#include "delta/chunk_plan.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/disk.h"
#include "platform/text.h"
#include "support/temp_dir.h"

namespace {

const ChunkParams kParams{1024, 4096, 16384};

std::vector<Chunk> ChunksOf(const std::string& data) {
  Chunker chunker(kParams);
  std::vector<Chunk> chunks;
  EXPECT_TRUE(chunker.Feed(data.data(), data.size(), &chunks));
  EXPECT_TRUE(chunker.Finish(&chunks));
  return chunks;
}

ChunkIndex IndexOf(const std::string& data) {
  ChunkIndex index;
  index.params = kParams;
  index.file_length = data.size();
  index.chunks = ChunksOf(data);
  return index;
}

// Follows |plan| with the local copy and the server's file, checking that
// the pieces cover the new file in order and add up.
std::string Rebuild(const ChunkPlan& plan, const std::string& local, const std::string& remote) {
  std::string out;
  uint64_t reused = 0, fetched = 0;
  for (const PlanPiece& p : plan.pieces) {
    EXPECT_EQ(p.offset, out.size());
    if (p.local) {
      out += local.substr(p.local_offset, p.length);
      reused += p.length;
    } else {
      out += remote.substr(p.offset, p.length);
      fetched += p.length;
    }
  }
  EXPECT_EQ(reused, plan.reused);
  EXPECT_EQ(fetched, plan.to_fetch);
  return out;
}

}  // namespace

TEST(ChunkPlan, AnUnchangedFileIsOneLocalRun) {
  const std::string data = RandomBytes(1 << 20, 21);
  const ChunkPlan plan = BuildChunkPlan(ChunksOf(data), IndexOf(data));
  ASSERT_EQ(plan.pieces.size(), 1u);
  EXPECT_TRUE(plan.pieces[0].local);
  EXPECT_EQ(plan.pieces[0].local_offset, 0u);
  EXPECT_EQ(plan.reused, data.size());
  EXPECT_EQ(plan.to_fetch, 0u);
}

TEST(ChunkPlan, ChangesAreFetchedAndTheRestIsTakenFromTheOldCopy) {
  const std::string v1 = RandomBytes(2 << 20, 22);
  std::string v2 = v1;
  v2.replace(300000, 8192, RandomBytes(8192, 23));  // rewrite
  v2.insert(900000, RandomBytes(1024, 24));         // insertion
  v2.erase(1500000, 4096);                          // deletion
  const ChunkPlan plan = BuildChunkPlan(ChunksOf(v1), IndexOf(v2));
  EXPECT_EQ(Rebuild(plan, v1, v2), v2);
  // Each change costs at most the chunks it touches.
  EXPECT_LE(plan.to_fetch, 8192u + 1024u + 3 * 2 * kParams.max);
  EXPECT_GT(plan.to_fetch, 8192u);
  EXPECT_LE(plan.pieces.size(), 7u);
}

TEST(ChunkPlan, ALocalCopyDamagedInTheMiddleOrCutShortFetchesWhatIsMissing) {
  const std::string good = RandomBytes(1 << 20, 25);
  std::string damaged = good;
  damaged[500000] ^= 0x55;
  ChunkPlan plan = BuildChunkPlan(ChunksOf(damaged), IndexOf(good));
  EXPECT_EQ(Rebuild(plan, damaged, good), good);
  EXPECT_GE(plan.to_fetch, 1u);
  EXPECT_LE(plan.to_fetch, 2 * kParams.max);

  const std::string partial = good.substr(0, 400000);
  plan = BuildChunkPlan(ChunksOf(partial), IndexOf(good));
  EXPECT_EQ(Rebuild(plan, partial, good), good);
  EXPECT_LE(plan.to_fetch, good.size() - 400000 + kParams.max);

  plan = BuildChunkPlan({}, IndexOf(good));
  ASSERT_EQ(plan.pieces.size(), 1u);
  EXPECT_FALSE(plan.pieces[0].local);
  EXPECT_EQ(plan.to_fetch, good.size());
}

TEST(ChunkPlan, LocalFilesAreChunkedFromDisk) {
  TempDir dir;
  const std::string data = RandomBytes(300000, 26);
  WriteFileBytes(dir.File("pack.dat"), data);
  std::vector<Chunk> chunks;
  ASSERT_TRUE(ChunkLocalFile(platform::RealDisk(), dir.WFile("pack.dat"), kParams, &chunks));
  const std::vector<Chunk> expected = ChunksOf(data);
  ASSERT_EQ(chunks.size(), expected.size());
  EXPECT_EQ(chunks.back().offset, expected.back().offset);
  std::vector<Chunk> none;
  EXPECT_FALSE(ChunkLocalFile(platform::RealDisk(), dir.WFile("missing.dat"), kParams, &none));
}
