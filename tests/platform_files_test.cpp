#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
