#include "manifest/update_files.h"

#include <functional>
#include <unordered_map>

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
    if (!read) Files.clear();
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
  auto entry = std::make_unique<CUpdateFile>(std::wstring());
  for (const auto& child : file.children) AssignChild(entry.get(), child.first, child.second);
  entry->FullPath = ExpandPath(*entry);
  Files.push_back(std::move(entry));
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
  Files.clear();
}

std::unique_ptr<CUpdateFile> CUpdateFiles::PopFront() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (Files.empty()) return nullptr;
  std::unique_ptr<CUpdateFile> entry = std::move(Files.front());
  Files.pop_front();
  return entry;
}

void CUpdateFiles::AddTail(std::unique_ptr<CUpdateFile> entry) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (entry) Files.push_back(std::move(entry));
}

void CUpdateFiles::Remove(const CUpdateFile* entry) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  Files.remove_if([entry](const std::unique_ptr<CUpdateFile>& e) { return e.get() == entry; });
}

unsigned CUpdateFiles::RemoveIf(const std::function<bool(const CUpdateFile&)>& drop) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  unsigned removed = 0;
  for (auto it = Files.begin(); it != Files.end();) {
    if (drop(**it)) {
      it = Files.erase(it);
      ++removed;
    } else {
      ++it;
    }
  }
  return removed;
}

unsigned CUpdateFiles::GetCount() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return static_cast<unsigned>(Files.size());
}

bool CUpdateFiles::DropDuplicates(std::wstring* conflict) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  // Only the hash of each key is kept: a manifest may list 300,000 files.
  std::unordered_multimap<size_t, const CUpdateFile*> seen;
  seen.reserve(Files.size());
  std::vector<std::list<std::unique_ptr<CUpdateFile>>::iterator> repeats;
  const std::hash<std::wstring> hash;
  for (auto it = Files.begin(); it != Files.end(); ++it) {
    const std::wstring key = platform::FileSystemKey((*it)->FullPath);
    const size_t h = hash(key);
    const CUpdateFile* first = nullptr;
    for (auto range = seen.equal_range(h); range.first != range.second && !first; ++range.first) {
      if (platform::FileSystemKey(range.first->second->FullPath) == key) first = range.first->second;
    }
    if (!first) {
      seen.emplace(h, it->get());
      continue;
    }
    if (!first->SameContents(**it)) {
      *conflict = (*it)->LocalPath.empty() ? (*it)->FileName : (*it)->LocalPath + L"/" + (*it)->FileName;
      return false;
    }
    repeats.push_back(it);
  }
  for (auto it : repeats) Files.erase(it);
  return true;
}

unsigned CUpdateFiles::CheckLocalFiles(bool existingOnly) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  unsigned count = 0;
  for (auto it = Files.begin(); it != Files.end();) {
    if ((*it)->NeedsUpdate(existingOnly)) {
      ++count;
      ++it;
    } else {
      it = Files.erase(it);
    }
  }
  return count;
}

uint64_t CUpdateFiles::GetUpdateLength() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  uint64_t total = 0;
  for (const auto& entry : Files) {
    if (entry->NeedUpdate && entry->Length > 0) total += static_cast<uint64_t>(entry->Length);
  }
  return total;
}
