#pragma once
// A scratch directory per test, removed with everything in it.
#include <string>
#include <vector>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::wstring WFile(const std::string& name) const;

 private:
  std::string path_;
};

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& data);
bool PathExists(const std::string& path);
// The names in |dir|, sorted, without "." and "..".
std::vector<std::string> ListDirectory(const std::string& dir);
// |size| bytes from a seeded generator: the same for the same seed.
std::string RandomBytes(size_t size, unsigned seed);
