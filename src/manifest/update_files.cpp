#include "manifest/update_files.h"

#include <algorithm>
#include <functional>
#include <vector>

#include "manifest/absent_files.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/xml.h"


namespace {

// Numbers go through the ANSI code page and the 32-bit clamp, as existing
// installations were stamped with the clamped values.
int32_t ManifestNumber(const std::wstring& text) { return platform::LeadingInt(platform::ToAnsi(text)); }
// Lengths are not clamped: files of 2 GiB and more exist. Below 2^31 this
// reads what ManifestNumber reads.
int64_t ManifestLength(const std::wstring& text) { return platform::LeadingInt64(platform::ToAnsi(text)); }

void AssignChild(CUpdateFile* entry, const std::wstring& name, const std::wstring& text) {
  if (platform::EqualsNoCase(name, L"FileName")) entry->FileName = text;
  else if (platform::EqualsNoCase(name, L"FileVersion")) entry->FileVersion = text;
  else if (platform::EqualsNoCase(name, L"ProductVersion")) entry->ProductVersion = text;
  else if (platform::EqualsNoCase(name, L"Length")) entry->Length = ManifestLength(text);
  else if (platform::EqualsNoCase(name, L"FileDateLow"))
    entry->FileDate.dwLowDateTime = static_cast<uint32_t>(ManifestNumber(text));
  else if (platform::EqualsNoCase(name, L"FileDateHigh"))
    entry->FileDate.dwHighDateTime = static_cast<uint32_t>(ManifestNumber(text));
  else if (platform::EqualsNoCase(name, L"InstallDir")) entry->InstallDir = text;
  else if (platform::EqualsNoCase(name, L"Md5")) entry->Md5 = text;
  else if (platform::EqualsNoCase(name, L"Sha256")) entry->Sha256 = text;
  else if (platform::EqualsNoCase(name, L"LocalPath")) entry->LocalPath = text;
  else if (platform::EqualsNoCase(name, L"Chunks")) entry->Chunks = text;
  else if (platform::EqualsNoCase(name, L"ChunksSha256")) entry->ChunksSha256 = text;
}

// The first Product element below the root, never the root itself.
platform::XmlNode FirstProduct(const platform::XmlDocument& doc) {
  std::vector<platform::XmlNode> products = doc.Root().Descendants(L"Product");
  return products.empty() ? platform::XmlNode() : products.front();
}

}  // namespace

CUpdateFiles::CUpdateFiles() { SetBaseDirectories(platform::ModuleDir()); }

void CUpdateFiles::SetBaseDirectories(const std::wstring& moduleDir) {
  ModuleDir = moduleDir;
  WindowsDir = platform::WindowsDirectory();
  SystemDir = platform::SystemDirectory();
  if (WindowsDir.empty()) WindowsDir = moduleDir;
  if (SystemDir.empty()) SystemDir = moduleDir;
}

CUpdateFiles::~CUpdateFiles() { RemoveAll(); }

bool CUpdateFiles::LoadXml(const std::wstring& path, bool productOnly) {
  RemoveAll();
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (!productOnly) {
    // Streamed: a manifest may list hundreds of thousands of files, and only
    // the entries are kept, never the document's tree.
    const bool read = platform::StreamXmlElements(path, L"File", platform::XmlParts::kAttributesAndChildren, [this](const platform::XmlElement& file) {
      AddEntry(file);
      return true;
    });
    if (!read) files_.Clear();
    return read;
  }
  // The whole document is read: values of one that is cut short or not
  // well-formed are never taken.
  std::vector<std::pair<std::wstring, std::wstring>> attributes;
  bool found = false;
  const bool read = platform::StreamXmlElements(path, L"Product", platform::XmlParts::kAttributes, [&](const platform::XmlElement& product) {
    if (!found) attributes = product.attributes;
    found = true;
    return true;
  });
  if (!read || !found) return false;
  if (!attributes.empty()) productVerion = attributes[0].second;
  if (attributes.size() >= 2 && FirstProductLoad) {
    maxVersion = attributes[1].second;
    FirstProductLoad = false;
  }
  return false;
}

void CUpdateFiles::LoadUrlList(const std::wstring& path) {
  platform::XmlDocument doc;
  if (!doc.Load(path)) return;
  platform::XmlNode product = FirstProduct(doc);
  if (!product.valid()) return;
  auto attributes = product.Attributes();
  for (size_t i = 2; i < attributes.size() && i < 10; ++i) UrlList[i - 2] = attributes[i].second;
}

void CUpdateFiles::AddEntry(const platform::XmlElement& file) {
  CUpdateFile entry{std::wstring()};
  for (const auto& child : file.children) AssignChild(&entry, child.first, child.second);
  entry.FullPath = ExpandPath(entry);
  files_.Append(entry);
}

std::wstring CUpdateFiles::ExpandPath(const CUpdateFile& entry) const {
  const std::wstring& base = platform::EqualsNoCase(entry.InstallDir, L"WINDOWSDIR") ? WindowsDir
                             : platform::EqualsNoCase(entry.InstallDir, L"SYSTEMDIR")
                                 ? SystemDir
                                 : ModuleDir;
  const wchar_t sep[2] = {platform::kPathSeparator, 0};
  if (entry.LocalPath.empty()) return base + sep + entry.FileName;
  return base + sep + platform::NativeSeparators(entry.LocalPath) + sep + entry.FileName;
}

