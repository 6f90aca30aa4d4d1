#include "publish.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <set>

#include "delta/chunk_index.h"
#include "digest/hex.h"
#include "digest/sha256_file.h"
#include "manifest/path_safety.h"
#include "manifest/update_files.h"
#include "platform/file.h"
#include "platform/files.h"
#include "platform/signature.h"
#include "platform/text.h"
#include "release_names.h"
#include "signing_key.h"
#include "update/installer.h"
#include "update/resume_file.h"

namespace {

const wchar_t kFiller[] = L"KelvoraUpdateMirror0";
const uint64_t kClientManifestLimit = uint64_t{512} << 20;

struct Found {
  std::wstring path;        // full path of the source file
  std::wstring local_path;  // directory below the release root, '/'-separated
  std::wstring name;
};

// The files below |dir| in a stable order; false when |dir| cannot be read.
bool ListFiles(const std::wstring& dir, const std::wstring& local, std::vector<Found>* out) {
  DIR* d = opendir(platform::ToAnsi(dir).c_str());
  if (!d) return false;
  std::vector<std::wstring> names;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(platform::FromAnsi(name));
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::wstring& name : names) {
    std::wstring path = dir + L"/" + name;
    if (platform::IsDirectory(path)) {
      if (!ListFiles(path, local.empty() ? name : local + L"/" + name, out)) return false;
    } else {
      out->push_back(Found{path, local, name});
    }
  }
  return true;
}

bool MakeDirectories(const std::wstring& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == L'/') {
      std::wstring part = path.substr(0, i);
      if (!platform::IsDirectory(part) && !platform::CreateDirectory(part)) return false;
    }
  }
  return true;
}

// Copies |from| to |to|; with |chunks|, chunks what it copies on the way,
// so a large file is read once.
bool CopyFile(const std::wstring& from, const std::wstring& to, std::vector<Chunk>* chunks) {
  platform::File in, out;
  if (!in.Open(from, platform::File::kRead) || !out.Open(to, platform::File::kCreateTruncate)) {
    return false;
  }
  Chunker chunker(kReleaseChunkParams);
  char buf[1 << 16];
  for (;;) {
    long n = in.Read(buf, sizeof(buf));
    if (n < 0) return false;
    if (n == 0) break;
    if (!out.Write(buf, static_cast<size_t>(n))) return false;
    if (chunks && !chunker.Feed(buf, static_cast<size_t>(n), chunks)) return false;
  }
  if (chunks && !chunker.Finish(chunks)) return false;
  platform::FILETIME t;
  bool ok = out.Close();
  if (ok && platform::GetLastWriteTime(from, &t)) platform::SetAllFileTimes(to, t);
  return ok;
}

// Version texts compared as numbers, part by part between the dots.
bool VersionLess(const std::wstring& a, const std::wstring& b) {
  size_t i = 0, j = 0;
  while (i < a.size() || j < b.size()) {
    long x = 0, y = 0;
    for (; i < a.size() && a[i] != L'.'; ++i) x = x * 10 + (a[i] - L'0');
    for (; j < b.size() && b[j] != L'.'; ++j) y = y * 10 + (b[j] - L'0');
    if (x != y) return x < y;
    ++i;
    ++j;
  }
  return false;
}

// The manifest of the newest release below |version| under |root|; false
// when there is none.
bool LoadPreviousRelease(const std::wstring& root, const std::wstring& version, CUpdateFiles* out) {
  DIR* d = opendir(platform::ToAnsi(root + L"/update").c_str());
  if (!d) return false;
  std::wstring best;
  while (dirent* e = readdir(d)) {
    std::wstring name = platform::FromAnsi(e->d_name);
    if (!IsSafeVersionText(name) || !VersionLess(name, version)) continue;
    if (!platform::CanOpenForRead(root + L"/update/" + name + L"/FileConfig.xml")) continue;
    if (best.empty() || VersionLess(best, name)) best = name;
  }
  closedir(d);
  return !best.empty() && out->LoadXml(root + L"/update/" + best + L"/FileConfig.xml", false);
}

// The client reads the low half of a time as a signed 32-bit number and
// clamps it (installed files carry clamped times): write what it will read,
// and never give a changed file the time the previous release gave it, or
// the client would take it as already installed. Returns a line for each
// time that had to be changed.
std::wstring SettleTimes(CUpdateFiles* manifest, CUpdateFiles* previous) {
  std::map<std::wstring, std::pair<std::wstring, FILETIME>> before;
  previous->ForEach([&](const CUpdateFile& entry) {
    before[entry.LocalPath + L"/" + entry.FileName] = {entry.Md5, entry.FileDate};
  });
  std::wstring notes;
  manifest->Update([&](CUpdateFile& entry) {
    uint32_t& low = entry.FileDate.dwLowDateTime;
    low = std::min<uint32_t>(low, 2147483647u);
    auto found = before.find(entry.LocalPath + L"/" + entry.FileName);
    if (found == before.end() || platform::EqualsNoCase(found->second.first, entry.Md5) ||
        platform::CompareFileTime(found->second.second, entry.FileDate) != 0) {
      return;
    }
    low = low == 0 ? 1 : low - 1;
    std::wstring name = entry.LocalPath.empty() ? entry.FileName : entry.LocalPath + L"/" + entry.FileName;
    notes += L"time changed by 100 ns: " + name + L" differs from the previous release but would carry its time\n";
  });
  return notes;
}

