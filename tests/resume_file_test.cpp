#include <gtest/gtest.h>

#include <vector>

#include "platform/text.h"
#include "support/temp_dir.h"
#include "update/resume_file.h"

TEST(ResumeFile, ServerEntriesUpTo20CharactersAreUsedAsTheyStand) {
  EXPECT_EQ(DescrambleServerEntry(L""), L"");
  EXPECT_EQ(DescrambleServerEntry(L"127.0.0.1:8080/game"), L"127.0.0.1:8080/game");
  EXPECT_EQ(DescrambleServerEntry(L"01234567890123456789"), L"01234567890123456789");
}

TEST(ResumeFile, LongerEntriesAreDescrambled) {
  EXPECT_EQ(DescrambleServerEntry(L"xxxxxxxxxxxxxxxxxxxxba`"), L"abc");
  EXPECT_EQ(DescrambleServerEntry(L"xxxxxxxxxxxxxxxxxxxxB"), L"A");
  std::wstring address = L"http://127.0.0.1:18080/mirror/中文";
  EXPECT_EQ(DescrambleServerEntry(ScrambleServerEntry(address, L"filler")), address);
}

TEST(ResumeFile, ReadsDefaultsWithoutAFileAndRecordsValues) {
  TempDir dir;
  ResumeFile file(dir.WFile("UpdateTemp.ini"));
  EXPECT_EQ(file.ReadCurrentVersion(L"0"), L"0");
  EXPECT_EQ(file.ReadServerAddress(1), L"");
  EXPECT_EQ(file.ReadHomeUrl(), L"");
  ASSERT_TRUE(file.WriteCurrentVersion(L"6"));
  ASSERT_TRUE(file.WriteServerAddress(2, L"127.0.0.1:9"));
  EXPECT_EQ(file.ReadCurrentVersion(L"0"), L"6");
  EXPECT_EQ(file.ReadServerAddress(2), L"127.0.0.1:9");
  EXPECT_EQ(file.ReadServerAddress(9), L"");
}

TEST(ResumeFile, ValuesAreCutAtTheirBuffers) {
  TempDir dir;
  ResumeFile file(dir.WFile("UpdateTemp.ini"));
  file.WriteCurrentVersion(std::wstring(300, L'7'));
  EXPECT_EQ(file.ReadCurrentVersion(L"").size(), 199u);
  std::wstring server(20, L'x');
  server += std::wstring(280, L'b');
  file.WriteServerAddress(1, server);
  EXPECT_EQ(file.ReadServerAddress(1).size(), 255u - 20u);
}

TEST(ResumeFile, ARecordedVersionThatIsNotDigitsAndDotsReadsAsZeroAndIsLogged) {
  TempDir dir;
  std::vector<std::wstring> logged;
  ResumeFile file(dir.WFile("UpdateTemp.ini"), [&](const std::wstring& text) { logged.push_back(text); });
  EXPECT_EQ(file.ReadCurrentVersion(L""), L"");
  EXPECT_TRUE(logged.empty());
  WriteFileBytes(dir.File("UpdateTemp.ini"), "[Version]\r\nCurrentVersion=12.3\r\n");
  EXPECT_EQ(file.ReadCurrentVersion(L""), L"12.3");
  EXPECT_TRUE(logged.empty());
  WriteFileBytes(dir.File("UpdateTemp.ini"), "[Version]\r\nCurrentVersion=6/../../../OUTSIDE/pwn\r\n");
  EXPECT_EQ(file.ReadCurrentVersion(L""), L"0");
  EXPECT_EQ(file.ReadCurrentVersion(L"0"), L"0");
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_NE(logged[0].find(L"6/../../../OUTSIDE/pwn"), std::wstring::npos);
  // Without a log the value still reads as "0".
  EXPECT_EQ(ResumeFile(dir.WFile("UpdateTemp.ini")).ReadCurrentVersion(L""), L"0");
}

TEST(ResumeFile, AnEntryIsAnAddressOnlyWithAHostAndNoControlCharacters) {
  for (const wchar_t* usable : {L"127.0.0.1:8080", L"127.0.0.1:8080/game", L"updates", L"http://a.test",
                                L"HTTPS://cdn.example.test:8443/game/中文", L"https://a-b.example.test/"}) {
    EXPECT_TRUE(IsUsableServerAddress(usable)) << platform::ToUtf8(usable);
  }
  for (const wchar_t* unusable : {L"", L"http://", L"https:///game", L":8080", L"/game",
                                  L"a.test:99999", L"a.test:80x", L"a.test\x01/game", L"a.test/\x7f",
                                  L"http://a b.test/", L"user@a.test"}) {
    EXPECT_FALSE(IsUsableServerAddress(unusable)) << platform::ToUtf8(unusable);
  }
  // Addresses written by hand where scrambled ones were due.
  for (const wchar_t* plain : {L"https://updates.example.test:8443", L"https://cdn.example.test/game",
                               L"http://127.0.0.1:80/0game"}) {
    EXPECT_FALSE(IsUsableServerAddress(DescrambleServerEntry(plain))) << platform::ToUtf8(plain);
  }
}

TEST(ResumeFile, TheBandwidthCapIsKibibytesPerSecondAndAnythingButAPositiveNumberIsNone) {
  TempDir dir;
  ResumeFile file(dir.WFile("UpdateTemp.ini"));
  EXPECT_EQ(file.ReadMaxRate(), 0u);
  const std::pair<const char*, uint32_t> cases[] = {
      {"4096", 4096}, {" 512 KiB", 512}, {"0", 0}, {"-5", 0}, {"fast", 0}, {"", 0}};
  for (const auto& c : cases) {
    WriteFileBytes(dir.File("UpdateTemp.ini"), std::string("[Version]\r\nCurrentVersion=3\r\n[download]\r\nmaxrate=") +
                                                   c.first + "\r\n");
    EXPECT_EQ(file.ReadMaxRate(), c.second) << c.first;
  }
}
