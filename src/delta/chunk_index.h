#pragma once
// The chunk index the publisher writes beside a large file, and its reader.
//
// Format, little-endian, nothing between the fields:
//   8 bytes   magic "\x89KCI\r\n\x1a\n" (catches text-mode transfers)
//   u32       format version, 3
//   u32 x 3   chunking parameters: min, avg, max
//   u64       file length
//   u64       number of chunks
//   u32       chunks per group on average (a power of two)
//   u32       number of groups
//   u32       groups per section on average (a power of two)
//   u32       number of sections
//   per section u32 groups, u32 chunks, u64 bytes, then kChunkDigestSize bytes of digest
//   per group   u32 chunks, u64 bytes, then kChunkDigestSize bytes of digest
//   per chunk   u32 length, then kChunkDigestSize bytes of digest
// The chunks cover the file in order; every chunk but the last is at least
// min bytes, none is more than max. The chunker is that of chunker.h.
//
// Groups are runs of chunks cut by content (see GroupChunks), and a group's
// digest is that of its chunks' entries; sections are runs of groups cut
// the same way, and a section's digest is that of its groups' entries. The
// manifest carries the SHA-256 of the header and section table only (the
// prefix): a client that fetches the prefix learns which sections its
// local copy already has whole, fetches the group entries of the others,
// then the chunk entries of the groups it lacks, each checked against the
// digest above it. A file with one damaged chunk costs three short tables.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "delta/chunker.h"

constexpr uint32_t kChunkIndexVersion = 3;
// Bounds what a reader holds: 4 Mi chunks of 20 bytes.
constexpr uint64_t kChunkIndexMaxChunks = uint64_t{1} << 22;
constexpr size_t kChunkIndexHeaderSize = 56;
constexpr size_t kChunkSectionEntrySize = 4 + 4 + 8 + kChunkDigestSize;
constexpr size_t kChunkGroupEntrySize = 4 + 8 + kChunkDigestSize;
constexpr size_t kChunkEntrySize = 4 + kChunkDigestSize;
constexpr uint32_t kChunkGroupAverage = 32;
constexpr uint32_t kChunkSectionAverage = 16;

struct ChunkGroup {
  uint64_t first_chunk = 0;  // filled in by the reader
  uint32_t chunks = 0;
  uint64_t offset = 0;  // in the file; filled in by the reader
  uint64_t length = 0;
  uint8_t digest[kChunkDigestSize] = {};
};

// A run of groups.
struct ChunkSection {
  uint64_t first_group = 0;  // filled in by the reader
  uint32_t groups = 0;
  uint64_t first_chunk = 0;  // filled in by the reader
  uint32_t chunks = 0;
  uint64_t offset = 0;  // in the file; filled in by the reader
  uint64_t length = 0;
  uint8_t digest[kChunkDigestSize] = {};
};

struct ChunkIndex {
  ChunkParams params;
  uint64_t file_length = 0;
  uint32_t group_average = kChunkGroupAverage;
  uint32_t section_average = kChunkSectionAverage;
  uint64_t chunk_count = 0;  // from the header
  uint64_t group_count = 0;  // from the header
  std::vector<ChunkSection> sections;
  // Of the whole index, or of the sections read so far, at their place.
  std::vector<ChunkGroup> groups;
  std::vector<Chunk> chunks;  // offsets filled in by the reader
};

// The groups of |chunks|: a group ends after a chunk whose digest's first
// two bytes have their low log2(|average|) bits all set, or once it holds
// 8 x |average| chunks. Alike runs of chunks make alike groups wherever
// they stand.
std::vector<ChunkGroup> GroupChunks(const std::vector<Chunk>& chunks, uint32_t average);
// The sections of |groups| (in file order), cut by the same rule on the
// groups' digests.
std::vector<ChunkSection> GroupSections(const std::vector<ChunkGroup>& groups, uint32_t average);

// The index's bytes, its groups made from its chunks. |index| must be what
// a Chunker produced.
std::string SerializeChunkIndex(const ChunkIndex& index);
// Bytes of the header and section table of an index with |sections|
// sections.
uint64_t ChunkIndexPrefixSize(uint64_t sections);
// Where the entries of a section's groups, or of a group's chunks, stand
// in the index whose prefix |index| holds.
uint64_t SectionEntriesAt(const ChunkIndex& index, const ChunkSection& section);
uint64_t GroupEntriesAt(const ChunkIndex& index, const ChunkGroup& group);
// The size of the whole index whose prefix |index| holds.
uint64_t ChunkIndexSize(const ChunkIndex& index);

// The header and section table from the start of an index. False when
// they cannot be an index's; true with |*prefix_size| beyond |bytes| when
// more bytes are needed; true with |out| filled (sections only) when they
// are all there.
bool ParseChunkIndexPrefix(const std::string& bytes, ChunkIndex* out, uint64_t* prefix_size);
// The group entries of |section| of |index| (whose prefix was read), from
// their bytes, stored at their place in |index|->groups (sized to the
// group count); false unless they are that section's.
bool ParseSectionGroups(ChunkIndex* index, const ChunkSection& section, const char* data, size_t size);
// The entries of |group| of |index|, from their bytes; false unless they
// are that group's.
bool ParseGroupEntries(const ChunkIndex& index, const ChunkGroup& group, const char* data, size_t size,
                       std::vector<Chunk>* out);

// Takes an index in pieces of any size. Anything malformed, unknown or out
// of bounds fails the reader, and it stays failed.
class ChunkIndexReader {
 public:
  // False once the bytes cannot be an index.
  bool Feed(const void* data, size_t size);
  // True, with the index in |out|, only when exactly one whole index came.
  // The reader is spent afterwards.
  bool Finish(ChunkIndex* out);

 private:
  std::string bytes_;
  uint64_t expected_size_ = 0;  // known once the header is in
  bool failed_ = false;
};

// The whole index from |bytes|.
bool ParseChunkIndex(const std::string& bytes, ChunkIndex* out);
