#pragma once
// Whether nothing stands at a path, answered for many paths from one
// listing of each directory instead of a look-up each: a manifest may list
// hundreds of thousands of files not installed yet. Only a sure answer is
// given. Whatever a listing cannot settle is left to the caller's own
// look-up: a name some file system could take for another (case, trailing
// dots, short names, devices, characters beyond ASCII), or a directory that
// cannot be listed.
#include <string>
#include <unordered_map>
#include <unordered_set>

class AbsentFiles {
 public:
  // True only when nothing (no file, directory or link) stands at |path|
  // and no link leads there: its directory does not exist, or lists no
  // name the file system could take for its last component.
  bool SurelyAbsent(const std::wstring& path);

 private:
  struct Listing {
    bool usable = false;
    // The names as LooseName gives them.
    std::unordered_set<std::string> names;
  };
  const Listing& ListingOf(const std::wstring& dir);

  std::unordered_map<std::wstring, Listing> directories_;
  std::wstring recent_dir_;
  const Listing* recent_ = nullptr;
};
