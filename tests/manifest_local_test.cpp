#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "manifest/path_safety.h"
#include "manifest/update_files.h"
#include "platform/files.h"
#include "platform/text.h"
#include "support/pe_builder.h"
#include "support/temp_dir.h"

using platform::FILETIME;

namespace {

constexpr uint64_t kSecond = 10000000;
const FILETIME kStamp = platform::FromTicks(132670868960000000ULL);

class LocalFilesTest : public testing::Test {
 protected:
  void Entry(const std::string& name, FILETIME date, int64_t length = 10) {
    auto e = std::make_unique<CUpdateFile>(dir_.WFile(name));
    e->FileName = platform::FromUtf8(name);
    e->FileDate = date;
    e->Length = length;
    files_.AddTail(std::move(e));
  }
  void Stamp(const std::string& name, FILETIME t) {
    WriteFileBytes(dir_.File(name), "0123456789");
    ASSERT_TRUE(platform::SetAllFileTimes(dir_.WFile(name), t));
  }
  TempDir dir_;
  CUpdateFiles files_;
};

}  // namespace

TEST_F(LocalFilesTest, ExistingOnlyFetchesJustTheMissingFiles) {
  Stamp("same", kStamp);
  Stamp("older", platform::FromTicks(platform::ToTicks(kStamp) - kSecond));
  Entry("same", kStamp);
  Entry("older", kStamp);
  Entry("missing", kStamp);
  EXPECT_EQ(files_.CheckLocalFiles(true), 1u);
  EXPECT_EQ(files_.Entry(0)->FileName, L"missing");
  EXPECT_TRUE(files_.Entry(0)->NeedUpdate);
}

TEST_F(LocalFilesTest, OtherwiseAnyTimeDifferenceFetchesTheFile) {
  Stamp("same", kStamp);
  Stamp("older", platform::FromTicks(platform::ToTicks(kStamp) - kSecond));
  Stamp("newer", platform::FromTicks(platform::ToTicks(kStamp) + kSecond));
  Entry("same", kStamp);
  Entry("older", kStamp);
  Entry("newer", kStamp);
  Entry("missing", kStamp);
  EXPECT_EQ(files_.CheckLocalFiles(false), 3u);
  std::vector<std::wstring> kept;
  files_.ForEach([&](const CUpdateFile& e) { kept.push_back(e.FileName); });
  EXPECT_EQ(kept, (std::vector<std::wstring>{L"older", L"newer", L"missing"}));
  EXPECT_EQ(files_.GetUpdateLength(), 30u);
}

TEST_F(LocalFilesTest, ClampedManifestTimeMatchesAFileStampedWithIt) {
  // FileDateLow 3000000000 reads back as 2147483647; the installer stamped
  // the file with that clamped time, so the next check drops it.
  FILETIME clamped{2147483647u, 30000000u};
  Stamp("f", clamped);
  Entry("f", clamped);
  EXPECT_EQ(files_.CheckLocalFiles(false), 0u);
  EXPECT_EQ(files_.CheckLocalFiles(false), 0u);
}

TEST_F(LocalFilesTest, MarkIsNeverResetAndTotalsAre64Bit) {
  Entry("missing", kStamp);
  EXPECT_EQ(files_.CheckLocalFiles(true), 1u);
  Stamp("missing", kStamp);
  EXPECT_EQ(files_.CheckLocalFiles(false), 1u);
  files_.Update([](CUpdateFile& e) { e.Length = 2000000000; });
  Entry("b", kStamp, 2000000000);
  Entry("c", kStamp, 2000000000);
  files_.CheckLocalFiles(false);
  EXPECT_EQ(files_.GetUpdateLength(), 6000000000ULL);
  CUpdateFiles empty;
  EXPECT_EQ(empty.CheckLocalFiles(false), 0u);
}

