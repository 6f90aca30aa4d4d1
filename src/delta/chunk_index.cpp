#include "delta/chunk_index.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/signature.h"

namespace {

const char kMagic[8] = {'\x89', 'K', 'C', 'I', '\r', '\n', '\x1a', '\n'};
// A group holds at most this many times the average.
constexpr uint32_t kGroupCap = 8;

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

void PutEntry(std::string* out, const Chunk& chunk) {
  PutU32(out, chunk.length);
  out->append(reinterpret_cast<const char*>(chunk.digest), kChunkDigestSize);
}

void PutGroupEntry(std::string* out, const ChunkGroup& group) {
  PutU32(out, group.chunks);
  PutU64(out, group.length);
  out->append(reinterpret_cast<const char*>(group.digest), kChunkDigestSize);
}

bool Digest(const char* data, size_t size, uint8_t out[kChunkDigestSize]) {
  platform::Sha256 sha;
  sha.Update(data, size);
  uint8_t full[platform::kSha256Size];
  if (!sha.Final(full)) return false;
  memcpy(out, full, kChunkDigestSize);
  return true;
}

bool PowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

namespace {

// Cuts |items| into runs by content: a run ends after an item whose
// digest's first two bytes have the low log2(|average|) bits all set, or
// once it holds kGroupCap x |average| items. A run's digest is that of its
// items' entries. |add(run, index, item)| counts an item into its run,
// |put(entries, item)| appends the item's entry.
template <typename Run, typename Item, typename Add, typename Put>
std::vector<Run> CutRuns(const std::vector<Item>& items, uint32_t average, Add add, Put put) {
  std::vector<Run> runs;
  const uint32_t mask = average - 1;
  std::string entries;
  Run run;
  uint32_t count = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    const Item& item = items[i];
    if (count == 0) {
      run = Run();
      entries.clear();
    }
    add(&run, i, item);
    put(&entries, item);
    ++count;
    const uint32_t mark = item.digest[0] | (uint32_t{item.digest[1]} << 8);
    if ((mark & mask) == mask || count >= kGroupCap * average || i + 1 == items.size()) {
      Digest(entries.data(), entries.size(), run.digest);
      runs.push_back(run);
      count = 0;
    }
  }
  return runs;
}

}  // namespace

std::vector<ChunkGroup> GroupChunks(const std::vector<Chunk>& chunks, uint32_t average) {
  return CutRuns<ChunkGroup>(
      chunks, average,
      [](ChunkGroup* group, size_t i, const Chunk& chunk) {
        if (group->chunks == 0) {
          group->first_chunk = i;
          group->offset = chunk.offset;
        }
        ++group->chunks;
        group->length += chunk.length;
      },
      PutEntry);
}

std::vector<ChunkSection> GroupSections(const std::vector<ChunkGroup>& groups, uint32_t average) {
  return CutRuns<ChunkSection>(
      groups, average,
      [](ChunkSection* section, size_t i, const ChunkGroup& group) {
        if (section->groups == 0) {
          section->first_group = i;
          section->first_chunk = group.first_chunk;
          section->offset = group.offset;
        }
        ++section->groups;
        section->chunks += group.chunks;
        section->length += group.length;
      },
      PutGroupEntry);
}

uint64_t ChunkIndexPrefixSize(uint64_t sections) {
  return kChunkIndexHeaderSize + sections * kChunkSectionEntrySize;
}

uint64_t SectionEntriesAt(const ChunkIndex& index, const ChunkSection& section) {
  return ChunkIndexPrefixSize(index.sections.size()) + section.first_group * kChunkGroupEntrySize;
}

uint64_t GroupEntriesAt(const ChunkIndex& index, const ChunkGroup& group) {
  return ChunkIndexPrefixSize(index.sections.size()) + index.group_count * kChunkGroupEntrySize +
         group.first_chunk * kChunkEntrySize;
}

uint64_t ChunkIndexSize(const ChunkIndex& index) {
  return ChunkIndexPrefixSize(index.sections.size()) + index.group_count * kChunkGroupEntrySize +
         index.chunk_count * kChunkEntrySize;
}

