#include "delta/chunker.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/signature.h"

namespace {

// SplitMix64 from a fixed seed: 256 well-mixed words that never change.
constexpr std::array<uint64_t, 256> MakeGearTable() {
  std::array<uint64_t, 256> table{};
  uint64_t state = 0x6a09e667f3bcc908ull;
  for (uint64_t& word : table) {
    state += 0x9e3779b97f4a7c15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    word = z ^ (z >> 31);
  }
  return table;
}

constexpr std::array<uint64_t, 256> kGear = MakeGearTable();

// Normalisation level: the masks have this many bits more and fewer than
// log2(avg).
constexpr int kNormalisation = 2;

int Log2(uint32_t power_of_two) {
  int bits = 0;
  while ((uint32_t{1} << bits) < power_of_two) ++bits;
  return bits;
}

// The top |bits| bits: the shift of the gear hash makes its high bits
// depend on the last 64 bytes, its low bits on the last few only.
uint64_t TopBits(int bits) { return ~uint64_t{0} << (64 - bits); }

}  // namespace

bool ValidChunkParams(const ChunkParams& p) {
  return p.min >= 64 && p.avg >= 256 && (p.avg & (p.avg - 1)) == 0 && p.min < p.avg &&
         p.avg < p.max && p.max <= kChunkSizeLimit;
}

Chunker::Chunker(const ChunkParams& params)
    : params_(params),
      mask_small_(TopBits(Log2(params.avg) + kNormalisation)),
      mask_large_(TopBits(Log2(params.avg) - kNormalisation)),
      sha_(std::make_unique<platform::Sha256>()) {}

Chunker::~Chunker() = default;

bool Chunker::Feed(const void* data, size_t size, std::vector<Chunk>* out) {
  if (failed_) return false;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  // Locals, not members: the bytes may alias anything, and the compiler
  // would store and reload the members for every byte.
  const uint32_t min = params_.min, avg = params_.avg, max = params_.max;
  uint64_t hash = hash_;
  uint32_t length = length_;
  size_t start = 0;  // of the bytes not yet given to the digest
  size_t i = 0;
  while (i < size) {
    // The hash runs across chunk ends: from min (>= 64) bytes into a chunk it
    // covers only that chunk's bytes, so cut points stay content-defined.
    // Bytes that are shifted out before the first place a cut may fall
    // need no hashing.
    if (length + 64 < min) {
      const size_t skip = std::min<size_t>(size - i, min - 64 - length);
      length += static_cast<uint32_t>(skip);
      i += skip;
      continue;
    }
    // A chunk of |length| + 1 bytes ends at the next byte when the hash
    // there has no bit of the mask for that length set; the lengths run in
    // stretches of one mask, so the inner loops test one mask only.
    const size_t room = size - i;
    if (length + 1 < min) {
      const size_t n = std::min<size_t>(room, min - 1 - length);
      for (size_t k = 0; k < n; ++k) hash = (hash << 1) + kGear[bytes[i + k]];
      i += n;
      length += static_cast<uint32_t>(n);
      continue;
    }
    const bool small = length + 1 < avg;
    const uint64_t mask = small ? mask_small_ : mask_large_;
    const size_t n = std::min<size_t>(room, (small ? avg - 1 : max) - length);
    size_t k = 0;
    bool cut = false;
    while (k < n) {
      hash = (hash << 1) + kGear[bytes[i + k++]];
      if ((hash & mask) == 0) {
        cut = true;
        break;
      }
    }
    i += k;
    length += static_cast<uint32_t>(k);
    if (!cut && length < max) continue;
    sha_->Update(bytes + start, i - start);
    start = i;
    length_ = length;
    if (!EndChunk(out)) return false;
    length = 0;
  }
  sha_->Update(bytes + start, size - start);
  hash_ = hash;
  length_ = length;
  return true;
}

bool Chunker::Finish(std::vector<Chunk>* out) {
  if (failed_) return false;
  if (length_ > 0 && !EndChunk(out)) return false;
  hash_ = 0;
  offset_ = 0;
  return true;
}

bool Chunker::EndChunk(std::vector<Chunk>* out) {
  uint8_t digest[platform::kSha256Size];
  if (!sha_->Final(digest) || !sha_->Reset()) {
    failed_ = true;
    return false;
  }
  Chunk chunk;
  chunk.offset = offset_;
  chunk.length = length_;
  memcpy(chunk.digest, digest, kChunkDigestSize);
  out->push_back(chunk);
  offset_ += length_;
  length_ = 0;
  return true;
}
