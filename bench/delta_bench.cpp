// Chunk sizes for delta updates: bytes a client fetches (chunks plus the
// index) and requests to turn version 1 of a pack into version 2, for a few
// (min, avg, max) choices; and from what file size an index pays off.
// Then, end to end through nginx on 127.0.0.1: the updater itself against
// zsync and casync on the same pairs, rsync's literal data, and a repair of
// a 1 GiB install against sha256sum of its files.
// Usage: delta_bench [MiB] [--no-server]   (128 unless given)
#include "delta_e2e.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "delta/chunk_index.h"
#include "delta/chunk_plan.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

struct Random {
  uint64_t state;
  uint64_t Next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
  std::string Bytes(size_t size) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; i += 8) {
      uint64_t v = Next();
      for (size_t j = 0; j < 8 && i + j < size; ++j) out[i + j] = static_cast<char>(v >> (8 * j));
    }
    return out;
  }
};

std::vector<Chunk> ChunksOf(const std::string& data, const ChunkParams& params) {
  Chunker chunker(params);
  std::vector<Chunk> chunks;
  chunker.Feed(data.data(), data.size(), &chunks);
  chunker.Finish(&chunks);
  return chunks;
}

struct Cost {
  uint64_t fetched = 0;  // chunks to fetch
  uint64_t index = 0;    // bytes of the index
  size_t ranges = 0;     // runs to fetch
};

// The index bytes a client fetches: the header and section table, the
// group entries of the sections the old file does not have whole, and the
// chunk entries of the groups it does not have whole.
Cost DeltaCost(const std::string& v1, const std::string& v2, const ChunkParams& params) {
  ChunkIndex index;
  index.params = params;
  index.file_length = v2.size();
  index.chunks = ChunksOf(v2, params);
  const std::vector<Chunk> old_chunks = ChunksOf(v1, params);
  const ChunkPlan plan = BuildChunkPlan(old_chunks, index);
  Cost cost;
  cost.fetched = plan.to_fetch;
  auto key = [](const auto& g) { return std::string(reinterpret_cast<const char*>(g.digest), kChunkDigestSize); };
  const std::vector<ChunkGroup> old_groups = GroupChunks(old_chunks, kChunkGroupAverage);
  std::set<std::string> old_group_keys, old_section_keys;
  for (const ChunkGroup& g : old_groups) old_group_keys.insert(key(g));
  for (const ChunkSection& s : GroupSections(old_groups, kChunkSectionAverage)) old_section_keys.insert(key(s));
  const std::vector<ChunkGroup> groups = GroupChunks(index.chunks, kChunkGroupAverage);
  const std::vector<ChunkSection> sections = GroupSections(groups, kChunkSectionAverage);
  cost.index = ChunkIndexPrefixSize(sections.size());
  for (const ChunkSection& s : sections) {
    if (old_section_keys.count(key(s))) continue;
    cost.index += uint64_t{s.groups} * kChunkGroupEntrySize;
    for (uint64_t g = s.first_group; g < s.first_group + s.groups; ++g) {
      if (!old_group_keys.count(key(groups[g]))) cost.index += uint64_t{groups[g].chunks} * kChunkEntrySize;
    }
  }
  for (const PlanPiece& piece : plan.pieces) cost.ranges += piece.local ? 0 : 1;
  return cost;
}

// Version 2 of the pair: 40 scattered 64 KiB rewrites, three 1 KiB
// insertions and one 4 KiB deletion.
std::string Patched(const std::string& v1, Random* rng, uint64_t* changed) {
  std::string v2 = v1;
  for (int i = 0; i < 40; ++i) {
    const size_t at = rng->Next() % (v2.size() - 65536);
    v2.replace(at, 65536, rng->Bytes(65536));
  }
  for (int i = 0; i < 3; ++i) v2.insert(rng->Next() % v2.size(), rng->Bytes(1024));
  v2.erase(rng->Next() % (v2.size() - 4096), 4096);
  *changed = 40 * 65536 + 3 * 1024 + 4096;
  return v2;
}