std::string SerializeChunkIndex(const ChunkIndex& index) {
  const std::vector<ChunkGroup> groups = GroupChunks(index.chunks, index.group_average);
  const std::vector<ChunkSection> sections = GroupSections(groups, index.section_average);
  std::string out(kMagic, sizeof(kMagic));
  out.reserve(ChunkIndexPrefixSize(sections.size()) + kChunkGroupEntrySize * groups.size() +
              kChunkEntrySize * index.chunks.size());
  PutU32(&out, kChunkIndexVersion);
  PutU32(&out, index.params.min);
  PutU32(&out, index.params.avg);
  PutU32(&out, index.params.max);
  PutU64(&out, index.file_length);
  PutU64(&out, index.chunks.size());
  PutU32(&out, index.group_average);
  PutU32(&out, static_cast<uint32_t>(groups.size()));
  PutU32(&out, index.section_average);
  PutU32(&out, static_cast<uint32_t>(sections.size()));
  for (const ChunkSection& section : sections) {
    PutU32(&out, section.groups);
    PutU32(&out, section.chunks);
    PutU64(&out, section.length);
    out.append(reinterpret_cast<const char*>(section.digest), kChunkDigestSize);
  }
  for (const ChunkGroup& group : groups) PutGroupEntry(&out, group);
  for (const Chunk& chunk : index.chunks) PutEntry(&out, chunk);
  return out;
}

bool ParseChunkIndexPrefix(const std::string& bytes, ChunkIndex* out, uint64_t* prefix_size) {
  *prefix_size = kChunkIndexHeaderSize;
  if (memcmp(bytes.data(), kMagic, std::min(bytes.size(), sizeof(kMagic))) != 0) return false;
  if (bytes.size() < kChunkIndexHeaderSize) return true;
  const char* p = bytes.data();
  if (GetLe(p + 8, 4) != kChunkIndexVersion) return false;
  ChunkIndex index;
  index.params.min = static_cast<uint32_t>(GetLe(p + 12, 4));
  index.params.avg = static_cast<uint32_t>(GetLe(p + 16, 4));
  index.params.max = static_cast<uint32_t>(GetLe(p + 20, 4));
  index.file_length = GetLe(p + 24, 8);
  const uint64_t chunks = GetLe(p + 32, 8);
  index.group_average = static_cast<uint32_t>(GetLe(p + 40, 4));
  const uint64_t groups = GetLe(p + 44, 4);
  index.section_average = static_cast<uint32_t>(GetLe(p + 48, 4));
  const uint64_t sections = GetLe(p + 52, 4);
  if (!ValidChunkParams(index.params) || chunks > kChunkIndexMaxChunks) return false;
  // The count must be one the chunker could have made for this length.
  const uint64_t fewest = index.file_length / index.params.max + (index.file_length % index.params.max != 0);
  const uint64_t most = index.file_length / index.params.min + 1;
  if (chunks < fewest || chunks > most) return false;
  if ((index.file_length == 0) != (chunks == 0)) return false;
  if (!PowerOfTwo(index.group_average) || index.group_average > (1u << 16)) return false;
  if (!PowerOfTwo(index.section_average) || index.section_average > (1u << 16)) return false;
  if (groups > chunks || (chunks > 0 && groups == 0)) return false;
  if (sections > groups || (groups > 0 && sections == 0)) return false;
  index.chunk_count = chunks;
  index.group_count = groups;
  *prefix_size = ChunkIndexPrefixSize(sections);
  if (bytes.size() < *prefix_size) return true;
  uint64_t first_group = 0, first_chunk = 0, offset = 0;
  for (uint64_t k = 0; k < sections; ++k) {
    const char* entry = p + kChunkIndexHeaderSize + k * kChunkSectionEntrySize;
    ChunkSection section;
    section.groups = static_cast<uint32_t>(GetLe(entry, 4));
    section.chunks = static_cast<uint32_t>(GetLe(entry + 4, 4));
    section.length = GetLe(entry + 8, 8);
    memcpy(section.digest, entry + 16, kChunkDigestSize);
    if (section.groups == 0 || section.groups > groups - first_group) return false;
    if (section.chunks < section.groups || section.chunks > chunks - first_chunk) return false;
    if (section.length < section.chunks || section.length > uint64_t{section.chunks} * index.params.max ||
        section.length > index.file_length - offset) {
      return false;
    }
    section.first_group = first_group;
    section.first_chunk = first_chunk;
    section.offset = offset;
    first_group += section.groups;
    first_chunk += section.chunks;
    offset += section.length;
    index.sections.push_back(section);
  }
  if (first_group != groups || first_chunk != chunks || offset != index.file_length) return false;
  *out = std::move(index);
  return true;
}

