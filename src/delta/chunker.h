#pragma once
// Content-defined chunking: cut points depend only on the bytes just before
// them, so an insertion or deletion moves only the chunks around it and
// every chunk after it is found again, at its new offset.
//
// A position is a cut when the chunk so far is at least |min| bytes and the
// gear hash of the 64 bytes ending there has its top bits clear: more bits
// before |avg| bytes, fewer after (normalised chunking keeps sizes near
// |avg|), or when the chunk reaches |max| bytes. The gear table and this
// rule are part of the index format: changing either needs a new version.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace platform {
class Sha256;
}

// Chunk digests are SHA-256 cut to 128 bits: the rebuilt file is checked as
// a whole, so a chunk digest only has to tell chunks apart.
constexpr size_t kChunkDigestSize = 16;
// The largest |max| an index may carry; bounds every chunk's length.
constexpr uint32_t kChunkSizeLimit = 16u << 20;

struct ChunkParams {
  uint32_t min = 0;
  uint32_t avg = 0;  // a power of two
  uint32_t max = 0;
};

// 64 <= min < avg < max <= kChunkSizeLimit, avg a power of two of at least
// 256.
bool ValidChunkParams(const ChunkParams& params);

struct Chunk {
  uint64_t offset = 0;
  uint32_t length = 0;
  uint8_t digest[kChunkDigestSize] = {};
};

// Takes a stream in pieces of any size and holds no more than one chunk's
// digest state, whatever the length of the stream.
class Chunker {
 public:
  // |params| must be valid.
  explicit Chunker(const ChunkParams& params);
  ~Chunker();
  Chunker(const Chunker&) = delete;
  Chunker& operator=(const Chunker&) = delete;

  // Appends every chunk that ends within these bytes to |out|. False once the
  // system's SHA-256 failed; the chunker stays failed.
  bool Feed(const void* data, size_t size, std::vector<Chunk>* out);
  // Ends the stream, appending the last, shorter chunk if bytes remain. The
  // chunker starts a new stream afterwards.
  bool Finish(std::vector<Chunk>* out);

 private:
  bool EndChunk(std::vector<Chunk>* out);

  ChunkParams params_;
  uint64_t mask_small_;  // before avg bytes: harder to cut
  uint64_t mask_large_;  // from avg bytes on: easier
  uint64_t hash_ = 0;
  uint64_t offset_ = 0;  // of the current chunk in the stream
  uint32_t length_ = 0;  // of the current chunk so far
  std::unique_ptr<platform::Sha256> sha_;
  bool failed_ = false;
};
