#pragma once
// The progress record of an interrupted download: it lets a later attempt,
// in this run or the next, take up the pending copy where the durable bytes
// end instead of fetching the whole file again.
//
// It lives beside the pending copy, named "<pending copy>.progress", as
// LF-terminated text:
//
//   updater-progress 1
//   length 67108864                     (the file's expected length)
//   validator etag "5f1e-4000000"       (or: validator modified <date>)
//   part 0 1048576                      (per part: first byte, durable bytes)
//   ...
//   plan <SHA-256 of a chunk index>     (instead of validator and parts: the
//                                        copy is being built from that index)
//   check <MD5 of every line above, in hexadecimal>
//
// A record only ever counts bytes that were on disk before it was written.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/disk.h"

struct DownloadProgress {
  // How the validator is sent back in If-Range: an entity tag as the
  // server gave it, or a Last-Modified date.
  enum Kind { kEntityTag, kModified };
  struct Part {
    uint64_t first = 0;
    uint64_t done = 0;
  };
  uint64_t length = 0;
  Kind kind = kEntityTag;
  std::string validator;
  std::vector<Part> parts;
  // Of a copy built from a chunk index: the index's SHA-256 in lower-case
  // hexadecimal. Such a record counts no bytes: what the copy holds is
  // told by the chunks' digests.
  std::string plan;

  uint64_t DoneBytes() const;
};

std::wstring ProgressRecordPath(const std::wstring& pending);
std::string FormatProgress(const DownloadProgress& progress);
// False for text that is not a whole, intact record.
bool ParseProgress(const std::string& text, DownloadProgress* progress);

// Replaces the record of |pending| in one step. The caller has made the
// bytes it counts durable first.
bool SaveProgress(platform::Disk& disk, const std::wstring& pending, const DownloadProgress& progress);
// The record of |pending| when it is intact, belongs to a file of
// |length| bytes, and the pending copy holds at least what it claims.
// Any other record is deleted, and the file starts from zero.
bool LoadProgress(platform::Disk& disk, const std::wstring& pending, uint64_t length,
                  DownloadProgress* progress);
void DeleteProgress(platform::Disk& disk, const std::wstring& pending);
