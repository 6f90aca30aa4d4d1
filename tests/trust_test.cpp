#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"
#include "signing_key.h"
#include "support/temp_dir.h"
#include "update/status_texts.h"
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

TEST_F(TrustTest, OnlyAMissingKeyFileTurnsTrustOff) {
  CUpdateTrust trust;
  trust.Load(dir_.WFile("absent.pub"));
  EXPECT_FALSE(trust.Enabled());
  EXPECT_EQ(trust.load_error(), L"");
  trust.Load(dir_.WFile("no-such-dir/UpdateTrust.pub"));
  EXPECT_FALSE(trust.Enabled());

  // A key line after more comments than a signature file may hold, and one
  // saved with a byte-order mark, are both read.
  std::string comments;
  while (comments.size() < 70 * 1024) comments += "# " + std::string(77, 'c') + "\r\n";
  for (const std::string& text : {comments + key_.PublicKeyLine() + "\r\n" + comments,
                                  "\xEF\xBB\xBF" + key_.PublicKeyLine() + "\r\n"}) {
    WriteFileBytes(dir_.File("UpdateTrust.pub"), text);
    Sign(kName, nullptr);
    EXPECT_EQ(Check(), TrustVerdict::kTrusted) << text.substr(0, 8);
    trust.Load(dir_.WFile("UpdateTrust.pub"));
    EXPECT_EQ(trust.load_error(), L"");
  }
}

TEST_F(TrustTest, KeyFileWithoutAUsableKeyRefusesEverything) {
  Sign(kName, nullptr);
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"empty", ""},
      {"comments only", "# no keys yet\n\n   \n"},
      {"damaged key", key_.PublicKeyLine().substr(0, 50) + "\n"},
  };
  for (const Case& c : cases) {
    WriteFileBytes(dir_.File("UpdateTrust.pub"), c.text);
    CUpdateTrust trust;
    trust.Load(dir_.WFile("UpdateTrust.pub"));
    EXPECT_TRUE(trust.Enabled()) << c.name;
    EXPECT_TRUE(trust.keys().empty()) << c.name;
    EXPECT_EQ(trust.Verify(dir_.WFile("doc.xml"), dir_.WFile("doc.xml.sig"), kName, false, kNow),
              TrustVerdict::kUnknownKey)
        << c.name;
    EXPECT_EQ(trust.load_error(),
              platform::Format(texts::kTrustKeyNone, dir_.WFile("UpdateTrust.pub").c_str()))
        << c.name;
  }
}

TEST_F(TrustTest, KeyFileThatCannotBeReadWholeRefusesEverything) {
  Sign(kName, nullptr);
  const std::string valid = key_.PublicKeyLine() + "\n";
  ASSERT_EQ(mkdir(dir_.File("directory.pub").c_str(), 0755), 0);
  ASSERT_EQ(symlink(dir_.File("gone.pub").c_str(), dir_.File("dangling.pub").c_str()), 0);
  WriteFileBytes(dir_.File("huge.pub"), valid + std::string(2u << 20, '#'));
  std::vector<std::string> names = {"directory.pub", "dangling.pub", "huge.pub"};
  // Root reads any file whatever its mode.
  WriteFileBytes(dir_.File("private.pub"), valid);
  ASSERT_EQ(chmod(dir_.File("private.pub").c_str(), 0), 0);
  if (!platform::CanOpenForRead(dir_.WFile("private.pub"))) names.push_back("private.pub");
  for (const std::string& name : names) {
    CUpdateTrust trust;
    trust.Load(dir_.WFile(name));
    EXPECT_TRUE(trust.Enabled()) << name;
    EXPECT_TRUE(trust.keys().empty()) << name;
    EXPECT_EQ(trust.Verify(dir_.WFile("doc.xml"), dir_.WFile("doc.xml.sig"), kName, false, kNow),
              TrustVerdict::kUnknownKey)
        << name;
    EXPECT_EQ(trust.load_error(), platform::Format(texts::kTrustKeyUnreadable, dir_.WFile(name).c_str()))
        << name;
  }
  // A later load of a good file clears the failure.
  CUpdateTrust trust;
  trust.Load(dir_.WFile("huge.pub"));
  trust.Load(dir_.WFile("UpdateTrust.pub"));
  EXPECT_EQ(trust.load_error(), L"");
  EXPECT_EQ(trust.keys().size(), 1u);
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
