#include "support/temp_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/updater-test-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  path_ = mkdtemp(buf.data());
}

TempDir::~TempDir() {
  std::string cmd = "chmod -R u+w '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
  if (system(cmd.c_str()) != 0) {
  }
}

std::wstring TempDir::WFile(const std::string& name) const {
  return platform::FromUtf8(File(name));
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFileBytes(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

bool PathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDirectory(const std::string& dir) {
  std::vector<platform::DirectoryEntry> entries;
  platform::ListDirectory(platform::FromUtf8(dir), &entries);
  std::vector<std::string> names;
  for (const platform::DirectoryEntry& e : entries) names.push_back(platform::ToUtf8(e.name));
  std::sort(names.begin(), names.end());
  return names;
}

std::string RandomBytes(size_t size, unsigned seed) {
  std::string data(size, '\0');
  srand(seed);
  for (auto& c : data) c = static_cast<char>(rand());
  return data;
}