TEST_F(LocalFilesTest, ReadLocalFileFillsLengthNameTimeAndDigest) {
  Stamp("a.dat", kStamp);
  CUpdateFile e(dir_.WFile("a.dat"));
  ASSERT_TRUE(e.ReadLocalFile());
  EXPECT_EQ(e.Length, 10);
  EXPECT_EQ(e.FileName, L"a.dat");
  EXPECT_EQ(platform::ToTicks(e.FileDate), platform::ToTicks(kStamp));
  EXPECT_EQ(e.Md5, L"781e5e245d69b566979b86e28d23f2c7");
  EXPECT_EQ(e.FileVersion, L"");  // no version resource: the time decides
  CUpdateFile none(L"");
  EXPECT_FALSE(none.ReadLocalFile());
  CUpdateFile missing(dir_.WFile("nope"));
  EXPECT_FALSE(missing.ReadLocalFile());
}

TEST(PeVersion, ReadsSyntheticPe32AndPe32Plus) {
  TempDir dir;
  for (bool pe64 : {false, true}) {
    WriteFileBytes(dir.File("x.exe"), BuildPeWithVersion(pe64, 0x00010002, 0x00030004, 0x00050006, 0x00070008));
    CUpdateFile e(dir.WFile("x.exe"));
    ASSERT_TRUE(e.ReadLocalFile()) << pe64;
    EXPECT_EQ(e.FileVersion, L"1.2.3.4");
    EXPECT_EQ(e.ProductVersion, L"5.6.7.8");
    EXPECT_EQ(e.FixedInfo.dwSignature, 0xFEEF04BDu);
  }
}

TEST(PeVersion, DamagedImagesAreRefusedNotCrashedOn) {
  TempDir dir;
  std::string good = BuildPeWithVersion(false, 1, 2, 3, 4);
  VS_FIXEDFILEINFO info;
  for (size_t cut : {size_t{2}, size_t{0x60}, size_t{0x210}, size_t{0x200 + 0x58 + 60}}) {
    WriteFileBytes(dir.File("t.exe"), good.substr(0, cut));
    EXPECT_FALSE(ReadPeVersion(dir.WFile("t.exe"), &info)) << cut;
  }
  srand(3);
  for (int round = 0; round < 2000; ++round) {
    std::string bad = good;
    for (int k = 0; k < 4; ++k) bad[rand() % bad.size()] = static_cast<char>(rand());
    WriteFileBytes(dir.File("m.exe"), bad);
    ReadPeVersion(dir.WFile("m.exe"), &info);  // any answer, never a crash
  }
}

#ifdef UPDATER_VERSION_PROBE
TEST(PeVersion, ReadsTheVersionOfARealWindowsExecutable) {
  CUpdateFile e(platform::FromUtf8(UPDATER_VERSION_PROBE));
  ASSERT_TRUE(e.ReadLocalFile());
  EXPECT_EQ(e.FileVersion, L"1.2.3.4");
  EXPECT_EQ(e.ProductVersion, L"5.6.7.8");
}
#endif

TEST(PeVersion, CompareFilesUsesVersionsThenTimes) {
  TempDir dir;
  WriteFileBytes(dir.File("a.exe"), BuildPeWithVersion(false, 0x10002, 5, 9, 9));
  WriteFileBytes(dir.File("b.exe"), BuildPeWithVersion(true, 0x10002, 5, 1, 1));
  WriteFileBytes(dir.File("c.exe"), BuildPeWithVersion(true, 0x10002, 6, 1, 1));
  EXPECT_EQ(CUpdateFile::CompareFiles(dir.WFile("a.exe"), dir.WFile("b.exe")), 3);
  EXPECT_EQ(CUpdateFile::CompareFiles(dir.WFile("c.exe"), dir.WFile("a.exe")), 1);
  WriteFileBytes(dir.File("x"), "x");
  WriteFileBytes(dir.File("y"), "y");
  platform::SetAllFileTimes(dir.WFile("x"), kStamp);
  platform::SetAllFileTimes(dir.WFile("y"), platform::FromTicks(platform::ToTicks(kStamp) + 1));
  EXPECT_EQ(CUpdateFile::CompareFiles(dir.WFile("x"), dir.WFile("y")), 2);
  EXPECT_EQ(CUpdateFile::CompareFiles(dir.WFile("x"), dir.WFile("none")), 0);
}

