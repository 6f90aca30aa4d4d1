#include "manifest/pe_version.h"

#include <cstring>
#include <vector>

#include "platform/file.h"
#include "platform/files.h"

namespace {

constexpr uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr uint32_t kVersionResourceType = 16;
constexpr uint32_t kMaxEntries = 4096;

class Reader {
 public:
  explicit Reader(platform::File* file, uint64_t size) : file_(file), size_(size) {}

  bool Read(uint64_t offset, void* out, size_t n) {
    if (offset > size_ || n > size_ - offset) return false;
    if (!file_->Seek(offset)) return false;
    auto* p = static_cast<char*>(out);
    while (n > 0) {
      long got = file_->Read(p, n);
      if (got <= 0) return false;
      p += got;
      n -= static_cast<size_t>(got);
    }
    return true;
  }
  bool U16(uint64_t offset, uint16_t* v) {
    unsigned char b[2];
    if (!Read(offset, b, 2)) return false;
    *v = static_cast<uint16_t>(b[0] | b[1] << 8);
    return true;
  }
  bool U32(uint64_t offset, uint32_t* v) {
    unsigned char b[4];
    if (!Read(offset, b, 4)) return false;
    *v = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
    return true;
  }

 private:
  platform::File* file_;
  uint64_t size_;
};

struct Section {
  uint32_t virtual_address, virtual_size, raw_size, raw_offset;
};

bool RvaToOffset(const std::vector<Section>& sections, uint32_t rva, uint64_t* offset) {
  for (const Section& s : sections) {
    uint32_t span = s.virtual_size > s.raw_size ? s.virtual_size : s.raw_size;
    if (rva >= s.virtual_address && rva - s.virtual_address < span) {
      uint32_t delta = rva - s.virtual_address;
      if (delta >= s.raw_size) return false;
      *offset = uint64_t{s.raw_offset} + delta;
      return true;
    }
  }
  return false;
}

// Finds, in the resource directory at |dir|, the entry with |id| (or the
// first entry when |id| is negative); returns its raw offset field.
bool FindEntry(Reader& r, uint64_t base, uint32_t dir, long id, uint32_t* target) {
  uint16_t named, ids;
  if (!r.U16(base + dir + 12, &named) || !r.U16(base + dir + 14, &ids)) return false;
  uint32_t count = uint32_t{named} + ids;
  if (count == 0 || count > kMaxEntries) return false;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t name, offset;
    uint64_t entry = base + dir + 16 + 8ull * i;
    if (!r.U32(entry, &name) || !r.U32(entry + 4, &offset)) return false;
    if (id < 0 || (!(name & 0x80000000u) && name == static_cast<uint32_t>(id))) {
      *target = offset;
      return true;
    }
  }
  return false;
}

}  // namespace

bool ReadPeVersion(const std::wstring& path, VS_FIXEDFILEINFO* info) {
  platform::File file;
  uint64_t size = 0;
  if (!platform::GetFileSize(path, &size) || !file.Open(path, platform::File::kRead)) {
    return false;
  }
  Reader r(&file, size);
  uint16_t magic;
  uint32_t pe;
  if (!r.U16(0, &magic) || magic != 0x5A4D || !r.U32(0x3C, &pe)) return false;
  uint32_t signature;
  if (!r.U32(pe, &signature) || signature != 0x00004550) return false;
  uint16_t section_count, optional_size, optional_magic;
  if (!r.U16(pe + 6, &section_count) || !r.U16(pe + 20, &optional_size)) return false;
  uint64_t optional = uint64_t{pe} + 24;
  if (!r.U16(optional, &optional_magic)) return false;
  uint32_t dir_index_offset;
  if (optional_magic == 0x10b) dir_index_offset = 92;        // PE32
  else if (optional_magic == 0x20b) dir_index_offset = 108;  // PE32+
  else return false;
  uint32_t dir_count, resource_rva;
  if (!r.U32(optional + dir_index_offset, &dir_count) || dir_count < 3) return false;
  uint64_t resource_dir = optional + dir_index_offset + 4 + 2 * 8;
  if (resource_dir + 8 > optional + optional_size) return false;
  if (!r.U32(resource_dir, &resource_rva) || resource_rva == 0) return false;

  std::vector<Section> sections;
  uint64_t table = optional + optional_size;
  for (uint16_t i = 0; i < section_count && i < 96; ++i) {
    Section s;
    uint64_t at = table + 40ull * i;
    if (!r.U32(at + 8, &s.virtual_size) || !r.U32(at + 12, &s.virtual_address) ||
        !r.U32(at + 16, &s.raw_size) || !r.U32(at + 20, &s.raw_offset)) {
      return false;
    }
    sections.push_back(s);
  }
  uint64_t base;
  if (!RvaToOffset(sections, resource_rva, &base)) return false;

  // Three levels: type, name, language.
  uint32_t offset;
  if (!FindEntry(r, base, 0, kVersionResourceType, &offset) || !(offset & 0x80000000u)) {
    return false;
  }
  if (!FindEntry(r, base, offset & 0x7FFFFFFFu, -1, &offset)) return false;
  if (offset & 0x80000000u) {
    if (!FindEntry(r, base, offset & 0x7FFFFFFFu, -1, &offset) || (offset & 0x80000000u)) {
      return false;
    }
  }
  uint32_t data_rva, data_size;
  if (!r.U32(base + offset, &data_rva) || !r.U32(base + offset + 4, &data_size)) return false;
  uint64_t data;
  if (!RvaToOffset(sections, data_rva, &data)) return false;

  // VS_VERSIONINFO: length, value length, type, L"VS_VERSION_INFO", padding,
  // then the fixed block.
  static const char16_t kKey[] = u"VS_VERSION_INFO";
  uint16_t value_length;
  if (!r.U16(data + 2, &value_length) || value_length < sizeof(VS_FIXEDFILEINFO)) return false;
  unsigned char key[32];
  if (!r.Read(data + 6, key, sizeof(key))) return false;
  for (int i = 0; i < 16; ++i) {
    if (key[2 * i] != static_cast<unsigned char>(kKey[i]) || key[2 * i + 1] != 0) return false;
  }
  uint64_t fixed = (data + 6 + sizeof(key) + 3) & ~uint64_t{3};
  if (fixed + sizeof(VS_FIXEDFILEINFO) > data + data_size) return false;
  uint32_t words[13];
  for (int i = 0; i < 13; ++i) {
    if (!r.U32(fixed + 4ull * i, &words[i])) return false;
  }
  if (words[0] != kFixedInfoSignature) return false;
  static_assert(sizeof(VS_FIXEDFILEINFO) == sizeof(words), "13 words");
  memcpy(info, words, sizeof(words));
  return true;
}
