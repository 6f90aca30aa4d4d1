#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/file.h"
#include "platform/files.h"
#include "platform/text.h"
#include "support/temp_dir.h"

using platform::FILETIME;

TEST(Files, FileTimeSurvivesARoundTripThroughAFilesTimes) {
  TempDir dir;
  WriteFileBytes(dir.File("a"), "x");
  // 2021-06-02 05:54:56.1234567 UTC
  FILETIME t = platform::FromTicks(132670868961234567ULL);
  ASSERT_TRUE(platform::SetAllFileTimes(dir.WFile("a"), t));
  FILETIME back;
  ASSERT_TRUE(platform::GetLastWriteTime(dir.WFile("a"), &back));
  EXPECT_EQ(platform::ToTicks(back), platform::ToTicks(t));
  struct stat st;
  stat(dir.File("a").c_str(), &st);
  EXPECT_EQ(st.st_mtim.tv_sec, 1622613296);
  EXPECT_EQ(st.st_atim.tv_sec, 1622613296);
}

TEST(Files, UnixEpochIsTheKnownTickCount) {
  EXPECT_EQ(platform::ToTicks(platform::FileTimeFromUnix(0, 0)), 116444736000000000ULL);
  EXPECT_EQ(platform::CompareFileTime(platform::FromTicks(1), platform::FromTicks(2)), -1);
  EXPECT_EQ(platform::CompareFileTime(platform::FromTicks(5), platform::FromTicks(5)), 0);
}

TEST(Files, ExistenceMovesAndDirectories) {
  TempDir dir;
  EXPECT_TRUE(platform::IsMissing(dir.WFile("missing")));
  EXPECT_TRUE(platform::IsMissing(dir.WFile("missing/below")));
  EXPECT_FALSE(platform::IsMissing(platform::FromUtf8(dir.path())));
  ASSERT_EQ(symlink(dir.File("nowhere").c_str(), dir.File("dangling").c_str()), 0);
  EXPECT_FALSE(platform::IsMissing(dir.WFile("dangling")));  // an entry, though nothing opens
  EXPECT_FALSE(platform::CanOpenForRead(dir.WFile("missing")));
  EXPECT_FALSE(platform::CanOpenForRead(platform::FromUtf8(dir.path())));  // a directory
  WriteFileBytes(dir.File("new"), "new");
  WriteFileBytes(dir.File("old"), "old");
  EXPECT_FALSE(platform::MoveFileNoReplace(dir.WFile("new"), dir.WFile("old")));
  EXPECT_EQ(ReadFileBytes(dir.File("old")), "old");
  chmod(dir.File("old").c_str(), 0755);
  ASSERT_TRUE(platform::ReplaceFile(dir.WFile("new"), dir.WFile("old")));
  EXPECT_EQ(ReadFileBytes(dir.File("old")), "new");
  struct stat st;
  stat(dir.File("old").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0755u);  // an executable stays executable
  EXPECT_FALSE(PathExists(dir.File("new")));
  ASSERT_TRUE(platform::MoveFileNoReplace(dir.WFile("old"), dir.WFile("文件")));
  EXPECT_TRUE(platform::CanOpenForRead(dir.WFile("文件")));
  EXPECT_TRUE(platform::CreateDirectory(dir.WFile("sub")));
  EXPECT_FALSE(platform::CreateDirectory(dir.WFile("sub")));
  EXPECT_TRUE(platform::DeleteFile(dir.WFile("文件")));
  EXPECT_FALSE(platform::DeleteFile(dir.WFile("文件")));
}

TEST(Files, TempFileIsNewEmptyAndCarriesThePrefix) {
  std::wstring a = platform::CreateTempFile(L"Xml");
  std::wstring b = platform::CreateTempFile(L"Xml");
  ASSERT_FALSE(a.empty());
  EXPECT_NE(a, b);
  EXPECT_NE(a.find(L"/Xml"), std::wstring::npos);
  uint64_t size = 1;
  EXPECT_TRUE(platform::GetFileSize(a, &size));
  EXPECT_EQ(size, 0u);
  platform::DeleteFile(a);
  platform::DeleteFile(b);
}

