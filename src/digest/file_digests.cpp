#include "digest/file_digests.h"

#include <vector>

#include "digest/hex.h"
#include "digest/md5.h"
#include "platform/signature.h"
#include "platform/text.h"

bool FileDigests(platform::Disk& disk, const std::wstring& path, std::wstring* md5, std::wstring* sha256) {
  std::unique_ptr<platform::DiskFile> file = disk.Open(path, platform::File::kRead);
  if (!file) return false;
  MD5_CTX md5_ctx;
  platform::Sha256 sha;
  std::vector<unsigned char> buf(1 << 18);
  for (;;) {
    long n = file->Read(buf.data(), buf.size());
    if (n < 0) return false;
    if (n == 0) break;
    md5_ctx.MD5Update(buf.data(), static_cast<uint32_t>(n));
    if (sha256) sha.Update(buf.data(), static_cast<size_t>(n));
  }
  unsigned char md5_digest[16];
  md5_ctx.MD5Final(md5_digest);
  if (sha256) {
    uint8_t sha_digest[platform::kSha256Size];
    if (!sha.Final(sha_digest)) return false;
    *sha256 = platform::FromAnsi(ToHex(sha_digest, sizeof(sha_digest)));
  }
  *md5 = platform::FromAnsi(ToHex(md5_digest, sizeof(md5_digest)));
  return true;
}
