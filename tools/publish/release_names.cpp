#include "release_names.h"

#include <locale.h>
#include <wctype.h>

#include <unordered_map>

#include "platform/text.h"

namespace {

constexpr size_t kMaxComponentBytes = 255;
constexpr size_t kMaxPathUnits = 260;

size_t Utf16Units(const std::wstring& text) {
  size_t units = 0;
  for (wchar_t c : text) units += static_cast<uint32_t>(c) > 0xFFFF ? 2 : 1;
  return units;
}

std::wstring Joined(const ReleaseName& name) {
  return name.local_path.empty() ? name.file_name : name.local_path + L"/" + name.file_name;
}

// Windows compares names by the simple upper-case mapping of each
// character; the C.UTF-8 locale has that table whatever the user's locale.
class CaseFold {
 public:
  CaseFold() : locale_(newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0))) {}
  ~CaseFold() {
    if (locale_) freelocale(locale_);
  }
  CaseFold(const CaseFold&) = delete;
  CaseFold& operator=(const CaseFold&) = delete;

  std::wstring operator()(const std::wstring& text) const {
    if (!locale_) return platform::ToUpperAscii(text);
    std::wstring out = text;
    for (wchar_t& c : out) c = static_cast<wchar_t>(towupper_l(static_cast<wint_t>(c), locale_));
    return out;
  }

 private:
  locale_t locale_;
};

void CheckLengths(const std::wstring& path, std::wstring* problems) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(L'/', start);
    if (end == std::wstring::npos) end = path.size();
    const std::wstring component = path.substr(start, end - start);
    if (platform::ToUtf8(component).size() > kMaxComponentBytes) {
      *problems += L"a name is longer than 255 bytes: " + component + L" (in " + path + L")\n";
    }
    start = end + 1;
  }
  if (Utf16Units(path) > kMaxPathUnits) {
    *problems += L"a path is longer than Windows allows (260 UTF-16 units): " + path + L"\n";
  }
}

}  // namespace

bool CheckReleaseNames(const std::vector<ReleaseName>& names, std::wstring* error) {
  const CaseFold fold;
  std::unordered_map<std::wstring, std::wstring> files, directories;
  files.reserve(names.size());
  std::wstring problems;
  for (const ReleaseName& name : names) {
    const std::wstring path = Joined(name);
    CheckLengths(path, &problems);
    auto added = files.emplace(fold(path), path);
    if (!added.second) {
      problems += L"the names differ only in case: " + added.first->second + L" and " + path + L"\n";
    }
    for (size_t slash = name.local_path.find(L'/'); ; slash = name.local_path.find(L'/', slash + 1)) {
      const std::wstring dir = name.local_path.substr(0, slash);
      if (!dir.empty()) directories.emplace(fold(dir), dir);
      if (slash == std::wstring::npos) break;
    }
  }
  // Compared once all directories are known: the file may come first.
  for (const ReleaseName& name : names) {
    const std::wstring path = Joined(name);
    auto dir = directories.find(fold(path));
    if (dir != directories.end()) {
      problems += L"a file and a directory differ only in case: " + path + L" and " +
                  dir->second + L"/\n";
    }
  }
  if (problems.empty()) return true;
  *error = L"the release cannot be installed on every client; nothing was published:\n" + problems;
  error->pop_back();
  return false;
}
