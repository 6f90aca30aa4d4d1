#include "manifest/packed_entries.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kMd5Bytes = 16;
constexpr size_t kSha256Bytes = 32;

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  return -1;
}

// Reads an entry's bytes in the order Append wrote them.
class Cursor {
 public:
  explicit Cursor(const unsigned char* at) : at_(at) {}

  uint64_t Number() {
    uint64_t n = 0;
    for (int shift = 0;; shift += 7) {
      const unsigned char byte = *at_++;
      n |= uint64_t{byte & 0x7Fu} << shift;
      if (!(byte & 0x80)) return n;
    }
  }
  void Text(std::wstring* out) {
    out->clear();
    AppendText(out);
  }
  void AppendText(std::wstring* out) {
    const size_t size = static_cast<size_t>(Number());
    const size_t at = out->size();
    out->resize(at + size);
    for (size_t i = 0; i < size; ++i) (*out)[at + i] = static_cast<wchar_t>(Number());
  }
  void Skip(size_t bytes) { at_ += bytes; }
  void SkipText() {
    for (uint64_t size = Number(); size > 0; --size) Number();
  }
  void Digest(bool binary, size_t bytes, std::wstring* out) {
    if (!binary) {
      Text(out);
      return;
    }
    static const wchar_t kHex[] = L"0123456789abcdef";
    out->resize(bytes * 2);
    for (size_t i = 0; i < bytes; ++i) {
      (*out)[2 * i] = kHex[at_[i] >> 4];
      (*out)[2 * i + 1] = kHex[at_[i] & 0xF];
    }
    at_ += bytes;
  }
  void Raw(void* out, size_t bytes) {
    memcpy(out, at_, bytes);
    at_ += bytes;
  }

 private:
  const unsigned char* at_;
};

bool IsDefault(const VS_FIXEDFILEINFO& info) {
  static const VS_FIXEDFILEINFO kDefault;
  return memcmp(&info, &kDefault, sizeof info) == 0;
}

}  // namespace

uint32_t PackedEntries::Share(const std::wstring& text, size_t size, uint32_t* recent) {
  if (*recent < shared_.size() && shared_[*recent]->compare(0, std::wstring::npos, text.data(), size) == 0) {
    return *recent;
  }
  *recent = ShareAnew(text.substr(0, size));
  return *recent;
}

uint32_t PackedEntries::ShareAnew(const std::wstring& text) {
  auto found = shared_index_.find(text);
  if (found != shared_index_.end()) return found->second;
  const uint32_t id = static_cast<uint32_t>(shared_.size());
  shared_.push_back(&shared_index_.emplace(text, id).first->first);
  return id;
}

void PackedEntries::PutNumber(uint64_t n) {
  while (n >= 0x80) {
    arena_.push_back(static_cast<unsigned char>(n | 0x80));
    n >>= 7;
  }
  arena_.push_back(static_cast<unsigned char>(n));
}

void PackedEntries::PutText(const std::wstring& text) {
  PutNumber(text.size());
  // Code units as they are, so that any value (a lone surrogate too) comes
  // back unchanged.
  for (wchar_t c : text) PutNumber(static_cast<uint32_t>(c));
}

bool PackedEntries::PutDigest(const std::wstring& text, size_t bytes) {
  const bool binary =
      text.size() == bytes * 2 && std::all_of(text.begin(), text.end(), [](wchar_t c) { return HexValue(c) >= 0; });
  if (!binary) {
    PutText(text);
    return false;
  }
  for (size_t i = 0; i < bytes; ++i) {
    arena_.push_back(static_cast<unsigned char>(HexValue(text[2 * i]) << 4 | HexValue(text[2 * i + 1])));
  }
  return true;
}