TEST(Files, ModulePathIsThisTestProgram) {
  std::wstring path = platform::ModulePath();
  EXPECT_TRUE(platform::EndsWith(path, L"/platform_files_test"));
  EXPECT_EQ(platform::ModuleDir() + L"/platform_files_test", path);
}

TEST(Files, WritingNeverFollowsAPlantedLink) {
  TempDir dir;
  WriteFileBytes(dir.File("victim"), "keep");
  ASSERT_EQ(symlink(dir.File("victim").c_str(), dir.File("pending").c_str()), 0);
  platform::File f;
  EXPECT_FALSE(f.Open(dir.WFile("pending"), platform::File::kCreateTruncate));
  EXPECT_EQ(ReadFileBytes(dir.File("victim")), "keep");
}

TEST(Files, FileWritesAtOffsetsAndSetsLength) {
  TempDir dir;
  platform::File f;
  ASSERT_TRUE(f.Open(dir.WFile("f"), platform::File::kCreateTruncate));
  ASSERT_TRUE(f.SetLength(10));
  ASSERT_TRUE(f.WriteAt(8, "yz", 2));
  ASSERT_TRUE(f.Seek(2));
  ASSERT_TRUE(f.Write("ab", 2));
  ASSERT_TRUE(f.Sync());
  ASSERT_TRUE(f.Close());
  EXPECT_EQ(ReadFileBytes(dir.File("f")), std::string("\0\0ab\0\0\0\0yz", 10));
}

TEST(Files, OneBarrierForManyFilesReportsWhatItCouldNotReach) {
  TempDir dir;
  WriteFileBytes(dir.File("a"), "a");
  mkdir(dir.File("sub").c_str(), 0755);
  WriteFileBytes(dir.File("sub/b"), "b");
  EXPECT_TRUE(platform::MakeDurable({dir.WFile("a"), dir.WFile("sub/b")}));
  EXPECT_TRUE(platform::MakeDurable({}));
  EXPECT_FALSE(platform::MakeDurable({dir.WFile("a"), dir.WFile("missing")}));
  // A move left to a later barrier still happens at once.
  EXPECT_TRUE(platform::ReplaceFile(dir.WFile("a"), dir.WFile("sub/b"), false));
  EXPECT_EQ(ReadFileBytes(dir.File("sub/b")), "a");
  EXPECT_TRUE(platform::MoveFileNoReplace(dir.WFile("sub/b"), dir.WFile("c"), false));
  EXPECT_TRUE(PathExists(dir.File("c")));
}

// An install directory with a link to an outside directory and a link named
// like a file that points to a directory.
class LinkFreeRootTest : public testing::Test {
 protected:
  void SetUp() override {
    mkdir(dir_.File("install").c_str(), 0755);
    mkdir(dir_.File("install/real").c_str(), 0755);
    mkdir(dir_.File("outside").c_str(), 0755);
    WriteFileBytes(dir_.File("outside/keep.bin"), "outside");
    ASSERT_EQ(symlink(dir_.File("outside").c_str(), dir_.File("install/data").c_str()), 0);
    ASSERT_EQ(symlink(dir_.File("outside").c_str(), dir_.File("install/readme.txt").c_str()), 0);
    WriteFileBytes(dir_.File("install/real/pending"), "new");
    stat(dir_.File("outside").c_str(), &outside_before_);
    platform::SetLinkFreeRoot(dir_.WFile("install"));
  }
  void TearDown() override { platform::SetLinkFreeRoot(L""); }
  std::wstring In(const std::string& name) { return dir_.WFile("install/" + name); }

  TempDir dir_;
  struct stat outside_before_;
};