std::wstring Joined(const std::wstring& local_path, const std::wstring& name) {
  return local_path.empty() ? name : local_path + L"/" + name;
}

// The index's name beside |f|; empty, with a line in |notes|, when the
// release has a file of that name or the server could not store it.
std::wstring ChunkIndexName(const Found& f, const std::set<std::wstring>& release,
                            std::wstring* notes) {
  const std::wstring name = f.name + L".chunks";
  const std::wstring shown = Joined(f.local_path, f.name);
  if (release.count(Joined(f.local_path, name))) {
    *notes += L"no chunk index: the release has a file named " + name + L" beside " + shown + L"\n";
    return L"";
  }
  if (platform::ToUtf8(name).size() > 255) {
    *notes += L"no chunk index: the name would be longer than 255 bytes: " + shown + L"\n";
    return L"";
  }
  return name;
}

// Writes the index of a copied file to |path|; the SHA-256 of its header
// and group table into |hex| (each group's entries are checked by the
// group's digest).
bool WriteChunkIndex(const ChunkIndex& index, const std::wstring& path, std::wstring* hex) {
  const std::string bytes = SerializeChunkIndex(index);
  ChunkIndex prefix;
  uint64_t prefix_size = 0;
  if (!ParseChunkIndexPrefix(bytes, &prefix, &prefix_size) || prefix_size > bytes.size()) return false;
  platform::Sha256 sha;
  sha.Update(bytes.data(), static_cast<size_t>(prefix_size));
  uint8_t digest[platform::kSha256Size];
  if (!sha.Final(digest)) return false;
  platform::File file;
  if (!file.Open(path, platform::File::kCreateTruncate)) return false;
  bool ok = file.Write(bytes.data(), bytes.size());
  ok = file.Close() && ok;
  if (!ok) return false;
  *hex = platform::FromUtf8(ToHex(digest, sizeof(digest)));
  return true;
}

class TableList : public IListCtrl {
 public:
  int InsertItem(int index, const std::wstring& text, bool) override {
    // Rows come in at the top: a deque takes them in constant time.
    rows_.insert(rows_.begin() + index, std::vector<std::wstring>(5));
    rows_[index][0] = text;
    return index;
  }
  void SetItemText(int row, int column, const std::wstring& text) override {
    rows_[row][column] = text;
  }
  std::wstring Text() const {
    std::wstring out = L"  #  version     length  name  (source)\n";
    for (auto it = rows_.rbegin(); it != rows_.rend(); ++it) {
      out += platform::Format(L"%3s  %-10s %9s  %s  (%s)\n", (*it)[0].c_str(), (*it)[1].c_str(),
                              (*it)[2].c_str(), (*it)[3].c_str(), (*it)[4].c_str());
    }
    return out;
  }

 private:
  std::deque<std::vector<std::wstring>> rows_;
};

}  // namespace