bool ParseSectionGroups(ChunkIndex* index, const ChunkSection& section, const char* data, size_t size) {
  if (size != uint64_t{section.groups} * kChunkGroupEntrySize) return false;
  uint8_t digest[kChunkDigestSize];
  if (!Digest(data, size, digest) || memcmp(digest, section.digest, kChunkDigestSize) != 0) return false;
  if (index->groups.size() < index->group_count) index->groups.resize(static_cast<size_t>(index->group_count));
  uint64_t first_chunk = section.first_chunk, offset = section.offset;
  const uint64_t chunks_end = section.first_chunk + section.chunks;
  const uint64_t end = section.offset + section.length;
  for (uint32_t i = 0; i < section.groups; ++i) {
    const char* entry = data + i * kChunkGroupEntrySize;
    ChunkGroup group;
    group.chunks = static_cast<uint32_t>(GetLe(entry, 4));
    group.length = GetLe(entry + 4, 8);
    memcpy(group.digest, entry + 12, kChunkDigestSize);
    if (group.chunks == 0 || group.chunks > chunks_end - first_chunk) return false;
    if (group.length < group.chunks || group.length > uint64_t{group.chunks} * index->params.max ||
        group.length > end - offset) {
      return false;
    }
    group.first_chunk = first_chunk;
    group.offset = offset;
    first_chunk += group.chunks;
    offset += group.length;
    index->groups[static_cast<size_t>(section.first_group + i)] = group;
  }
  return first_chunk == chunks_end && offset == end;
}

bool ParseGroupEntries(const ChunkIndex& index, const ChunkGroup& group, const char* data, size_t size,
                       std::vector<Chunk>* out) {
  if (size != uint64_t{group.chunks} * kChunkEntrySize) return false;
  uint8_t digest[kChunkDigestSize];
  if (!Digest(data, size, digest) || memcmp(digest, group.digest, kChunkDigestSize) != 0) return false;
  uint64_t offset = group.offset;
  for (uint32_t i = 0; i < group.chunks; ++i) {
    const char* entry = data + i * kChunkEntrySize;
    Chunk chunk;
    chunk.offset = offset;
    chunk.length = static_cast<uint32_t>(GetLe(entry, 4));
    memcpy(chunk.digest, entry + 4, kChunkDigestSize);
    const bool last = group.first_chunk + i + 1 == index.chunk_count;
    if (chunk.length == 0 || chunk.length > index.params.max) return false;
    if (!last && chunk.length < index.params.min) return false;
    if (chunk.length > group.offset + group.length - offset) return false;
    offset += chunk.length;
    out->push_back(chunk);
  }
  return offset == group.offset + group.length;
}

bool ChunkIndexReader::Feed(const void* data, size_t size) {
  if (failed_) return false;
  const char* bytes = static_cast<const char*>(data);
  if (expected_size_ != 0 && bytes_.size() + size > expected_size_) {
    failed_ = true;
    return false;
  }
  bytes_.append(bytes, size);
  if (expected_size_ == 0) {
    // A wrong magic or header fails at once, so a download can stop early.
    ChunkIndex prefix;
    uint64_t prefix_size = 0;
    if (!ParseChunkIndexPrefix(bytes_.substr(0, kChunkIndexHeaderSize), &prefix, &prefix_size)) {
      failed_ = true;
      return false;
    }
    if (bytes_.size() >= kChunkIndexHeaderSize) {
      expected_size_ = prefix_size + GetLe(bytes_.data() + 44, 4) * kChunkGroupEntrySize +
                       GetLe(bytes_.data() + 32, 8) * kChunkEntrySize;
      if (bytes_.size() > expected_size_) failed_ = true;
    }
  }
  return !failed_;
}

bool ChunkIndexReader::Finish(ChunkIndex* out) {
  ChunkIndex index;
  uint64_t prefix_size = 0;
  bool ok = !failed_ && expected_size_ != 0 && bytes_.size() == expected_size_ &&
            ParseChunkIndexPrefix(bytes_, &index, &prefix_size) && prefix_size <= bytes_.size();
  for (size_t k = 0; ok && k < index.sections.size(); ++k) {
    const ChunkSection& section = index.sections[k];
    ok = ParseSectionGroups(&index, section, bytes_.data() + SectionEntriesAt(index, section),
                            section.groups * kChunkGroupEntrySize);
  }
  for (size_t g = 0; ok && g < index.groups.size(); ++g) {
    const ChunkGroup& group = index.groups[g];
    ok = ParseGroupEntries(index, group, bytes_.data() + GroupEntriesAt(index, group),
                           group.chunks * kChunkEntrySize, &index.chunks);
  }
  // The index is handed over once.
  failed_ = true;
  bytes_.clear();
  if (!ok) return false;
  *out = std::move(index);
  return true;
}

bool ParseChunkIndex(const std::string& bytes, ChunkIndex* out) {
  ChunkIndexReader reader;
  return reader.Feed(bytes.data(), bytes.size()) && reader.Finish(out);
}
