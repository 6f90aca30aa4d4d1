#include "manifest/absent_files.h"

#include <vector>

#include "platform/files.h"

namespace {

// |name| lowercased, without the trailing dots and blanks Windows ignores:
// names that any file system might take for one another meet here. False
// for a name beyond ASCII (folding rules reach ASCII from there).
bool LooseName(const wchar_t* name, size_t size, std::string* key) {
  key->clear();
  for (size_t i = 0; i < size; ++i) {
    const wchar_t c = name[i];
    if (c <= 0 || c >= 0x80) return false;
    key->push_back(static_cast<char>(c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c));
  }
  const std::string::size_type keep = key->find_last_not_of(". ");
  key->resize(keep == std::string::npos ? 0 : keep + 1);
  return true;
}

bool IsDeviceName(const std::string& key) {
  std::string stem = key.substr(0, key.find('.'));
  const std::string::size_type keep = stem.find_last_not_of(' ');
  stem.resize(keep == std::string::npos ? 0 : keep + 1);
  static const char* const kDevices[] = {"con", "prn", "aux", "nul", "conin$", "conout$", "clock$"};
  for (const char* device : kDevices) {
    if (stem == device) return true;
  }
  return stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
         stem[3] >= '0' && stem[3] <= '9';
}

}  // namespace

bool AbsentFiles::SurelyAbsent(const std::wstring& path) {
  // Only the separators of this system: elsewhere a backslash is part of a
  // name.
  const wchar_t separators[] = {L'/', platform::kPathSeparator, L'\0'};
  const std::wstring::size_type cut = path.find_last_of(separators);
  if (cut == std::wstring::npos || cut == 0) return false;
  std::string key;
  // A '~' may be a short name's, a ':' a stream's.
  if (!LooseName(path.data() + cut + 1, path.size() - cut - 1, &key) || key.empty() || key == "." || key == ".." ||
      key.find_first_of("~:") != std::string::npos || IsDeviceName(key)) {
    return false;
  }
  // Neighbours in a manifest mostly share their directory.
  if (!recent_ || recent_dir_.size() != cut || path.compare(0, cut, recent_dir_) != 0) {
    recent_dir_.assign(path, 0, cut);
    recent_ = &ListingOf(recent_dir_);
  }
  return recent_->usable && recent_->names.count(key) == 0;
}

const AbsentFiles::Listing& AbsentFiles::ListingOf(const std::wstring& dir) {
  auto found = directories_.find(dir);
  if (found != directories_.end()) return found->second;
  Listing& listing = directories_[dir];
  std::vector<std::wstring> names;
  bool missing = false;
  if (!platform::ListAllNames(dir, &names, &missing)) {
    listing.usable = missing;
    return listing;
  }
  std::string key;
  for (const std::wstring& name : names) {
    if (!LooseName(name.data(), name.size(), &key)) {
      listing.names.clear();
      return listing;
    }
    listing.names.insert(key);
  }
  listing.usable = true;
  return listing;
}
