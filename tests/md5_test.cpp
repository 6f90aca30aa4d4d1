#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "digest/md5.h"
#include "platform/text.h"
#include "support/temp_dir.h"

namespace {

std::string Final(MD5_CTX& ctx) {
  unsigned char digest[16];
  ctx.MD5Final(digest);
  char text[33];
  for (int i = 0; i < 16; ++i) snprintf(text + 2 * i, 3, "%02x", digest[i]);
  return text;
}

std::string Hex(MD5_CTX& ctx, const std::string& message) {
  ctx.MD5Update(reinterpret_cast<const unsigned char*>(message.data()),
                static_cast<uint32_t>(message.size()));
  return Final(ctx);
}

std::string Md5sum(const std::string& path) {
  std::string cmd = "md5sum '" + path + "'";
  FILE* pipe = popen(cmd.c_str(), "r");
  char out[64] = {};
  if (fgets(out, sizeof(out), pipe) == nullptr) out[0] = 0;
  pclose(pipe);
  return std::string(out, 32);
}

}  // namespace

TEST(Md5, RfcTestSuite) {
  const struct {
    const char* message;
    const char* digest;
  } kSuite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  MD5_CTX ctx;  // reused on purpose: Final must leave a fresh context
  for (const auto& t : kSuite) EXPECT_EQ(Hex(ctx, t.message), t.digest) << t.message;
}

TEST(Md5, PiecewiseUpdatesEqualOneUpdate) {
  std::string data(1000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 3);
  MD5_CTX whole;
  std::string expected = Hex(whole, data);
  for (size_t step : {1u, 3u, 63u, 64u, 65u, 127u}) {
    MD5_CTX ctx;
    for (size_t pos = 0; pos < data.size(); pos += step) {
      std::string piece = data.substr(pos, step);
      ctx.MD5Update(reinterpret_cast<const unsigned char*>(piece.data()),
                    static_cast<uint32_t>(piece.size()));
    }
    EXPECT_EQ(Final(ctx), expected) << "step " << step;
  }
}

TEST(Md5, DigestFileAgreesWithMd5sumAcrossBlockBoundaries) {
  TempDir dir;
  srand(7);
  for (size_t size : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 1048575u, 1048577u, 5u * 1048576u + 13u}) {
    std::string data(size, '\0');
    for (auto& c : data) c = static_cast<char>(rand());
    std::string path = dir.File("f" + std::to_string(size));
    WriteFileBytes(path, data);
    char text[33];
    MD5_CTX ctx;
    ASSERT_TRUE(ctx.DigestFile(text, platform::FromUtf8(path)));
    EXPECT_EQ(std::string(text), Md5sum(path)) << size;
    EXPECT_EQ(strlen(text), 32u);
  }
}

TEST(Md5, MissingFileLeavesTextUntouched) {
  char text[33] = "unchanged";
  MD5_CTX ctx;
  EXPECT_FALSE(ctx.DigestFile(text, L"/nonexistent/file"));
  EXPECT_STREQ(text, "unchanged");
}