// Content shifted throughout: a 16-byte insertion every 256 KiB.
std::string Shifted(const std::string& v1, Random* rng, uint64_t* changed) {
  std::string v2;
  v2.reserve(v1.size() + v1.size() / 16384);
  *changed = 0;
  for (size_t at = 0; at < v1.size(); at += 256 << 10) {
    v2 += v1.substr(at, 256 << 10);
    v2 += rng->Bytes(16);
    *changed += 16;
  }
  return v2;
}

void Table(const char* title, const std::string& v1, const std::string& v2, uint64_t changed,
           const std::vector<ChunkParams>& choices) {
  printf("\n%s: %zu -> %zu bytes, %llu bytes changed\n", title, v1.size(), v2.size(),
         static_cast<unsigned long long>(changed));
  printf("  %-22s %12s %10s %12s %8s %8s %9s\n", "min/avg/max KiB", "chunks", "index", "fetch+index",
         "of file", "ranges", "chunk MB/s");
  for (const ChunkParams& p : choices) {
    const auto start = std::chrono::steady_clock::now();
    const Cost cost = DeltaCost(v1, v2, p);
    const double rate = (v1.size() + v2.size()) / 1e6 / Seconds(start);
    char name[64];
    snprintf(name, sizeof(name), "%g/%g/%g", p.min / 1024.0, p.avg / 1024.0, p.max / 1024.0);
    printf("  %-22s %12llu %10llu %12llu %7.2f%% %8zu %9.0f\n", name,
           static_cast<unsigned long long>(cost.fetched), static_cast<unsigned long long>(cost.index),
           static_cast<unsigned long long>(cost.fetched + cost.index),
           100.0 * (cost.fetched + cost.index) / v2.size(), cost.ranges, rate);
  }
}

// From what size is an index worth its extra request? One 1 KiB rewrite in
// the middle of the file.
void Threshold(const std::string& v1, Random* rng) {
  const ChunkParams chosen{256, 1u << 10, 4u << 10};
  printf("\nthreshold, %g/%g/%g KiB, one 1 KiB rewrite in the middle:\n", chosen.min / 1024.0,
         chosen.avg / 1024.0, chosen.max / 1024.0);
  printf("  %10s %12s %12s %8s\n", "file", "whole", "fetch+index", "saved");
  for (size_t size : {16u << 10, 32u << 10, 64u << 10, 128u << 10, 256u << 10, 1u << 20}) {
    const std::string a = v1.substr(0, size);
    std::string b = a;
    b.replace(size / 2, 1024, rng->Bytes(1024));
    const Cost cost = DeltaCost(a, b, chosen);
    printf("  %10zu %12zu %12llu %7.0f%%\n", size, size,
           static_cast<unsigned long long>(cost.fetched + cost.index),
           100.0 - 100.0 * (cost.fetched + cost.index) / size);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mib = argc > 1 ? strtoul(argv[1], nullptr, 10) : 128;
  const std::string mode = argc > 2 ? argv[2] : "";
  const bool server = mode != "--no-server";
  // --end-to-end: only the runs against the server, as for a profiler.
  const bool tables = mode != "--end-to-end";
  if (mib < 2 || (!mode.empty() && server && tables)) {
    fprintf(stderr, "usage: delta_bench [MiB >= 2] [--no-server | --end-to-end]\n");
    return 2;
  }
  Random rng{0x2545f4914f6cdd1dull};
  const std::string v1 = rng.Bytes(mib << 20);
  std::vector<ChunkParams> choices;
  for (uint32_t avg : {1u << 10, 2u << 10, 4u << 10, 8u << 10, 16u << 10, 64u << 10}) {
    choices.push_back({avg / 4, avg, avg * 4});
  }
  choices.push_back({2u << 10, 4u << 10, 16u << 10});
  uint64_t changed = 0;
  const std::string patched = Patched(v1, &rng, &changed);
  if (tables) Table("pair (40 x 64 KiB rewritten, 3 x 1 KiB inserted, 4 KiB deleted)", v1, patched, changed, choices);
  const std::string shifted = Shifted(v1, &rng, &changed);
  if (tables) Table("shifted (16 bytes inserted every 256 KiB)", v1, shifted, changed, choices);
  if (tables) Threshold(v1, &rng);
  if (!server) return 0;
  EndToEnd("pair", v1, patched);
  EndToEnd("shifted", v1, shifted);
  RepairBench();
  return 0;
}