void CUpdateFiles::RemoveAll() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  files_.Clear();
}

std::unique_ptr<CUpdateFile> CUpdateFiles::PopFront() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (files_.empty()) return nullptr;
  auto entry = std::make_unique<CUpdateFile>(std::wstring());
  files_.Read(0, entry.get());
  files_.PopFront();
  return entry;
}

void CUpdateFiles::AddTail(std::unique_ptr<CUpdateFile> entry) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (entry) files_.Append(*entry);
}

unsigned CUpdateFiles::RemoveIf(const std::function<bool(const CUpdateFile&)>& drop) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  // One entry at a time, its strings reused from one to the next.
  CUpdateFile entry{std::wstring()};
  return static_cast<unsigned>(files_.RemoveIf([&](size_t i) {
    files_.Read(i, &entry);
    return drop(entry);
  }));
}

unsigned CUpdateFiles::GetCount() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return static_cast<unsigned>(files_.size());
}

bool CUpdateFiles::IsEmpty() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return files_.empty();
}

std::unique_ptr<CUpdateFile> CUpdateFiles::Entry(unsigned index) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (index >= files_.size()) return nullptr;
  auto entry = std::make_unique<CUpdateFile>(std::wstring());
  files_.Read(index, entry.get());
  return entry;
}

void CUpdateFiles::ForEach(const std::function<void(const CUpdateFile&)>& visit) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  CUpdateFile entry{std::wstring()};
  for (size_t i = 0; i < files_.size(); ++i) {
    files_.Read(i, &entry);
    visit(entry);
  }
}

void CUpdateFiles::Update(const std::function<void(CUpdateFile&)>& change) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  PackedEntries changed;
  CUpdateFile entry{std::wstring()};
  for (size_t i = 0; i < files_.size(); ++i) {
    files_.Read(i, &entry);
    change(entry);
    changed.Append(entry);
  }
  files_ = std::move(changed);
}

namespace {

struct KeyHash {
  size_t hash;
  uint32_t index;
  bool operator<(const KeyHash& other) const {
    return hash != other.hash ? hash < other.hash : index < other.index;
  }
};

}  // namespace

bool CUpdateFiles::DropDuplicates(std::wstring* conflict) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  // Only the hash of each key is kept, sorted, so that entries that may
  // name one target sit together: a manifest may list 300,000 files.
  const std::hash<std::wstring> hash;
  std::vector<KeyHash> keys(files_.size());
  for (size_t i = 0; i < files_.size(); ++i) {
    keys[i] = KeyHash{hash(platform::FileSystemKey(files_.FullPath(i))), static_cast<uint32_t>(i)};
  }
  std::sort(keys.begin(), keys.end());
  std::vector<bool> repeat(files_.size());
  size_t first_conflict = files_.size();
  CUpdateFile first{std::wstring()}, later{std::wstring()};
  for (size_t group = 0; group < keys.size();) {
    size_t end = group + 1;
    while (end < keys.size() && keys[end].hash == keys[group].hash) ++end;
    if (end - group > 1) {
      std::vector<std::wstring> names;
      for (size_t k = group; k < end; ++k) names.push_back(platform::FileSystemKey(files_.FullPath(keys[k].index)));
      // Each entry against the first (in document order) of its name.
      for (size_t j = group + 1; j < end; ++j) {
        size_t k = group;
        while (k < j && names[k - group] != names[j - group]) ++k;
        if (k == j) continue;
        files_.Read(keys[k].index, &first);
        files_.Read(keys[j].index, &later);
        if (first.SameContents(later)) {
          repeat[keys[j].index] = true;
        } else {
          first_conflict = std::min<size_t>(first_conflict, keys[j].index);
        }
      }
    }
    group = end;
  }
  if (first_conflict < files_.size()) {
    files_.Read(first_conflict, &later);
    *conflict = later.LocalPath.empty() ? later.FileName : later.LocalPath + L"/" + later.FileName;
    return false;
  }
  files_.RemoveIf([&repeat](size_t i) { return repeat[i]; });
  return true;
}

unsigned CUpdateFiles::CheckLocalFiles(bool existingOnly, AbsentFiles* absent) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  CUpdateFile entry{std::wstring()};
  const size_t listed = files_.size();
  const size_t dropped = files_.RemoveIf([&](size_t i) {
    if (!absent || !absent->SurelyAbsent(files_.FullPath(i))) {
      files_.Read(i, &entry);
      if (!entry.NeedsUpdate(existingOnly)) return true;
    }
    files_.SetNeedUpdate(i, true);
    return false;
  });
  return static_cast<unsigned>(listed - dropped);
}

uint64_t CUpdateFiles::GetUpdateLength() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  uint64_t total = 0;
  for (size_t i = 0; i < files_.size(); ++i) {
    if (files_.NeedUpdate(i) && files_.Length(i) > 0) total += static_cast<uint64_t>(files_.Length(i));
  }
  return total;
}
