#include "manifest/absent_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/files.h"
#include "support/temp_dir.h"

namespace {

class AbsentFilesTest : public testing::Test {
 protected:
  void SetUp() override {
    mkdir(dir_.File("install").c_str(), 0755);
    mkdir(dir_.File("install/sub").c_str(), 0755);
    mkdir(dir_.File("elsewhere").c_str(), 0755);
    WriteFileBytes(dir_.File("install/game.dat"), "x");
    WriteFileBytes(dir_.File("install/trail"), "x");
    ASSERT_EQ(symlink(dir_.File("elsewhere/target").c_str(), dir_.File("install/dangling").c_str()), 0);
    ASSERT_EQ(symlink(dir_.File("elsewhere").c_str(), dir_.File("install/linked").c_str()), 0);
    platform::SetLinkFreeRoot(dir_.WFile("install"));
  }
  void TearDown() override { platform::SetLinkFreeRoot(L""); }
  std::wstring In(const std::string& name) const { return dir_.WFile("install/" + name); }

  TempDir dir_;
  AbsentFiles absent_;
};

TEST_F(AbsentFilesTest, NamesTheListingLacksAreAbsent) {
  EXPECT_TRUE(absent_.SurelyAbsent(In("new.dat")));
  EXPECT_TRUE(absent_.SurelyAbsent(In("sub/new.dat")));
  // Nothing below a directory that does not exist.
  EXPECT_TRUE(absent_.SurelyAbsent(In("no/such/dir/new.dat")));
}

TEST_F(AbsentFilesTest, WhatStandsThereInAnySpellingIsNotAbsent) {
  EXPECT_FALSE(absent_.SurelyAbsent(In("game.dat")));
  EXPECT_FALSE(absent_.SurelyAbsent(In("sub")));
  EXPECT_FALSE(absent_.SurelyAbsent(In("GAME.DAT")));
  EXPECT_FALSE(absent_.SurelyAbsent(In("trail. .")));
  // A link is there even when what it names is not.
  EXPECT_FALSE(absent_.SurelyAbsent(In("dangling")));
}

TEST_F(AbsentFilesTest, NothingIsSureThroughALinkOrForNamesAFileSystemMayReadOtherwise) {
  EXPECT_FALSE(absent_.SurelyAbsent(In("linked/new.dat")));
  EXPECT_FALSE(absent_.SurelyAbsent(In("game.dat/new.dat")));
  EXPECT_FALSE(absent_.SurelyAbsent(In("GAME~1.DAT")));
  EXPECT_FALSE(absent_.SurelyAbsent(In("new.dat:stream")));
  EXPECT_FALSE(absent_.SurelyAbsent(In("nul.txt")));
  EXPECT_FALSE(absent_.SurelyAbsent(In("com1")));
  EXPECT_FALSE(absent_.SurelyAbsent(In("\u4E2D.dat")));
  EXPECT_FALSE(absent_.SurelyAbsent(In("..")));
  EXPECT_FALSE(absent_.SurelyAbsent(In("sub/")));
}

TEST_F(AbsentFilesTest, ABackslashIsPartOfTheNameHere) {
  WriteFileBytes(dir_.File("install/a\\b.dat"), "x");
  EXPECT_FALSE(absent_.SurelyAbsent(In("a\\b.dat")));
  EXPECT_TRUE(absent_.SurelyAbsent(In("a\\c.dat")));
}

TEST_F(AbsentFilesTest, ADirectoryHoldingNamesBeyondAsciiSettlesNothing) {
  // Case folding leads from some of them to ASCII names (the Kelvin sign
  // to "k").
  WriteFileBytes(dir_.File("install/sub/\xE2\x84\xAA"), "x");
  EXPECT_FALSE(absent_.SurelyAbsent(In("sub/k")));
  EXPECT_FALSE(absent_.SurelyAbsent(In("sub/new.dat")));
}

}  // namespace
