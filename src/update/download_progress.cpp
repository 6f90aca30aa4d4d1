#include "update/download_progress.h"

#include <cstdio>
#include <cstring>
#include <sstream>

#include "digest/hex.h"
#include "digest/md5.h"
#include "platform/disk.h"

namespace {

const char kMagic[] = "updater-progress 1";
// A record is a few lines; anything larger is not one.
constexpr size_t kMaxRecord = 4096;
constexpr size_t kMaxValidator = 256;
constexpr size_t kMaxParts = 64;

std::string Check(const std::string& body) {
  MD5_CTX ctx;
  unsigned char digest[16];
  ctx.MD5Update(reinterpret_cast<const unsigned char*>(body.data()), static_cast<uint32_t>(body.size()));
  ctx.MD5Final(digest);
  return ToHex(digest, sizeof(digest));
}

bool ReadNumber(std::istringstream& in, uint64_t* value) {
  std::string word;
  if (!(in >> word) || word.empty() || word.size() > 20) return false;
  uint64_t v = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
    const uint64_t next = v * 10 + static_cast<uint64_t>(c - '0');
    if (next / 10 != v) return false;
    v = next;
  }
  *value = v;
  return true;
}

bool ReadWhole(platform::Disk& disk, const std::wstring& path, std::string* text) {
  std::unique_ptr<platform::DiskFile> file = disk.Open(path, platform::File::kRead);
  if (!file) return false;
  char buffer[kMaxRecord + 1];
  size_t size = 0;
  for (;;) {
    long got = file->Read(buffer + size, sizeof(buffer) - size);
    if (got < 0) return false;
    if (got == 0) break;
    size += static_cast<size_t>(got);
    if (size > kMaxRecord) return false;
  }
  text->assign(buffer, size);
  return true;
}

}  // namespace

uint64_t DownloadProgress::DoneBytes() const {
  uint64_t done = 0;
  for (const Part& part : parts) done += part.done;
  return done;
}

std::wstring ProgressRecordPath(const std::wstring& pending) { return pending + L".progress"; }

std::string FormatProgress(const DownloadProgress& progress) {
  std::string body = std::string(kMagic) + "\n";
  body += "length " + std::to_string(progress.length) + "\n";
  if (!progress.validator.empty()) {
    body += std::string("validator ") + (progress.kind == DownloadProgress::kEntityTag ? "etag " : "modified ") +
            progress.validator + "\n";
  }
  if (!progress.plan.empty()) body += "plan " + progress.plan + "\n";
  for (const DownloadProgress::Part& part : progress.parts) {
    body += "part " + std::to_string(part.first) + " " + std::to_string(part.done) + "\n";
  }
  return body + "check " + Check(body) + "\n";
}

bool ParseProgress(const std::string& text, DownloadProgress* progress) {
  if (text.size() > kMaxRecord || text.empty() || text.back() != '\n') return false;
  const size_t check_at = text.rfind("check ", text.size() - 1);
  if (check_at == std::string::npos || (check_at > 0 && text[check_at - 1] != '\n')) return false;
  const std::string body = text.substr(0, check_at);
  if (text.compare(check_at + 6, std::string::npos, Check(body) + "\n") != 0) return false;
  std::istringstream lines(body);
  std::string line;
  if (!std::getline(lines, line) || line != kMagic) return false;
  DownloadProgress read;
  bool have_length = false, have_validator = false;
  while (std::getline(lines, line)) {
    std::istringstream in(line);
    std::string key;
    in >> key;
    if (key == "length") {
      if (!ReadNumber(in, &read.length)) return false;
      have_length = true;
    } else if (key == "validator") {
      std::string kind;
      in >> kind;
      if (kind != "etag" && kind != "modified") return false;
      read.kind = kind == "etag" ? DownloadProgress::kEntityTag : DownloadProgress::kModified;
      std::getline(in >> std::ws, read.validator);
      if (read.validator.empty() || read.validator.size() > kMaxValidator) return false;
      have_validator = true;
    } else if (key == "plan") {
      in >> read.plan;
      if (read.plan.size() != 64 || read.plan.find_first_not_of("0123456789abcdef") != std::string::npos) {
        return false;
      }
    } else if (key == "part") {
      DownloadProgress::Part part;
      if (!ReadNumber(in, &part.first) || !ReadNumber(in, &part.done)) return false;
      if (read.parts.size() >= kMaxParts) return false;
      read.parts.push_back(part);
    } else {
      return false;
    }
  }
  if (!have_length) return false;
  if (read.plan.empty() ? !have_validator || read.parts.empty() : !read.parts.empty()) return false;
  // Parts in order, each inside the file and ending before the next begins.
  for (size_t i = 0; i < read.parts.size(); ++i) {
    const uint64_t end = i + 1 < read.parts.size() ? read.parts[i + 1].first : read.length;
    if (read.parts[i].first > end || read.parts[i].done > end - read.parts[i].first) return false;
  }
  *progress = read;
  return true;
}

bool SaveProgress(platform::Disk& disk, const std::wstring& pending, const DownloadProgress& progress) {
  const std::wstring record = ProgressRecordPath(pending);
  const std::wstring temp = record + L".new";
  const std::string text = FormatProgress(progress);
  std::unique_ptr<platform::DiskFile> file = disk.Open(temp, platform::File::kCreateTruncate);
  if (!file) return false;
  bool ok = file->Write(text.data(), text.size()) && file->Sync();
  ok = file->Close() && ok;
  // The name may be lost in a crash: the record before it still holds.
  if (!ok || !disk.Replace(temp, record)) {
    disk.Delete(temp);
    return false;
  }
  return true;
}

bool LoadProgress(platform::Disk& disk, const std::wstring& pending, uint64_t length,
                  DownloadProgress* progress) {
  const std::wstring record = ProgressRecordPath(pending);
  std::string text;
  if (!ReadWhole(disk, record, &text)) return false;
  DownloadProgress read;
  uint64_t size = 0;
  bool usable = ParseProgress(text, &read) && read.length == length &&
                disk.GetSize(pending, &size);
  // The copy must hold every byte the record counts.
  for (const DownloadProgress::Part& part : read.parts) {
    usable = usable && part.first + part.done <= size;
  }
  if (!usable) {
    disk.Delete(record);
    return false;
  }
  *progress = read;
  return true;
}

void DeleteProgress(platform::Disk& disk, const std::wstring& pending) {
  disk.Delete(ProgressRecordPath(pending));
}
