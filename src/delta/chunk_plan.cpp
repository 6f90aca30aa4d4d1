#include "delta/chunk_plan.h"

#include <memory>
#include <unordered_map>

#include "platform/disk.h"

namespace {

constexpr size_t kReadSize = 1 << 16;

// A chunk's identity: its length and digest.
std::string Key(const Chunk& chunk) {
  std::string key(reinterpret_cast<const char*>(chunk.digest), kChunkDigestSize);
  key.append(reinterpret_cast<const char*>(&chunk.length), sizeof(chunk.length));
  return key;
}

void Append(ChunkPlan* plan, const PlanPiece& piece) {
  if (!plan->pieces.empty()) {
    PlanPiece& last = plan->pieces.back();
    const bool runs_on = last.local == piece.local &&
                         (!piece.local || last.local_offset + last.length == piece.local_offset);
    if (runs_on) {
      last.length += piece.length;
      return;
    }
  }
  plan->pieces.push_back(piece);
}

}  // namespace

bool ChunkLocalFile(platform::Disk& disk, const std::wstring& path, const ChunkParams& params,
                    std::vector<Chunk>* out) {
  std::unique_ptr<platform::DiskFile> file = disk.Open(path, platform::File::kRead);
  if (!file) return false;
  Chunker chunker(params);
  std::vector<char> buffer(kReadSize);
  for (;;) {
    const long n = file->Read(buffer.data(), buffer.size());
    if (n < 0) return false;
    if (n == 0) break;
    if (!chunker.Feed(buffer.data(), static_cast<size_t>(n), out)) return false;
  }
  return chunker.Finish(out);
}

ChunkPlan BuildChunkPlan(const std::vector<Chunk>& local, const ChunkIndex& index) {
  // The first local copy of each chunk: a file that repeats a chunk has
  // every copy equal.
  std::unordered_map<std::string, uint64_t> found;
  found.reserve(local.size());
  for (const Chunk& chunk : local) found.emplace(Key(chunk), chunk.offset);
  ChunkPlan plan;
  for (const Chunk& chunk : index.chunks) {
    PlanPiece piece;
    piece.offset = chunk.offset;
    piece.length = chunk.length;
    auto hit = found.find(Key(chunk));
    if (hit != found.end()) {
      piece.local = true;
      piece.local_offset = hit->second;
      plan.reused += chunk.length;
    } else {
      plan.to_fetch += chunk.length;
    }
    Append(&plan, piece);
  }
  return plan;
}
