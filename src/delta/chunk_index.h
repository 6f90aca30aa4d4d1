#pragma once
// The chunk index the publisher writes beside a large file, and its reader.
//
// Format, little-endian, nothing between the fields:
//   8 bytes   magic "\x89KCI\r\n\x1a\n" (catches text-mode transfers)
//   u32       format version, 1
//   u32 x 3   chunking parameters: min, avg, max
//   u64       file length
//   u64       number of chunks
//   per chunk u32 length, then kChunkDigestSize bytes of digest
// The chunks cover the file in order; every chunk but the last is at least
// min bytes, none is more than max. Version 1 is the chunker of chunker.h.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "delta/chunker.h"

constexpr uint32_t kChunkIndexVersion = 1;
// Bounds what a reader holds: 4 Mi chunks of 28 bytes.
constexpr uint64_t kChunkIndexMaxChunks = uint64_t{1} << 22;

struct ChunkIndex {
  ChunkParams params;
  uint64_t file_length = 0;
  std::vector<Chunk> chunks;  // offsets filled in by the reader
};

// The index's bytes. |index| must be what a Chunker produced.
std::string SerializeChunkIndex(const ChunkIndex& index);

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
  bool TakeHeader();
  bool TakeEntry();

  std::string pending_;  // bytes of a header or entry not yet complete
  bool have_header_ = false;
  bool failed_ = false;
  uint64_t expected_chunks_ = 0;
  uint64_t covered_ = 0;
  ChunkIndex index_;
};

// The whole index from |bytes|.
bool ParseChunkIndex(const std::string& bytes, ChunkIndex* out);
