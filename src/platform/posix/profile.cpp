#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"

namespace platform {
namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";

// One line of the file as raw bytes; |end| holds its line end ("" for a last
// line without one).
struct Line {
  std::string text;
  std::string end;
};

struct IniFile {
  bool bom = false;
  std::vector<Line> lines;
};

bool ReadAll(const std::string& path, std::string* data) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[8192];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

IniFile Parse(std::string data) {
  IniFile ini;
  if (data.compare(0, 3, kBom) == 0) {
    ini.bom = true;
    data.erase(0, 3);
  }
  size_t start = 0;
  while (start < data.size()) {
    size_t pos = data.find_first_of("\r\n", start);
    if (pos == std::string::npos) {
      ini.lines.push_back(Line{data.substr(start), ""});
      break;
    }
    size_t end_len = data[pos] == '\r' && pos + 1 < data.size() && data[pos + 1] == '\n' ? 2 : 1;
    ini.lines.push_back(Line{data.substr(start, pos - start), data.substr(pos, end_len)});
    start = pos + end_len;
  }
  return ini;
}

std::wstring Trim(const std::wstring& s) {
  size_t b = s.find_first_not_of(L" \t");
  if (b == std::wstring::npos) return std::wstring();
  size_t e = s.find_last_not_of(L" \t");
  return s.substr(b, e - b + 1);
}

// The section name of a "[name]" line.
bool SectionName(const std::string& raw, std::wstring* name) {
  std::wstring line = Trim(FromAnsi(raw));
  if (line.empty() || line[0] != L'[') return false;
  size_t close = line.find(L']');
  *name = Trim(line.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1));
  return true;
}

bool KeyValue(const std::string& raw, std::wstring* key, std::wstring* value) {
  std::wstring line = FromAnsi(raw);
  size_t eq = line.find(L'=');
  if (eq == std::wstring::npos) return false;
  std::wstring k = Trim(line.substr(0, eq));
  if (k.empty() || k[0] == L';') return false;
  *key = k;
  *value = Trim(line.substr(eq + 1));
  // A pair of the same quote, single or double, around the value is dropped.
  if (value->size() >= 2 && ((*value)[0] == L'"' || (*value)[0] == L'\'') &&
      value->back() == (*value)[0]) {
    *value = value->substr(1, value->size() - 2);
  }
  return true;
}

// Finds the section's header line and the key's line; -1 when absent.
void Locate(const IniFile& ini, const std::wstring& section, const std::wstring& key,
            long* section_line, long* key_line, long* section_last) {
  *section_line = *key_line = *section_last = -1;
  bool inside = false;
  for (size_t i = 0; i < ini.lines.size(); ++i) {
    std::wstring name, k, v;
    if (SectionName(ini.lines[i].text, &name)) {
      if (*section_line >= 0 && inside) inside = false;
      if (*section_line < 0 && EqualsNoCase(name, section)) {
        *section_line = *section_last = static_cast<long>(i);
        inside = true;
      }
      continue;
    }
    if (!inside) continue;
    if (!Trim(FromAnsi(ini.lines[i].text)).empty()) *section_last = static_cast<long>(i);
    if (*key_line < 0 && KeyValue(ini.lines[i].text, &k, &v) && EqualsNoCase(k, key)) {
      *key_line = static_cast<long>(i);
    }
  }
}

// The replacement by rename ignores the file's own permission, so it is
// checked first. A file with no write bit at all is read-only even to root,
// as the read-only attribute is on Windows.
bool MayRewrite(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return errno == ENOENT;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
  return access(path.c_str(), W_OK) == 0;
}

bool WriteAtomically(const std::string& path, const std::string& data) {
  std::string tmp = path + ".tmpXXXXXX";
  std::vector<char> name(tmp.begin(), tmp.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) return false;
  const char* p = data.data();
  size_t left = data.size();
  bool ok = true;
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  ok = ok && fchmod(fd, 0644) == 0 && fsync(fd) == 0;  // the existing mode wins on replace
  ok = close(fd) == 0 && ok;
  if (!ok || !ReplaceFile(FromAnsi(name.data()), FromAnsi(path))) {
    unlink(name.data());
    return false;
  }
  return true;
}

}  // namespace

std::wstring GetProfileString(const std::wstring& section, const std::wstring& key,
                              const std::wstring& default_value, size_t buffer_size,
                              const std::wstring& path) {
  std::wstring result = default_value;
  std::string data;
  if (ReadAll(ToAnsi(path), &data)) {
    IniFile ini = Parse(data);
    long s, k, last;
    Locate(ini, section, key, &s, &k, &last);
    std::wstring found_key;
    if (k >= 0) KeyValue(ini.lines[static_cast<size_t>(k)].text, &found_key, &result);
  }
  if (buffer_size == 0) return std::wstring();
  if (result.size() > buffer_size - 1) result.resize(buffer_size - 1);
  return result;
}

bool WriteProfileString(const std::wstring& section, const std::wstring& key,
                        const std::wstring& value, const std::wstring& path) {
  if (!IsProfileText(section) || !IsProfileText(key) || !IsProfileText(value)) return false;
  std::string narrow_path = ToAnsi(path);
  if (!MayRewrite(narrow_path)) return false;
  std::string data;
  ReadAll(narrow_path, &data);
  IniFile ini = Parse(data);
  std::string eol = "\r\n";
  for (const Line& l : ini.lines) {
    if (!l.end.empty()) {
      eol = l.end;
      break;
    }
  }
  std::string entry = ToAnsi(key) + "=" + ToAnsi(value);
  long s, k, last;
  Locate(ini, section, key, &s, &k, &last);
  if (k >= 0) {
    ini.lines[static_cast<size_t>(k)].text = entry;
  } else if (s >= 0) {
    Line& prev = ini.lines[static_cast<size_t>(last)];
    if (prev.end.empty()) prev.end = eol;
    ini.lines.insert(ini.lines.begin() + last + 1, Line{entry, eol});
  } else {
    if (!ini.lines.empty() && ini.lines.back().end.empty()) ini.lines.back().end = eol;
    ini.lines.push_back(Line{"[" + ToAnsi(section) + "]", eol});
    ini.lines.push_back(Line{entry, eol});
  }
  std::string out = ini.bom ? kBom : "";
  for (const Line& l : ini.lines) out += l.text + l.end;
  return WriteAtomically(narrow_path, out);
}

}  // namespace platform
