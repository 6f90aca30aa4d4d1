#pragma once
// Names every client can store. A release is checked as a whole before
// anything is copied, so a refused release leaves the server as it was.
#include <string>
#include <vector>

// One file of a release: its directory below the release root
// ('/'-separated, empty at the top) and its name.
struct ReleaseName {
  std::wstring local_path;
  std::wstring file_name;
};

// False with one line per problem in |error| when a name cannot be
// installed everywhere: a name component over 255 bytes in UTF-8, a path
// over 260 UTF-16 units (an install directory only makes it longer), or two
// names a Windows install would take as one because they differ only in case
// (a file against a file, or a file against a directory).
bool CheckReleaseNames(const std::vector<ReleaseName>& names, std::wstring* error);