bool PublishRelease(const std::wstring& version, const std::wstring& from,
                    const std::wstring& root, std::wstring* error, std::wstring* table,
                    const SigningKey* key, std::wstring* warning) {
  if (!IsSafeVersionText(version)) {
    *error = L"the version must be digits and dots, for example 7: " + version;
    return false;
  }
  if (!platform::IsDirectory(from)) {
    *error = L"no such directory: " + from;
    return false;
  }
  std::vector<Found> found;
  if (!ListFiles(from, L"", &found)) {
    *error = L"cannot read the directory: " + from;
    return false;
  }
  std::vector<ReleaseName> names;
  names.reserve(found.size());
  std::set<std::wstring> release;
  for (const Found& f : found) {
    if (!IsSafeEntryPath(f.name, f.local_path)) {
      *error = L"the file name cannot be published: " + f.path;
      return false;
    }
    // The updater downloads into such names and sweeps them away.
    int pending_version = 0;
    if (PendingCopyVersion(f.name, &pending_version)) {
      *error = L"the name is one the updater gives its downloads; rename the file: " + f.path;
      return false;
    }
    names.push_back(ReleaseName{f.local_path, f.name});
    release.insert(Joined(f.local_path, f.name));
  }
  if (!CheckReleaseNames(names, error)) return false;
  std::wstring out_dir = root + L"/update/" + version;
  if (!MakeDirectories(out_dir)) {
    *error = L"cannot create the output directory: " + out_dir;
    return false;
  }
  CUpdateFiles manifest;
  manifest.productVerion = version;
  manifest.maxVersion = version;
  std::wstring made_dir;
  std::wstring notes;
  for (const Found& f : found) {
    // Names are unique here, so AddLocalFile's search for an entry to
    // replace (linear in the entries so far) is not needed.
    auto entry = std::make_unique<CUpdateFile>(f.path);
    if (!entry->ReadLocalFile() || (key && !Sha256OfFile(f.path, &entry->Sha256))) {
      *error = L"cannot read the file: " + f.path;
      return false;
    }
    entry->LocalPath = f.local_path;
    // Consecutive files mostly share a directory: it is made once.
    std::wstring dest_dir = f.local_path.empty() ? out_dir : out_dir + L"/" + f.local_path;
    const std::wstring index_name = static_cast<uint64_t>(entry->Length) >= kChunkIndexThreshold
                                        ? ChunkIndexName(f, release, &notes)
                                        : L"";
    ChunkIndex index;
    index.params = kReleaseChunkParams;
    if ((dest_dir != made_dir && !MakeDirectories(dest_dir)) ||
        !CopyFile(f.path, dest_dir + L"/" + entry->FileName, index_name.empty() ? nullptr : &index.chunks)) {
      *error = L"cannot write into the output directory: " + dest_dir;
      return false;
    }
    made_dir = dest_dir;
    if (!index_name.empty() && index.chunks.size() > kChunkIndexMaxChunks) {
      notes += L"no chunk index: too many chunks for clients to read: " + Joined(f.local_path, f.name) + L"\n";
    } else if (!index_name.empty()) {
      index.file_length = index.chunks.empty() ? 0 : index.chunks.back().offset + index.chunks.back().length;
      if (!WriteChunkIndex(index, dest_dir + L"/" + index_name, &entry->ChunksSha256)) {
        *error = L"cannot write into the output directory: " + dest_dir;
        return false;
      }
      entry->Chunks = index_name;
    }
    manifest.AddTail(std::move(entry));
  }
  CUpdateFiles previous;
  LoadPreviousRelease(root, version, &previous);
  notes += SettleTimes(&manifest, &previous);
  if (!manifest.SaveXml(out_dir + L"/FileConfig.xml")) {
    *error = L"cannot write " + out_dir + L"/FileConfig.xml";
    return false;
  }
  uint64_t manifest_size = 0;
  if (warning && platform::GetFileSize(out_dir + L"/FileConfig.xml", &manifest_size)) {
    *warning = ManifestSizeWarning(manifest_size);
  }
  // A signature of an earlier publication would not match the new bytes.
  if (!key) platform::DeleteFile(out_dir + L"/FileConfig.xml.sig");
  if (key && !key->Sign(out_dir + L"/FileConfig.xml",
                        "update/" + platform::ToAnsi(version) + "/FileConfig.xml", nullptr, error)) {
    return false;
  }
  TableList list;
  manifest.FillListCtrl(&list);
  *table = list.Text() + notes;
  return true;
}

std::wstring StoredServerEntry(const std::wstring& address) {
  return address.size() > 20 ? ScrambleServerEntry(address, kFiller) : address;
}

std::wstring ManifestSizeWarning(uint64_t size) {
  if (size <= kClientManifestLimit) return L"";
  return platform::Format(L"warning: the manifest is %llu bytes; clients read at most 512 MiB "
                          L"and will refuse this release",
                          static_cast<unsigned long long>(size));
}

bool PublishVersionList(const std::wstring& root, const std::wstring& product,
                        const std::wstring& max, const std::vector<std::wstring>& urls,
                        std::wstring* error, const SigningKey* key, int64_t expires) {
  if (urls.size() > 8) {
    *error = L"at most eight server addresses can be published";
    return false;
  }
  if (!IsSafeVersionText(product) || !IsSafeVersionText(max)) {
    *error = L"the versions must be digits and dots, for example 7";
    return false;
  }
  std::wstring dir = root + L"/update";
  if (!MakeDirectories(dir)) {
    *error = L"cannot create the output directory: " + dir;
    return false;
  }
  CUpdateFiles list;
  list.productVerion = product;
  list.maxVersion = max;
  for (size_t i = 0; i < urls.size(); ++i) {
    list.UrlList[i] = StoredServerEntry(urls[i]);
  }
  if (!list.SaveXml(dir + L"/VerAndUrl.xml")) {
    *error = L"cannot write " + dir + L"/VerAndUrl.xml";
    return false;
  }
  if (!key) platform::DeleteFile(dir + L"/VerAndUrl.xml.sig");
  if (key && !key->Sign(dir + L"/VerAndUrl.xml", "update/VerAndUrl.xml", &expires, error)) {
    return false;
  }
  return true;
}
