#include <gtest/gtest.h>

#include <ctime>

#include "platform/text.h"
#include "signing_key.h"
#include "support/temp_dir.h"
#include "update/trust.h"

namespace {

const char kName[] = "update/6/FileConfig.xml";
const char kListName[] = "update/VerAndUrl.xml";
const int64_t kNow = 1800000000;

class TrustTest : public testing::Test {
 protected:
  void SetUp() override {
    std::wstring error;
    ASSERT_TRUE(key_.Generate(dir_.WFile("publisher.pem"), &error));
    WriteFileBytes(dir_.File("UpdateTrust.pub"), key_.PublicKeyLine() + "\n");
    WriteFileBytes(dir_.File("doc.xml"), "<r><Product productVerion=\"6\"/></r>\r\n");
  }
  // Signs doc.xml as |name|; |expires| may be null.
  void Sign(const std::string& name, const int64_t* expires, const SigningKey* key = nullptr) {
    std::wstring error;
    ASSERT_TRUE((key ? key : &key_)->Sign(dir_.WFile("doc.xml"), name, expires, &error));
  }
  TrustVerdict Check(const std::string& name = kName, bool expiring = false) {
    CUpdateTrust trust;
    trust.Load(dir_.WFile("UpdateTrust.pub"));
    EXPECT_TRUE(trust.Enabled());
    return trust.Verify(dir_.WFile("doc.xml"), dir_.WFile("doc.xml.sig"), name, expiring, kNow);
  }
  void FlipByte(const std::string& file, size_t offset) {
    std::string bytes = ReadFileBytes(dir_.File(file));
    bytes.at(offset) ^= 0x01;
    WriteFileBytes(dir_.File(file), bytes);
  }

  TempDir dir_;
  SigningKey key_;
};

}  // namespace

TEST_F(TrustTest, SignedDocumentIsTrustedAndAnyChangedByteIsNot) {
  Sign(kName, nullptr);
  EXPECT_EQ(Check(), TrustVerdict::kTrusted);

  FlipByte("doc.xml", 20);
  EXPECT_EQ(Check(), TrustVerdict::kBadSignature);
  FlipByte("doc.xml", 20);

  // Another hex digit of s: still well-formed, no longer valid.
  std::string sig = ReadFileBytes(dir_.File("doc.xml.sig"));
  char& digit = sig[sig.size() - 2];
  digit = digit == '0' ? '1' : '0';
  WriteFileBytes(dir_.File("doc.xml.sig"), sig);
  EXPECT_EQ(Check(), TrustVerdict::kBadSignature);
}

TEST_F(TrustTest, MissingEmptyOrMalformedSignatures) {
  CUpdateTrust trust;
  trust.Load(dir_.WFile("UpdateTrust.pub"));
  EXPECT_EQ(trust.Verify(dir_.WFile("doc.xml"), L"", kName, false, kNow), TrustVerdict::kMissing);
  EXPECT_EQ(Check(), TrustVerdict::kMissing);  // no .sig file on disk
  WriteFileBytes(dir_.File("doc.xml.sig"), "");
  EXPECT_EQ(Check(), TrustVerdict::kMissing);

  Sign(kName, nullptr);
  std::string good = ReadFileBytes(dir_.File("doc.xml.sig"));
  const std::string broken[] = {
      "garbage\n",
      good.substr(0, good.size() - 1),                 // no final LF
      good + "extra\n",                                 // trailing line
      good.substr(0, good.size() - 3) + "zz\n",         // not hex
      "updater-signature 2" + good.substr(19),          // unknown format version
      std::string(5000, 'x'),
  };
  for (const std::string& text : broken) {
    WriteFileBytes(dir_.File("doc.xml.sig"), text);
    EXPECT_EQ(Check(), TrustVerdict::kMalformed) << text;
  }
}