TEST_F(LinkFreeRootTest, NothingBelowTheRootIsReachedThroughALink) {
  platform::File file;
  EXPECT_FALSE(file.Open(In("data/map.bin.update.6"), platform::File::kCreateTruncate));
  EXPECT_FALSE(file.Open(In("data/keep.bin"), platform::File::kWriteExisting));
  EXPECT_FALSE(file.Open(In("data/keep.bin"), platform::File::kRead));
  EXPECT_FALSE(platform::CreateDirectory(In("data/sub")));
  EXPECT_FALSE(platform::CanOpenForRead(In("data/keep.bin")));
  EXPECT_FALSE(platform::ReplaceFile(In("real/pending"), In("data/keep.bin")));
  EXPECT_FALSE(platform::MoveFileNoReplace(In("real/pending"), In("data/new.bin")));
  EXPECT_FALSE(platform::DeleteFile(In("data/keep.bin")));
  EXPECT_FALSE(platform::SetAllFileTimes(In("readme.txt"), platform::FromTicks(132670868960000000ULL)));
  EXPECT_FALSE(platform::SetAllFileTimes(In("data/keep.bin"), platform::FromTicks(132670868960000000ULL)));
  FILETIME time;
  EXPECT_FALSE(platform::GetLastWriteTime(In("data/keep.bin"), &time));
  EXPECT_FALSE(platform::IsDirectory(In("data")));
  EXPECT_TRUE(platform::CrossesLink(In("data/keep.bin")));
  EXPECT_TRUE(platform::CrossesLink(In("data/none/x.bin")));
  EXPECT_TRUE(platform::CrossesLink(In("readme.txt")));
  EXPECT_EQ(ReadFileBytes(dir_.File("outside/keep.bin")), "outside");
  EXPECT_FALSE(PathExists(dir_.File("outside/map.bin.update.6")));
  EXPECT_FALSE(PathExists(dir_.File("outside/sub")));
  EXPECT_FALSE(PathExists(dir_.File("outside/new.bin")));
  struct stat after;
  stat(dir_.File("outside").c_str(), &after);
  EXPECT_EQ(after.st_mtim.tv_sec, outside_before_.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, outside_before_.st_mtim.tv_nsec);
}

TEST_F(LinkFreeRootTest, PlainPathsBelowTheRootAndPathsOutsideItWorkAsBefore) {
  platform::File file;
  ASSERT_TRUE(platform::CreateDirectory(In("real/sub")));
  ASSERT_TRUE(file.Open(In("real/sub/a.update.6"), platform::File::kCreateTruncate));
  ASSERT_TRUE(file.Write("abc", 3));
  file.Close();
  EXPECT_TRUE(platform::MoveFileNoReplace(In("real/sub/a.update.6"), In("real/sub/a")));
  EXPECT_TRUE(platform::ReplaceFile(In("real/pending"), In("real/sub/a")));
  EXPECT_TRUE(platform::SetAllFileTimes(In("real/sub/a"), platform::FromTicks(132670868960000000ULL)));
  EXPECT_TRUE(platform::CanOpenForRead(In("real/sub/a")));
  EXPECT_TRUE(platform::IsDirectory(In("real/sub")));
  EXPECT_FALSE(platform::CrossesLink(In("real/sub/a")));
  EXPECT_FALSE(platform::CrossesLink(In("real/missing/a")));
  // A regular file where a directory is to be is in the way, not a link.
  EXPECT_FALSE(platform::CrossesLink(In("real/sub/a/b")));
  EXPECT_EQ(ReadFileBytes(dir_.File("install/real/sub/a")), "new");
  EXPECT_TRUE(platform::DeleteFile(In("real/sub/a")));
  // Outside the root a link is followed as before.
  ASSERT_EQ(symlink(dir_.File("outside").c_str(), dir_.File("elsewhere").c_str()), 0);
  EXPECT_TRUE(platform::CanOpenForRead(dir_.WFile("elsewhere/keep.bin")));
  EXPECT_FALSE(platform::CrossesLink(dir_.WFile("elsewhere/keep.bin")));
  EXPECT_TRUE(file.Open(dir_.WFile("elsewhere/other.bin"), platform::File::kCreateTruncate));
}

