#pragma once
// Which parts of a new file can be taken from a local copy (an older
// version, or a damaged or partial copy) and which must be fetched.
#include <cstdint>
#include <string>
#include <vector>

#include "delta/chunk_index.h"

namespace platform {
class Disk;
}

// One run of the new file, taken either from the local copy or from the
// server.
struct PlanPiece {
  uint64_t offset = 0;  // in the new file
  uint64_t length = 0;
  bool local = false;
  uint64_t local_offset = 0;  // in the local copy, when local
};

// Pieces in file order, covering the new file exactly once. Neighbours are
// merged where they can be read (or fetched) as one run.
struct ChunkPlan {
  std::vector<PlanPiece> pieces;
  uint64_t reused = 0;    // bytes taken from the local copy
  uint64_t to_fetch = 0;  // bytes from the server
};

// The chunks of the file at |path| under |params|, read once in pieces;
// false when it cannot be opened or read, or the digest failed.
bool ChunkLocalFile(platform::Disk& disk, const std::wstring& path, const ChunkParams& params,
                    std::vector<Chunk>* out);

// The plan that rebuilds the file |index| describes, taking every chunk
// whose length and digest |local| (made with the index's parameters) also
// has from the local copy.
ChunkPlan BuildChunkPlan(const std::vector<Chunk>& local, const ChunkIndex& index);
