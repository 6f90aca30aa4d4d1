#include "delta/chunk_index.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

const char kMagic[8] = {'\x89', 'K', 'C', 'I', '\r', '\n', '\x1a', '\n'};
constexpr size_t kHeaderSize = 8 + 4 * 4 + 8 + 8;
constexpr size_t kEntrySize = 4 + kChunkDigestSize;

void PutU32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

void PutU64(std::string* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

uint64_t GetLe(const char* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(p[i]);
  return v;
}

}  // namespace

std::string SerializeChunkIndex(const ChunkIndex& index) {
  std::string out(kMagic, sizeof(kMagic));
  out.reserve(kHeaderSize + kEntrySize * index.chunks.size());
  PutU32(&out, kChunkIndexVersion);
  PutU32(&out, index.params.min);
  PutU32(&out, index.params.avg);
  PutU32(&out, index.params.max);
  PutU64(&out, index.file_length);
  PutU64(&out, index.chunks.size());
  for (const Chunk& chunk : index.chunks) {
    PutU32(&out, chunk.length);
    out.append(reinterpret_cast<const char*>(chunk.digest), kChunkDigestSize);
  }
  return out;
}

bool ChunkIndexReader::Feed(const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (!failed_ && size > 0) {
    const size_t want = have_header_ ? kEntrySize : kHeaderSize;
    const size_t take = std::min(size, want - pending_.size());
    pending_.append(bytes, take);
    bytes += take;
    size -= take;
    // A wrong magic fails at once, so a download can stop early.
    if (!have_header_ &&
        memcmp(pending_.data(), kMagic, std::min(pending_.size(), sizeof(kMagic))) != 0) {
      failed_ = true;
      break;
    }
    if (pending_.size() < want) break;
    failed_ = !(have_header_ ? TakeEntry() : TakeHeader());
    pending_.clear();
  }
  return !failed_;
}

bool ChunkIndexReader::TakeHeader() {
  const char* p = pending_.data();
  if (GetLe(p + 8, 4) != kChunkIndexVersion) return false;
  index_.params.min = static_cast<uint32_t>(GetLe(p + 12, 4));
  index_.params.avg = static_cast<uint32_t>(GetLe(p + 16, 4));
  index_.params.max = static_cast<uint32_t>(GetLe(p + 20, 4));
  index_.file_length = GetLe(p + 24, 8);
  expected_chunks_ = GetLe(p + 32, 8);
  if (!ValidChunkParams(index_.params) || expected_chunks_ > kChunkIndexMaxChunks) return false;
  // The count must be one the chunker could have made for this length.
  const uint64_t fewest = index_.file_length / index_.params.max + (index_.file_length % index_.params.max != 0);
  const uint64_t most = index_.file_length / index_.params.min + 1;
  if (expected_chunks_ < fewest || expected_chunks_ > most) return false;
  if ((index_.file_length == 0) != (expected_chunks_ == 0)) return false;
  have_header_ = true;
  return true;
}

bool ChunkIndexReader::TakeEntry() {
  if (index_.chunks.size() >= expected_chunks_) return false;
  Chunk chunk;
  chunk.offset = covered_;
  chunk.length = static_cast<uint32_t>(GetLe(pending_.data(), 4));
  memcpy(chunk.digest, pending_.data() + 4, kChunkDigestSize);
  const bool last = index_.chunks.size() + 1 == expected_chunks_;
  if (chunk.length == 0 || chunk.length > index_.params.max) return false;
  if (!last && chunk.length < index_.params.min) return false;
  if (chunk.length > index_.file_length - covered_) return false;
  covered_ += chunk.length;
  if (last && covered_ != index_.file_length) return false;
  index_.chunks.push_back(chunk);
  return true;
}

bool ChunkIndexReader::Finish(ChunkIndex* out) {
  if (failed_ || !have_header_ || !pending_.empty() || index_.chunks.size() != expected_chunks_) {
    failed_ = true;
    return false;
  }
  *out = std::move(index_);
  // The index is handed over once.
  failed_ = true;
  return true;
}

bool ParseChunkIndex(const std::string& bytes, ChunkIndex* out) {
  ChunkIndexReader reader;
  return reader.Feed(bytes.data(), bytes.size()) && reader.Finish(out);
}
