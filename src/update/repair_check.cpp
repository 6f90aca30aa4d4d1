#include "update/repair_check.h"

#include <memory>
#include <vector>

#include "digest/hex.h"
#include "digest/md5.h"
#include "manifest/update_file.h"
#include "platform/signature.h"
#include "platform/text.h"

namespace {

constexpr size_t kReadSize = 1 << 20;

}  // namespace

bool InstalledFileMatches(platform::Disk& disk, const CUpdateFile& entry) {
  uint64_t size = 0;
  if (!disk.GetSize(entry.FullPath, &size) || entry.Length < 0 || size != static_cast<uint64_t>(entry.Length)) {
    return false;
  }
  const bool use_sha256 = !entry.Sha256.empty();
  // An entry that vouches for no contents is satisfied by its length.
  if (!use_sha256 && entry.Md5.empty()) return true;
  std::unique_ptr<platform::DiskFile> file = disk.Open(entry.FullPath, platform::File::kRead);
  if (!file) return false;
  platform::Sha256 sha;
  MD5_CTX md5;
  std::vector<char> buffer(kReadSize);
  uint64_t total = 0;
  for (;;) {
    const long n = file->Read(buffer.data(), buffer.size());
    if (n < 0) return false;
    if (n == 0) break;
    total += static_cast<uint64_t>(n);
    if (use_sha256) sha.Update(buffer.data(), static_cast<size_t>(n));
    else md5.MD5Update(reinterpret_cast<const unsigned char*>(buffer.data()), static_cast<uint32_t>(n));
  }
  if (total != size) return false;
  if (use_sha256) {
    uint8_t digest[platform::kSha256Size];
    return sha.Final(digest) && platform::EqualsNoCase(platform::FromAnsi(ToHex(digest, sizeof(digest))), entry.Sha256);
  }
  unsigned char digest[16];
  md5.MD5Final(digest);
  return platform::EqualsNoCase(platform::FromAnsi(ToHex(digest, sizeof(digest))), entry.Md5);
}