TEST_F(TrustTest, OnlyTrustedKeysCountAndRotationKeepsSeveral) {
  SigningKey other;
  std::wstring error;
  ASSERT_TRUE(other.Generate(dir_.WFile("other.pem"), &error));
  Sign(kName, nullptr, &other);
  EXPECT_EQ(Check(), TrustVerdict::kUnknownKey);

  // A second key line: both publishers are believed.
  WriteFileBytes(dir_.File("UpdateTrust.pub"),
                 "# rotation\n" + key_.PublicKeyLine() + " old\r\n\n" + other.PublicKeyLine() + "\n");
  EXPECT_EQ(Check(), TrustVerdict::kTrusted);

  // A signature that claims a trusted key's id but was made by another key.
  std::string sig = ReadFileBytes(dir_.File("doc.xml.sig"));
  CUpdateTrust trust;
  trust.Load(dir_.WFile("UpdateTrust.pub"));
  ASSERT_EQ(trust.keys().size(), 2u);
  size_t at = sig.find(trust.keys()[1].id);
  ASSERT_NE(at, std::string::npos);
  sig.replace(at, 16, trust.keys()[0].id);
  WriteFileBytes(dir_.File("doc.xml.sig"), sig);
  EXPECT_EQ(Check(), TrustVerdict::kBadSignature);
}

TEST_F(TrustTest, KeyFileDecidesWhetherTrustIsOn) {
  CUpdateTrust trust;
  trust.Load(dir_.WFile("absent.pub"));
  EXPECT_FALSE(trust.Enabled());
  WriteFileBytes(dir_.File("comments.pub"), "# no keys yet\n\n   \n");
  trust.Load(dir_.WFile("comments.pub"));
  EXPECT_FALSE(trust.Enabled());
  // A damaged key turns trust on and matches nothing.
  WriteFileBytes(dir_.File("damaged.pub"), key_.PublicKeyLine().substr(0, 50) + "\n");
  trust.Load(dir_.WFile("damaged.pub"));
  EXPECT_TRUE(trust.Enabled());
  EXPECT_TRUE(trust.keys().empty());
  Sign(kName, nullptr);
  EXPECT_EQ(trust.Verify(dir_.WFile("doc.xml"), dir_.WFile("doc.xml.sig"), kName, false, kNow),
            TrustVerdict::kUnknownKey);
}

TEST_F(TrustTest, SignatureIsBoundToItsDocumentAndExpiry) {
  Sign("update/5/FileConfig.xml", nullptr);
  EXPECT_EQ(Check(), TrustVerdict::kWrongDocument);  // an older release's manifest replayed

  Sign(kName, nullptr);
  EXPECT_EQ(Check(kListName, true), TrustVerdict::kWrongDocument);

  int64_t later = kNow + 60;
  Sign(kListName, &later);
  EXPECT_EQ(Check(kListName, true), TrustVerdict::kTrusted);
  int64_t past = kNow;
  Sign(kListName, &past);
  EXPECT_EQ(Check(kListName, true), TrustVerdict::kExpired);

  // The expiry is signed: moving it forward breaks the signature.
  std::string sig = ReadFileBytes(dir_.File("doc.xml.sig"));
  size_t at = sig.find("expires " + std::to_string(kNow));
  sig.replace(at, 18, "expires " + std::to_string(kNow + 999));
  WriteFileBytes(dir_.File("doc.xml.sig"), sig);
  EXPECT_EQ(Check(kListName, true), TrustVerdict::kBadSignature);

  // A version list must carry an expiry.
  Sign(kListName, nullptr);
  EXPECT_EQ(Check(kListName, true), TrustVerdict::kMalformed);
}

TEST(Trust, RollbackComparesVersionsNumberByNumber) {
  EXPECT_TRUE(IsRollback(L"7", L"6"));
  EXPECT_TRUE(IsRollback(L"10", L"9"));
  EXPECT_TRUE(IsRollback(L"1.10", L"1.9"));
  EXPECT_FALSE(IsRollback(L"7", L"7"));
  EXPECT_FALSE(IsRollback(L"7", L"7.0"));
  EXPECT_FALSE(IsRollback(L"9", L"10"));
  EXPECT_FALSE(IsRollback(L"", L"3"));
  EXPECT_FALSE(IsRollback(L"0", L"0"));
}

TEST(Trust, VerdictsHaveDistinctTexts) {
  std::wstring seen;
  for (int v = 1; v <= static_cast<int>(TrustVerdict::kRollback); ++v) {
    std::wstring text = TrustVerdictText(static_cast<TrustVerdict>(v));
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(seen.find(L"|" + text + L"|"), std::wstring::npos);
    seen += L"|" + text + L"|";
  }
}
