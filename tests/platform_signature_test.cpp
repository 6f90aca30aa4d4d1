#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "digest/hex.h"
#include "digest/sha256_file.h"
#include "platform/signature.h"
#include "platform/text.h"
#include "signing_key.h"
#include "support/temp_dir.h"
#include "update/signature_file.h"

namespace {

std::string Sha256Hex(const std::string& message, size_t piece) {
  platform::Sha256 sha;
  for (size_t i = 0; i < message.size(); i += piece) {
    sha.Update(message.data() + i, std::min(piece, message.size() - i));
  }
  uint8_t digest[platform::kSha256Size];
  EXPECT_TRUE(sha.Final(digest));
  return ToHex(digest, sizeof(digest));
}

std::string Sha256sum(const std::string& path) {
  FILE* pipe = popen(("sha256sum '" + path + "'").c_str(), "r");
  char out[80] = {};
  if (fgets(out, sizeof(out), pipe) == nullptr) out[0] = 0;
  pclose(pipe);
  return std::string(out, 64);
}

}  // namespace

TEST(Sha256, KnownAnswersInPiecesOfAnySize) {
  EXPECT_EQ(Sha256Hex("", 1), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc", 1), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  for (size_t piece : {1u, 7u, 64u, 1000u}) {
    EXPECT_EQ(Sha256Hex(two_blocks, piece),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  }
  EXPECT_EQ(Sha256Hex(std::string(1000000, 'a'), 4096),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, FileDigestMatchesSha256sumAndMissingFileFails) {
  TempDir dir;
  std::string data;
  for (int i = 0; i < 300000; ++i) data += static_cast<char>(i * 7 + (i >> 9));
  WriteFileBytes(dir.File("f.bin"), data);
  std::wstring hex = L"untouched";
  ASSERT_TRUE(Sha256OfFile(dir.WFile("f.bin"), &hex));
  EXPECT_EQ(platform::ToAnsi(hex), Sha256sum(dir.File("f.bin")));
  hex = L"untouched";
  EXPECT_FALSE(Sha256OfFile(dir.WFile("absent"), &hex));
  EXPECT_EQ(hex, L"untouched");
}

TEST(P256, PublisherSignatureVerifiesAndNothingElseDoes) {
  TempDir dir;
  SigningKey key;
  std::wstring error;
  ASSERT_TRUE(key.Generate(dir.WFile("k.pem"), &error));
  WriteFileBytes(dir.File("doc"), "document bytes");
  ASSERT_TRUE(key.Sign(dir.WFile("doc"), "update/doc", nullptr, &error));
  SignatureFile sig;
  ASSERT_TRUE(ParseSignatureFile(ReadFileBytes(dir.File("doc.sig")), &sig));
  TrustedKey trusted;
  ASSERT_TRUE(ParsePublicKeyLine(key.PublicKeyLine(), &trusted));
  EXPECT_EQ(trusted.id, sig.key_id);

  platform::Sha256 sha;
  sha.Update("document bytes", 14);
  sha.Update(sig.signed_lines.data(), sig.signed_lines.size());
  uint8_t digest[platform::kSha256Size];
  ASSERT_TRUE(sha.Final(digest));
  EXPECT_TRUE(platform::VerifyP256(trusted.point, digest, sig.signature));

  for (size_t bit : {0u, 255u, 511u}) {
    uint8_t flipped[platform::kP256SignatureSize];
    memcpy(flipped, sig.signature, sizeof(flipped));
    flipped[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    EXPECT_FALSE(platform::VerifyP256(trusted.point, digest, flipped)) << bit;
  }
  digest[31] ^= 1;
  EXPECT_FALSE(platform::VerifyP256(trusted.point, digest, sig.signature));
  digest[31] ^= 1;

  uint8_t off_curve[platform::kP256PublicKeySize];
  memcpy(off_curve, trusted.point, sizeof(off_curve));
  off_curve[64] ^= 1;
  EXPECT_FALSE(platform::VerifyP256(off_curve, digest, sig.signature));
  uint8_t zero[platform::kP256SignatureSize] = {};
  EXPECT_FALSE(platform::VerifyP256(trusted.point, digest, zero));
}

TEST(P256, PublicKeyLines) {
  TempDir dir;
  SigningKey key;
  std::wstring error;
  ASSERT_TRUE(key.Generate(dir.WFile("k.pem"), &error));
  std::string line = key.PublicKeyLine();
  EXPECT_EQ(line.size(), 11u + 130u);
  TrustedKey parsed;
  EXPECT_TRUE(ParsePublicKeyLine(line, &parsed));
  EXPECT_TRUE(ParsePublicKeyLine(line + " build server", &parsed));
  EXPECT_FALSE(ParsePublicKeyLine(line + "0", &parsed));
  EXPECT_FALSE(ParsePublicKeyLine(line.substr(0, 140), &parsed));
  EXPECT_FALSE(ParsePublicKeyLine("ed25519 " + line.substr(11), &parsed));
  std::string compressed = line;
  compressed[12] = '2';  // 0x02: a compressed point
  EXPECT_FALSE(ParsePublicKeyLine(compressed, &parsed));
}
