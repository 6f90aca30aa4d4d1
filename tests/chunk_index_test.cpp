#include "delta/chunk_index.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/temp_dir.h"

namespace {

const ChunkParams kParams{1024, 4096, 16384};

ChunkIndex IndexOf(const std::string& data) {
  ChunkIndex index;
  index.params = kParams;
  index.file_length = data.size();
  Chunker chunker(kParams);
  EXPECT_TRUE(chunker.Feed(data.data(), data.size(), &index.chunks));
  EXPECT_TRUE(chunker.Finish(&index.chunks));
  return index;
}

void PutU32At(std::string* bytes, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

void PutU64At(std::string* bytes, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) (*bytes)[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

constexpr size_t kEntry = kChunkEntrySize;

// Where the chunk entries of |bytes| begin: after the header, the section
// table and the group table.
size_t EntriesAt(const std::string& bytes) {
  auto u32 = [&](size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[at + i]);
    return v;
  };
  return kChunkIndexHeaderSize + u32(52) * kChunkSectionEntrySize + u32(44) * kChunkGroupEntrySize;
}

size_t GroupTableSize(const std::string& bytes) {
  uint32_t groups = 0;
  for (int i = 3; i >= 0; --i) groups = (groups << 8) | static_cast<uint8_t>(bytes[44 + i]);
  return groups * kChunkGroupEntrySize;
}

bool Parses(const std::string& bytes) {
  ChunkIndex out;
  return ParseChunkIndex(bytes, &out);
}

}  // namespace

TEST(ChunkIndex, WrittenIndexReadsBackWhateverThePieces) {
  const ChunkIndex written = IndexOf(RandomBytes(200000, 3));
  const std::string bytes = SerializeChunkIndex(written);
  EXPECT_EQ(bytes.size(), EntriesAt(bytes) + kEntry * written.chunks.size());
  for (size_t piece : {size_t{1}, size_t{13}, bytes.size()}) {
    ChunkIndexReader reader;
    for (size_t at = 0; at < bytes.size(); at += piece) {
      ASSERT_TRUE(reader.Feed(bytes.data() + at, std::min(piece, bytes.size() - at)));
    }
    ChunkIndex read;
    ASSERT_TRUE(reader.Finish(&read));
    EXPECT_EQ(read.params.min, kParams.min);
    EXPECT_EQ(read.params.avg, kParams.avg);
    EXPECT_EQ(read.params.max, kParams.max);
    EXPECT_EQ(read.file_length, 200000u);
    ASSERT_EQ(read.chunks.size(), written.chunks.size());
    for (size_t i = 0; i < read.chunks.size(); ++i) {
      EXPECT_EQ(read.chunks[i].offset, written.chunks[i].offset);
      EXPECT_EQ(read.chunks[i].length, written.chunks[i].length);
      EXPECT_EQ(memcmp(read.chunks[i].digest, written.chunks[i].digest, kChunkDigestSize), 0);
    }
  }
  ChunkIndex empty;
  empty.params = kParams;
  ChunkIndex read;
  ASSERT_TRUE(ParseChunkIndex(SerializeChunkIndex(empty), &read));
  EXPECT_TRUE(read.chunks.empty());
}

TEST(ChunkIndex, ADamagedIndexIsRefused) {
  const ChunkIndex index = IndexOf(RandomBytes(100000, 4));
  const std::string good = SerializeChunkIndex(index);
  ASSERT_TRUE(Parses(good));
  const size_t chunks = index.chunks.size();
  ASSERT_GT(chunks, 3u);
  const size_t kHeader = EntriesAt(good);

  for (size_t cut = 0; cut < good.size(); ++cut) EXPECT_FALSE(Parses(good.substr(0, cut))) << cut;
  EXPECT_FALSE(Parses(good + '\0'));

  auto damaged = [&](const char* what, auto change) {
    std::string bytes = good;
    change(&bytes);
    EXPECT_FALSE(Parses(bytes)) << what;
  };
  damaged("magic", [](std::string* b) { (*b)[1] = 'k'; });
  const size_t groups_at = kHeader - GroupTableSize(good);
  damaged("older version", [](std::string* b) { PutU32At(b, 8, 2); });
  damaged("newer version", [](std::string* b) { PutU32At(b, 8, 4); });
  damaged("group average not a power of two", [](std::string* b) { PutU32At(b, 40, 48); });
  damaged("group count beyond the chunks", [&](std::string* b) { PutU32At(b, 44, static_cast<uint32_t>(chunks + 1)); });
  damaged("section average not a power of two", [](std::string* b) { PutU32At(b, 48, 24); });
  damaged("section count beyond the groups", [&](std::string* b) {
    PutU32At(b, 52, static_cast<uint32_t>(GroupTableSize(good) / kChunkGroupEntrySize + 1));
  });
  damaged("section digest", [](std::string* b) { (*b)[kChunkIndexHeaderSize + 16] ^= 1; });
  damaged("section length", [](std::string* b) { PutU64At(b, kChunkIndexHeaderSize + 8, 1); });
  damaged("section chunks", [](std::string* b) { PutU32At(b, kChunkIndexHeaderSize + 4, 0); });
  damaged("group digest", [&](std::string* b) { (*b)[groups_at + 12] ^= 1; });
  damaged("group length", [&](std::string* b) { PutU64At(b, groups_at + 4, 1); });
  damaged("entry digest", [&](std::string* b) { (*b)[kHeader + 4] ^= 1; });
  damaged("min below 64", [](std::string* b) { PutU32At(b, 12, 32); });
  damaged("avg not a power of two", [](std::string* b) { PutU32At(b, 16, 5000); });
  damaged("max over the limit", [](std::string* b) { PutU32At(b, 20, kChunkSizeLimit + 1); });
  damaged("count beyond the cap", [](std::string* b) { PutU64At(b, 32, kChunkIndexMaxChunks + 1); });
  damaged("count too small for the length", [](std::string* b) { PutU64At(b, 32, 1); });
  damaged("count too large for the length", [](std::string* b) { PutU64At(b, 32, 100000 / 1024 + 2); });
  damaged("file length", [](std::string* b) { PutU64At(b, 24, 100001); });
  damaged("file length at the top of the range", [](std::string* b) { PutU64At(b, 24, ~uint64_t{0}); });
  damaged("empty chunk", [&](std::string* b) { PutU32At(b, kHeader, 0); });
  damaged("chunk over max", [&](std::string* b) { PutU32At(b, kHeader, 16385); });
  damaged("inner chunk under min", [&](std::string* b) {
    PutU32At(b, kHeader, 1000);
    PutU32At(b, kHeader + kEntry, index.chunks[1].length + index.chunks[0].length - 1000);
  });
  damaged("lengths do not add up", [&](std::string* b) {
    PutU32At(b, kHeader + kEntry * (chunks - 1), index.chunks.back().length - 1);
  });
  damaged("chunks run past the file", [&](std::string* b) {
    PutU32At(b, kHeader, index.chunks[0].length + 1);
  });
}

TEST(ChunkIndex, AFailedReaderStaysFailed) {
  const std::string good = SerializeChunkIndex(IndexOf(RandomBytes(50000, 5)));
  ChunkIndexReader reader;
  EXPECT_FALSE(reader.Feed("not an index at all, not at all", 32));
  EXPECT_FALSE(reader.Feed(good.data(), good.size()));
  ChunkIndex out;
  EXPECT_FALSE(reader.Finish(&out));

  ChunkIndexReader once;
  ASSERT_TRUE(once.Feed(good.data(), good.size()));
  ASSERT_TRUE(once.Finish(&out));
  EXPECT_FALSE(once.Finish(&out));
}

// Groups are cut by content, and sections of groups too: a run of chunks
// makes the same groups and sections wherever it stands, so a client can
// tell which it has whole from their digests alone.
TEST(ChunkIndex, GroupsAndSectionsOfAlikeRunsAreAlikeWhereverTheyStand) {
  const std::string tail = RandomBytes(2000000, 7);
  ChunkIndex a = IndexOf(tail);
  const ChunkIndex b = IndexOf(RandomBytes(50000, 8) + tail);
  const std::vector<ChunkGroup> ga = GroupChunks(a.chunks, 8);
  const std::vector<ChunkGroup> gb = GroupChunks(b.chunks, 8);
  ASSERT_GT(ga.size(), 20u);
  auto alike = [](const auto& xs, const auto& ys) {
    size_t same = 0;
    for (const auto& x : xs) {
      for (const auto& y : ys) same += memcmp(x.digest, y.digest, kChunkDigestSize) == 0 && x.length == y.length;
    }
    return same;
  };
  EXPECT_GE(alike(ga, gb), ga.size() - 2);
  const std::vector<ChunkSection> sa = GroupSections(ga, 4);
  const std::vector<ChunkSection> sb = GroupSections(gb, 4);
  ASSERT_GT(sa.size(), 3u);
  EXPECT_GE(alike(sa, sb), sa.size() - 2);

  // The prefix alone tells the sections; each table below is checked by
  // the digest above it.
  a.group_average = 8;
  a.section_average = 4;
  const std::string bytes = SerializeChunkIndex(a);
  ChunkIndex prefix;
  uint64_t prefix_size = 0;
  ASSERT_TRUE(ParseChunkIndexPrefix(bytes.substr(0, 100), &prefix, &prefix_size));
  EXPECT_EQ(prefix_size, kChunkIndexHeaderSize + sa.size() * kChunkSectionEntrySize);
  ASSERT_TRUE(ParseChunkIndexPrefix(bytes.substr(0, prefix_size), &prefix, &prefix_size));
  ASSERT_EQ(prefix.sections.size(), sa.size());
  EXPECT_EQ(ChunkIndexSize(prefix), bytes.size());
  const ChunkSection& section = prefix.sections[1];
  const char* tables = bytes.data() + SectionEntriesAt(prefix, section);
  std::string other(tables, section.groups * kChunkGroupEntrySize);
  other[3] ^= 1;
  EXPECT_FALSE(ParseSectionGroups(&prefix, section, other.data(), other.size()));
  ASSERT_TRUE(ParseSectionGroups(&prefix, section, tables, section.groups * kChunkGroupEntrySize));
  const size_t last = static_cast<size_t>(section.first_group + section.groups - 1);
  const ChunkGroup& g = prefix.groups[last];
  EXPECT_EQ(g.offset, ga[last].offset);
  std::vector<Chunk> entries;
  const char* at = bytes.data() + GroupEntriesAt(prefix, g);
  ASSERT_TRUE(ParseGroupEntries(prefix, g, at, g.chunks * kEntry, &entries));
  EXPECT_EQ(entries.size(), g.chunks);
  EXPECT_EQ(entries.front().offset, g.offset);
  other.assign(at, g.chunks * kEntry);
  other[5] ^= 1;
  entries.clear();
  EXPECT_FALSE(ParseGroupEntries(prefix, g, other.data(), other.size(), &entries));
}
