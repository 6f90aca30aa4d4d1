#include "manifest/packed_entries.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

void ExpectSame(const CUpdateFile& want, const CUpdateFile& got) {
  EXPECT_EQ(got.FileName, want.FileName);
  EXPECT_EQ(got.FileVersion, want.FileVersion);
  EXPECT_EQ(got.ProductVersion, want.ProductVersion);
  EXPECT_EQ(got.InstallDir, want.InstallDir);
  EXPECT_EQ(got.LocalPath, want.LocalPath);
  EXPECT_EQ(got.FullPath, want.FullPath);
  EXPECT_EQ(got.Md5, want.Md5);
  EXPECT_EQ(got.Sha256, want.Sha256);
  EXPECT_EQ(got.Chunks, want.Chunks);
  EXPECT_EQ(got.ChunksSha256, want.ChunksSha256);
  EXPECT_EQ(got.Length, want.Length);
  EXPECT_EQ(got.FileDate.dwLowDateTime, want.FileDate.dwLowDateTime);
  EXPECT_EQ(got.FileDate.dwHighDateTime, want.FileDate.dwHighDateTime);
  EXPECT_EQ(got.NeedUpdate, want.NeedUpdate);
  EXPECT_EQ(memcmp(&got.FixedInfo, &want.FixedInfo, sizeof want.FixedInfo), 0);
}

std::unique_ptr<CUpdateFile> Full() {
  auto e = std::make_unique<CUpdateFile>(L"/game/data/sub/pack.dat");
  e->FileName = L"pack.dat";
  e->FileVersion = L"1.2.3.4";
  e->ProductVersion = L"5.6.7.8";
  e->InstallDir = L"SYSTEMDIR";
  e->LocalPath = L"data\\sub";
  e->Md5 = L"0123456789abcdef0123456789abcdef";
  e->Sha256 = std::wstring(64, L'f');
  e->Chunks = L"pack.dat.chunks";
  e->ChunksSha256 = L"00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
  e->Length = 5368709127LL;
  e->FileDate.dwLowDateTime = 4294967295u;
  e->FileDate.dwHighDateTime = 30000000u;
  e->NeedUpdate = true;
  e->FixedInfo.dwSignature = 0xFEEF04BDu;
  e->FixedInfo.dwFileVersionMS = 0x00010002u;
  e->FixedInfo.dwFileDateLS = 7;
  return e;
}

// Values a compact form is tempted to get wrong.
std::vector<std::unique_ptr<CUpdateFile>> OddEntries() {
  std::vector<std::unique_ptr<CUpdateFile>> out;
  auto empty = std::make_unique<CUpdateFile>(L"");
  empty->InstallDir = L"";
  out.push_back(std::move(empty));
  out.push_back(std::make_unique<CUpdateFile>(L"/game/"));

  auto wide = std::make_unique<CUpdateFile>(L"/游戏/数据/中文 名\U0001F600.dat");
  wide->FileName = L"中文 名\U0001F600.dat";
  wide->LocalPath = L"数据";
  // A lone surrogate and the largest code units survive as they are.
  wide->FileVersion = std::wstring(1, static_cast<wchar_t>(0xD800)) + L"\uFFFF";
  wide->Md5 = L"\u20AC";
  out.push_back(std::move(wide));

  const std::wstring deep(100000, L'd');
  auto long_path = std::make_unique<CUpdateFile>(L"/game/" + deep + L"/" + std::wstring(70000, L'n'));
  long_path->FileName = std::wstring(70000, L'n');
  long_path->LocalPath = deep;
  long_path->Chunks = std::wstring(300, L'c');
  out.push_back(std::move(long_path));

  // Digests that only look like hexadecimal keep their exact text.
  auto digests = std::make_unique<CUpdateFile>(L"C:\\game\\other.bin");
  digests->FileName = L"not-the-leaf.bin";
  digests->Md5 = L"0123456789ABCDEF0123456789ABCDEF";
  digests->Sha256 = std::wstring(63, L'a');
  digests->ChunksSha256 = std::wstring(63, L'a') + L"g";
  digests->Length = -7;
  out.push_back(std::move(digests));

  auto longer = std::make_unique<CUpdateFile>(L"a");
  longer->FileName = L"a";
  longer->Md5 = std::wstring(33, L'0');
  longer->Sha256 = std::wstring(66, L'1');
  longer->Length = INT64_MAX;
  out.push_back(std::move(longer));
  return out;
}

TEST(PackedEntries, EveryFieldComesBackAsGiven) {
  PackedEntries packed;
  std::vector<std::unique_ptr<CUpdateFile>> given = OddEntries();
  given.insert(given.begin() + 1, Full());
  for (const auto& e : given) packed.Append(*e);
  ASSERT_EQ(packed.size(), given.size());
  CUpdateFile got{std::wstring()};
  // Read into an entry that holds another one's values: nothing is left over.
  packed.Read(1, &got);
  for (size_t i = given.size(); i-- > 0;) {
    SCOPED_TRACE(i);
    packed.Read(i, &got);
    ExpectSame(*given[i], got);
    EXPECT_EQ(packed.FullPath(i), given[i]->FullPath);
    EXPECT_EQ(packed.Length(i), given[i]->Length);
    EXPECT_EQ(packed.NeedUpdate(i), given[i]->NeedUpdate);
  }
}

TEST(PackedEntries, RemovingAndTakingKeepTheOrderOfTheRest) {
  PackedEntries packed;
  std::vector<std::unique_ptr<CUpdateFile>> given = OddEntries();
  for (const auto& e : given) packed.Append(*e);
  EXPECT_EQ(packed.RemoveIf([](size_t i) { return i % 2 == 0; }), (given.size() + 1) / 2);
  ASSERT_EQ(packed.size(), given.size() / 2);
  CUpdateFile got{std::wstring()};
  for (size_t i = 0; i < packed.size(); ++i) {
    packed.Read(i, &got);
    ExpectSame(*given[2 * i + 1], got);
  }
  packed.SetNeedUpdate(1, true);
  EXPECT_TRUE(packed.NeedUpdate(1));
  packed.SetNeedUpdate(1, false);
  EXPECT_FALSE(packed.NeedUpdate(1));

  packed.PopFront();
  packed.Read(0, &got);
  ExpectSame(*given[3], got);
  while (!packed.empty()) packed.PopFront();
  // Emptied, the store starts afresh.
  std::unique_ptr<CUpdateFile> full = Full();
  packed.Append(*full);
  packed.Append(*given[2]);
  packed.Read(0, &got);
  ExpectSame(*full, got);
  packed.Read(1, &got);
  ExpectSame(*given[2], got);
}

}  // namespace