TEST(PathSafety, TraversalAbsoluteAndDrivePathsAreRefused) {
  EXPECT_TRUE(IsSafeEntryPath(L"a.dll", L""));
  EXPECT_TRUE(IsSafeEntryPath(L"中文.dat", L"data/sub"));
  EXPECT_TRUE(IsSafeEntryPath(L"a..b", L"data\\x..y"));
  EXPECT_FALSE(IsSafeEntryPath(L"", L"data"));
  EXPECT_FALSE(IsSafeEntryPath(L"../x", L""));
  EXPECT_FALSE(IsSafeEntryPath(L"x", L"a/../../"));
  EXPECT_FALSE(IsSafeEntryPath(L"/etc/x", L""));
  EXPECT_FALSE(IsSafeEntryPath(L"x", L"/etc"));
  EXPECT_FALSE(IsSafeEntryPath(L"C:\\x", L""));
  EXPECT_FALSE(IsSafeEntryPath(L"x", L"c:"));
  EXPECT_FALSE(IsSafeEntryPath(L"x", L"..\\.."));
  EXPECT_FALSE(IsSafeEntryPath(L"x", L"a\\... "));
  EXPECT_FALSE(IsSafeEntryPath(std::wstring(L"a\0b", 3), L""));
  EXPECT_FALSE(IsSafeEntryPath(L"a\nb", L""));
  EXPECT_FALSE(IsSafeEntryPath(L"dir/", L""));
}

TEST(PathSafety, VersionTextsAreDigitsAndDots) {
  EXPECT_TRUE(IsSafeVersionText(L"7"));
  EXPECT_TRUE(IsSafeVersionText(L"1.2.3"));
  EXPECT_FALSE(IsSafeVersionText(L""));
  EXPECT_FALSE(IsSafeVersionText(L".."));
  EXPECT_FALSE(IsSafeVersionText(L"7/../x"));
  EXPECT_FALSE(IsSafeVersionText(L"7 "));
}

TEST(PathSafety, TheUpdatersOwnFilesBesideItAreNeverTargets) {
  EXPECT_FALSE(IsSafeEntryPath(L"UpdateTemp.ini", L""));
  EXPECT_FALSE(IsSafeEntryPath(L"updatetemp.INI", L""));
  EXPECT_FALSE(IsSafeEntryPath(L"UpdateLog.log", L""));
  EXPECT_FALSE(IsSafeEntryPath(L"UpdateTemp.lock", L""));
  EXPECT_FALSE(IsSafeEntryPath(L"UpdateTemp.ini", L"."));
  EXPECT_FALSE(IsSafeEntryPath(L"./UpdateTemp.ini", L""));
  EXPECT_FALSE(IsSafeEntryPath(L"UpdateTemp.ini", L".\\./"));
  // Windows ignores trailing dots and blanks, and knows short aliases.
  EXPECT_FALSE(IsSafeEntryPath(L"UpdateTemp.ini. ", L""));
  EXPECT_FALSE(IsSafeEntryPath(L"UPDATE~1.INI", L""));
  EXPECT_FALSE(IsSafeEntryPath(L"update~2.log", L""));
  EXPECT_TRUE(IsSafeEntryPath(L"UpdateTemp.ini", L"data"));
  EXPECT_TRUE(IsSafeEntryPath(L"UpdateTemp.ini.txt", L""));
  EXPECT_TRUE(IsSafeEntryPath(L"NOTES~1.TXT", L""));
}
