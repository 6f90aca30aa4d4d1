#include "digest/sha256_file.h"

#include <vector>

#include "digest/hex.h"
#include "platform/file.h"
#include "platform/signature.h"
#include "platform/text.h"

bool FeedFile(const std::wstring& path, platform::Sha256* sha) {
  platform::File file;
  if (!file.Open(path, platform::File::kRead)) return false;
  std::vector<char> buf(1 << 16);
  for (;;) {
    long n = file.Read(buf.data(), buf.size());
    if (n < 0) return false;
    if (n == 0) return true;
    sha->Update(buf.data(), static_cast<size_t>(n));
  }
}

bool Sha256OfFile(const std::wstring& path, std::wstring* hex) {
  platform::Sha256 sha;
  if (!FeedFile(path, &sha)) return false;
  uint8_t digest[platform::kSha256Size];
  if (!sha.Final(digest)) return false;
  *hex = platform::FromAnsi(ToHex(digest, sizeof(digest)));
  return true;
}
