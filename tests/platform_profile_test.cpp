#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/profile.h"
#include "support/temp_dir.h"

using platform::GetProfileString;
using platform::WriteProfileString;

class ProfileTest : public testing::Test {
 protected:
  std::wstring Get(const wchar_t* section, const wchar_t* key, size_t size = 200) {
    return GetProfileString(section, key, L"DEF", size, ini_);
  }
  TempDir dir_;
  std::string path_ = dir_.File("UpdateTemp.ini");
  std::wstring ini_ = dir_.WFile("UpdateTemp.ini");
};

TEST_F(ProfileTest, MissingFileSectionOrKeyReadsTheDefault) {
  EXPECT_EQ(Get(L"Version", L"CurrentVersion"), L"DEF");
  WriteFileBytes(path_, "[Version]\r\nOther=1\r\n");
  EXPECT_EQ(Get(L"Version", L"CurrentVersion"), L"DEF");
  EXPECT_EQ(Get(L"Temp", L"Temp1"), L"DEF");
}

TEST_F(ProfileTest, NamesMatchWithoutRegardToCase) {
  WriteFileBytes(path_, "[version]\r\ncurrentversion = 12 \r\n[TEMP]\r\nTEMP1=http://a\r\n");
  EXPECT_EQ(Get(L"Version", L"CurrentVersion"), L"12");
  EXPECT_EQ(Get(L"Temp", L"Temp1"), L"http://a");
}

TEST_F(ProfileTest, LongValuesAreCutToTheBufferLessOne) {
  WriteFileBytes(path_, "[HOME]\nURL=abcdefghij\n");
  EXPECT_EQ(Get(L"HOME", L"URL", 5), L"abcd");
  EXPECT_EQ(Get(L"HOME", L"URL", 11), L"abcdefghij");
}

TEST_F(ProfileTest, WriteReplacesOneValueAndKeepsEveryOtherByte) {
  const std::string before =
      "; provisioned by the installer\r\n[Version]\r\nCurrentVersion=5\r\nUnknown=keep me\r\n"
      "\r\n[HOME]\nURL=http://home\n[Temp]\r\nTemp1=abc";
  WriteFileBytes(path_, before);
  ASSERT_TRUE(WriteProfileString(L"version", L"currentVERSION", L"6", ini_));
  std::string expected = before;
  expected.replace(expected.find("CurrentVersion=5"), 16, "currentVERSION=6");
  EXPECT_EQ(ReadFileBytes(path_), expected);
  EXPECT_EQ(Get(L"Version", L"CurrentVersion"), L"6");
}

TEST_F(ProfileTest, WriteCreatesFileSectionAndKeyAsNeeded) {
  ASSERT_TRUE(WriteProfileString(L"Version", L"CurrentVersion", L"7", ini_));
  EXPECT_EQ(ReadFileBytes(path_), "[Version]\r\nCurrentVersion=7\r\n");
  ASSERT_TRUE(WriteProfileString(L"Temp", L"Temp1", L"http://127.0.0.1:8080", ini_));
  ASSERT_TRUE(WriteProfileString(L"Version", L"Other", L"x", ini_));
  EXPECT_EQ(ReadFileBytes(path_),
            "[Version]\r\nCurrentVersion=7\r\nOther=x\r\n[Temp]\r\nTemp1=http://127.0.0.1:8080\r\n");
}

TEST_F(ProfileTest, OddLineEndsAndByteOrderMarkReadCorrectly) {
  WriteFileBytes(path_, "\xEF\xBB\xBF[Version]\rCurrentVersion=3\r[Temp]\rTemp2=x");
  EXPECT_EQ(Get(L"Version", L"CurrentVersion"), L"3");
  EXPECT_EQ(Get(L"Temp", L"Temp2"), L"x");
  ASSERT_TRUE(WriteProfileString(L"Temp", L"Temp2", L"y", ini_));
  EXPECT_EQ(ReadFileBytes(path_), "\xEF\xBB\xBF[Version]\rCurrentVersion=3\r[Temp]\rTemp2=y");
}

TEST_F(ProfileTest, NewKeyIsInsertedAtTheEndOfItsSection) {
  WriteFileBytes(path_, "[A]\nx=1\n\n[B]\ny=2\n");
  ASSERT_TRUE(WriteProfileString(L"A", L"z", L"3", ini_));
  EXPECT_EQ(ReadFileBytes(path_), "[A]\nx=1\nz=3\n\n[B]\ny=2\n");
}

TEST_F(ProfileTest, UnreadablePathsReadDefaultsAndFailedWritesCreateNothing) {
  mkdir(path_.c_str(), 0755);  // a directory where the file should be
  EXPECT_EQ(Get(L"Version", L"CurrentVersion"), L"DEF");
  std::wstring missing = dir_.WFile("none/x.ini");
  EXPECT_EQ(GetProfileString(L"Version", L"CurrentVersion", L"0", 200, missing), L"0");
  EXPECT_FALSE(WriteProfileString(L"Version", L"CurrentVersion", L"6", missing));
  EXPECT_FALSE(PathExists(dir_.File("none")));
}

TEST_F(ProfileTest, PairsOfSingleOrDoubleQuotesAroundAValueAreStripped) {
  WriteFileBytes(path_, "[Temp]\r\nTemp1=\"double\"\r\nTemp2='single'\r\nTemp3='mixed\"\r\nTemp4='\r\n");
  EXPECT_EQ(Get(L"Temp", L"Temp1"), L"double");
  EXPECT_EQ(Get(L"Temp", L"Temp2"), L"single");
  EXPECT_EQ(Get(L"Temp", L"Temp3"), L"'mixed\"");
  EXPECT_EQ(Get(L"Temp", L"Temp4"), L"'");
}

TEST_F(ProfileTest, LineBreaksAndNulInNamesOrValuesAreRefusedAndNothingIsWritten) {
  const std::string before = "[Version]\r\nCurrentVersion=5\r\n";
  WriteFileBytes(path_, before);
  const std::wstring nul(1, L'\0');
  EXPECT_FALSE(WriteProfileString(L"Temp", L"Temp1", L"a\r\n[HOME]\r\nURL=file:///etc/shadow", ini_));
  EXPECT_FALSE(WriteProfileString(L"Temp", L"Temp1", L"a\nb", ini_));
  EXPECT_FALSE(WriteProfileString(L"Temp", L"Temp1", L"a\rb", ini_));
  EXPECT_FALSE(WriteProfileString(L"Temp", L"Temp1", L"a" + nul + L"b", ini_));
  EXPECT_FALSE(WriteProfileString(L"Temp", L"Temp1\r\nx", L"a", ini_));
  EXPECT_FALSE(WriteProfileString(L"Te\nmp", L"Temp1", L"a", ini_));
  EXPECT_EQ(ReadFileBytes(path_), before);
  EXPECT_TRUE(WriteProfileString(L"Temp", L"Temp1", L"a\tb", ini_));
}

TEST_F(ProfileTest, AFileWithoutWritePermissionIsNotRewritten) {
  const std::string before = "[Version]\r\nCurrentVersion=5\r\n";
  WriteFileBytes(path_, before);
  ASSERT_EQ(chmod(path_.c_str(), 0444), 0);
  EXPECT_FALSE(WriteProfileString(L"Version", L"CurrentVersion", L"6", ini_));
  EXPECT_EQ(ReadFileBytes(path_), before);
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
}