void PackedEntries::Append(const CUpdateFile& entry) {
  Record r;
  r.length = entry.Length;
  r.date_low = entry.FileDate.dwLowDateTime;
  r.date_high = entry.FileDate.dwHighDateTime;
  r.text = arena_.size();
  const std::wstring::size_type cut = entry.FullPath.find_last_of(L"/\\");
  const size_t leaf_at = cut == std::wstring::npos ? 0 : cut + 1;
  r.directory = Share(entry.FullPath, leaf_at, &recent_[0]);
  r.local_path = Share(entry.LocalPath, entry.LocalPath.size(), &recent_[1]);
  r.install_dir = Share(entry.InstallDir, entry.InstallDir.size(), &recent_[2]);
  r.file_version = Share(entry.FileVersion, entry.FileVersion.size(), &recent_[3]);
  r.product_version = Share(entry.ProductVersion, entry.ProductVersion.size(), &recent_[4]);
  r.flags = entry.NeedUpdate ? kNeedUpdate : 0;

  PutText(entry.FileName);
  if (entry.FullPath.compare(leaf_at, std::wstring::npos, entry.FileName) == 0) {
    r.flags |= kLeafIsName;
  } else {
    PutText(entry.FullPath.substr(leaf_at));
  }
  if (PutDigest(entry.Md5, kMd5Bytes)) r.flags |= kMd5Binary;
  if (PutDigest(entry.Sha256, kSha256Bytes)) r.flags |= kSha256Binary;
  PutText(entry.Chunks);
  if (PutDigest(entry.ChunksSha256, kSha256Bytes)) r.flags |= kChunksSha256Binary;
  if (!IsDefault(entry.FixedInfo)) {
    r.flags |= kFixedInfo;
    const unsigned char* info = reinterpret_cast<const unsigned char*>(&entry.FixedInfo);
    arena_.insert(arena_.end(), info, info + sizeof entry.FixedInfo);
  }
  records_.push_back(r);
}

void PackedEntries::Read(size_t index, CUpdateFile* out) const {
  const Record& r = records_[index];
  out->Length = r.length;
  out->FileDate.dwLowDateTime = r.date_low;
  out->FileDate.dwHighDateTime = r.date_high;
  out->LocalPath = *shared_[r.local_path];
  out->InstallDir = *shared_[r.install_dir];
  out->FileVersion = *shared_[r.file_version];
  out->ProductVersion = *shared_[r.product_version];
  out->NeedUpdate = (r.flags & kNeedUpdate) != 0;

  Cursor in(arena_.data() + r.text);
  in.Text(&out->FileName);
  out->FullPath = *shared_[r.directory];
  if (r.flags & kLeafIsName) {
    out->FullPath += out->FileName;
  } else {
    in.AppendText(&out->FullPath);
  }
  in.Digest((r.flags & kMd5Binary) != 0, kMd5Bytes, &out->Md5);
  in.Digest((r.flags & kSha256Binary) != 0, kSha256Bytes, &out->Sha256);
  in.Text(&out->Chunks);
  in.Digest((r.flags & kChunksSha256Binary) != 0, kSha256Bytes, &out->ChunksSha256);
  if (r.flags & kFixedInfo) {
    in.Raw(&out->FixedInfo, sizeof out->FixedInfo);
  } else {
    out->FixedInfo = VS_FIXEDFILEINFO();
  }
}

std::wstring PackedEntries::FullPath(size_t index) const {
  const Record& r = records_[index];
  std::wstring path = *shared_[r.directory];
  Cursor in(arena_.data() + r.text);
  if (!(r.flags & kLeafIsName)) in.SkipText();
  in.AppendText(&path);
  return path;
}

void PackedEntries::SetNeedUpdate(size_t index, bool need) {
  Record& r = records_[index];
  r.flags = static_cast<uint8_t>(need ? r.flags | kNeedUpdate : r.flags & ~kNeedUpdate);
}

void PackedEntries::PopFront() {
  records_.pop_front();
  // The bytes of entries taken stay until the queue runs empty.
  if (records_.empty()) Clear();
}

size_t PackedEntries::RemoveIf(const std::function<bool(size_t)>& drop) {
  size_t kept = 0;
  for (size_t i = 0; i < records_.size(); ++i) {
    if (drop(i)) continue;
    if (kept != i) records_[kept] = records_[i];
    ++kept;
  }
  const size_t removed = records_.size() - kept;
  records_.resize(kept);
  if (records_.empty()) Clear();
  return removed;
}

void PackedEntries::Clear() {
  records_.clear();
  records_.shrink_to_fit();
  arena_.clear();
  arena_.shrink_to_fit();
  shared_.clear();
  shared_.shrink_to_fit();
  shared_index_.clear();
}