TEST(Files, FileSystemKeysAgreeWhereTheFileSystemTakesTwoPathsForOne) {
  using platform::FileSystemKey;
  EXPECT_EQ(FileSystemKey(L"/game/data//map.dat"), FileSystemKey(L"/game/data/map.dat"));
  EXPECT_EQ(FileSystemKey(L"/game/./data/./map.dat"), FileSystemKey(L"/game/data/map.dat"));
  EXPECT_NE(FileSystemKey(L"/game/data/map.dat"), FileSystemKey(L"/game/data/map.da"));
  EXPECT_NE(FileSystemKey(L"/game/data/map.dat"), FileSystemKey(L"/game/datamap.dat"));
  // Linux names are bytes: case tells files apart.
  EXPECT_NE(FileSystemKey(L"/game/data/Map.dat"), FileSystemKey(L"/game/data/map.dat"));
}

// Under a locale whose code page lacks some characters (LC_ALL=zh_CN.GBK,
// a ctest of its own): a name it cannot spell is never used in its lossy
// form.
class LegacyCodePageFilesTest : public testing::Test {
 protected:
  void SetUp() override {
    if (platform::ToAnsi(L"名") != platform::ToUtf8(L"名")) return;
    const char* locale = getenv("LC_ALL");
    if (locale && std::string(locale).find("GBK") != std::string::npos) {
      FAIL() << "the zh_CN.GBK locale is not installed (scripts/install-deps.sh makes it)";
    }
    GTEST_SKIP() << "needs LC_ALL=zh_CN.GBK";
  }
  TempDir dir_;
};

TEST_F(LegacyCodePageFilesTest, ANameOutsideTheCodePageIsRefusedByEveryOperation) {
  const std::wstring base = platform::FromUtf8(dir_.path()) + L"/";
  const std::wstring lossy = base + L"音乐\U0001F600.ogg", spelled = base + L"音乐.ogg";
  EXPECT_FALSE(platform::CanSpellExactly(lossy));
  EXPECT_TRUE(platform::CanSpellExactly(spelled));
  // "音乐?.ogg" is what the lossy spelling would touch.
  const std::string question = dir_.File(platform::ToAnsi(L"音乐") + "?.ogg");
  WriteFileBytes(question, "someone else's");
  WriteFileBytes(dir_.File("source"), "new");

  platform::File file;
  EXPECT_FALSE(file.Open(lossy, platform::File::kCreateTruncate));
  EXPECT_FALSE(file.Open(lossy, platform::File::kRead));
  EXPECT_FALSE(platform::CanOpenForRead(lossy));
  EXPECT_FALSE(platform::IsMissing(lossy));  // unknown, not missing
  EXPECT_FALSE(platform::DeleteFile(lossy));
  EXPECT_FALSE(platform::ReplaceFile(dir_.WFile("source"), lossy));
  EXPECT_FALSE(platform::MoveFileNoReplace(dir_.WFile("source"), lossy));
  EXPECT_FALSE(platform::CreateDirectory(lossy));
  EXPECT_FALSE(platform::SetAllFileTimes(lossy, platform::FromTicks(1)));
  EXPECT_EQ(ReadFileBytes(question), "someone else's");
  EXPECT_EQ(ReadFileBytes(dir_.File("source")), "new");

  // A name on disk that does not read back exactly is not listed under a
  // lossy spelling either.
  WriteFileBytes(dir_.File("\xff\xfe.bin"), "x");
  std::vector<platform::DirectoryEntry> entries;
  ASSERT_TRUE(platform::ListDirectory(platform::FromUtf8(dir_.path()), &entries));
  std::vector<std::wstring> names;
  for (const auto& e : entries) names.push_back(e.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::wstring>{L"source", L"音乐?.ogg"}));
}
