#pragma once
// Manifest entries in packed form: a manifest may list hundreds of
// thousands of files, and a full CUpdateFile costs close to a kilobyte. An
// entry is a small fixed record; its own strings go into one byte arena, each
// code unit as a variable-length number (one byte for ASCII); texts many
// entries share (directories, InstallDir, versions) are kept once; digests
// written as lowercase hexadecimal take their binary size. Every value,
// whatever it holds, comes back exactly as it was given.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "manifest/update_file.h"

class PackedEntries {
 public:
  PackedEntries() = default;
  PackedEntries(const PackedEntries&) = delete;
  PackedEntries& operator=(const PackedEntries&) = delete;
  PackedEntries(PackedEntries&&) = default;
  PackedEntries& operator=(PackedEntries&&) = default;

  void Append(const CUpdateFile& entry);
  // Entry |index| (0 is the front) into |out|, every field assigned.
  void Read(size_t index, CUpdateFile* out) const;
  std::wstring FullPath(size_t index) const;
  int64_t Length(size_t index) const { return records_[index].length; }
  bool NeedUpdate(size_t index) const { return (records_[index].flags & kNeedUpdate) != 0; }
  void SetNeedUpdate(size_t index, bool need);

  size_t size() const { return records_.size(); }
  bool empty() const { return records_.empty(); }
  void PopFront();
  // Deletes every entry for which |drop| (given its index) is true, in one
  // pass, keeping the order of the others; returns how many.
  size_t RemoveIf(const std::function<bool(size_t)>& drop);
  void Clear();

 private:
  enum Flags : uint8_t {
    kNeedUpdate = 1,
    // FullPath's last component is FileName, not stored again.
    kLeafIsName = 2,
    kMd5Binary = 4,
    kSha256Binary = 8,
    kChunksSha256Binary = 16,
    kFixedInfo = 32,
  };
  struct Record {
    int64_t length;
    uint32_t date_low;
    uint32_t date_high;
    // Where the entry's own bytes start in arena_.
    size_t text;
    // Shared texts, as indexes into shared_.
    uint32_t directory;  // FullPath up to and with its last separator
    uint32_t local_path;
    uint32_t install_dir;
    uint32_t file_version;
    uint32_t product_version;
    uint8_t flags;
  };

  // The first |size| units of |text|, kept once. |recent| is the field's
  // last text: neighbours mostly share theirs.
  uint32_t Share(const std::wstring& text, size_t size, uint32_t* recent);
  uint32_t ShareAnew(const std::wstring& text);
  void PutNumber(uint64_t n);
  void PutText(const std::wstring& text);
  // Binary when |text| is |bytes| bytes in lowercase hexadecimal.
  bool PutDigest(const std::wstring& text, size_t bytes);

  std::deque<Record> records_;
  std::vector<unsigned char> arena_;
  std::unordered_map<std::wstring, uint32_t> shared_index_;
  // The keys of shared_index_, which stay where they are.
  std::vector<const std::wstring*> shared_;
  uint32_t recent_[5] = {};
};
