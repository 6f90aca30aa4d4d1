// A batch of finished copies in which the middle one cannot be installed:
// the failure names that file, the sound ones go into place, and the next
// run completes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/text.h"
#include "support/faulty_disk.h"
#include "support/update_fixture.h"
#include "update/file_job.h"

namespace {

class InstallBatchTest : public testing::Test {
 protected:
  InstallBatchTest() {
    v1_ = {{"a.dat", {"alpha one", Stamp(1, 1)}}, {"c.dat", {"gamma one", Stamp(1, 3)}}};
    v2_ = {{"a.dat", {"alpha two", Stamp(2, 1)}},
           // New in this version and fetched as ranges.
           {"b.dat", {RandomBytes(CInetFile::kOneStreamBelow + 2000000, 3), Stamp(2, 2)}},
           {"c.dat", {"gamma two", Stamp(2, 3)}}};
    f_.Publish(1, v1_);
    f_.Publish(2, v2_);
    f_.PublishVersionList(1, 2, {});
    f_.InstallFiles(v1_);
    f_.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + f_.ServerWord() + "\r\n");
    f_.clock_speed = 10;
  }

  // Runs once, pressing Exit in the failure dialog; the texts it showed.
  std::vector<std::wstring> Run(platform::Disk* disk = nullptr) {
    ScriptedUi ui;
    ui.failure_actions = {ScriptedUi::kExit};
    f_.disk = disk;
    f_.Run(&ui);
    f_.disk = nullptr;
    return ui.failures_shown;
  }

  void ExpectOnlyTheMiddleFileFailed(const std::vector<std::wstring>& failures) {
    ASSERT_EQ(failures.size(), 1u);
    const std::string shown = platform::ToUtf8(failures[0]);
    EXPECT_NE(shown.find("b.dat"), std::string::npos) << shown;
    const std::string log = f_.Log();
    EXPECT_NE(log.find("b.dat"), std::string::npos) << log;
    EXPECT_EQ(log.find("[a.dat]"), std::string::npos) << log;
    EXPECT_EQ(log.find("[c.dat]"), std::string::npos) << log;
    // The sound files of the batch are in place; the version is not recorded.
    EXPECT_TRUE(f_.FileMatches("a.dat", v2_["a.dat"]));
    EXPECT_TRUE(f_.FileMatches("c.dat", v2_["c.dat"]));
    EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "1");
  }

  void ExpectNextRunCompletes() {
    EXPECT_TRUE(Run().empty());
    EXPECT_TRUE(f_.LobbyStarted());
    EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "2");
    for (const auto& f : v2_) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
  }

  UpdateFixture f_;
  GameFiles v1_, v2_;
};

TEST_F(InstallBatchTest, ACopyThatFailsItsDigestIsNamedAndTheOthersArePlaced) {
  // A corrupt mirror: the right length, other bytes.
  const std::string served = f_.ServerRoot() + "/update/2/b.dat";
  WriteFileBytes(served, RandomBytes(v2_["b.dat"].content.size(), 99));
  ExpectOnlyTheMiddleFileFailed(Run());
  EXPECT_FALSE(PathExists(f_.Install("b.dat")));
  WriteFileBytes(served, v2_["b.dat"].content);
  ExpectNextRunCompletes();
}

TEST_F(InstallBatchTest, AMoveIntoPlaceThatFailsNamesItsOwnFile) {
  // Something the user keeps stands where the new file goes.
  mkdir(f_.Install("b.dat").c_str(), 0755);
  WriteFileBytes(f_.Install("b.dat/notes.txt"), "mine");
  ExpectOnlyTheMiddleFileFailed(Run());
  EXPECT_EQ(ReadFileBytes(f_.Install("b.dat/notes.txt")), "mine");
  unlink(f_.Install("b.dat/notes.txt").c_str());
  rmdir(f_.Install("b.dat").c_str());
  ExpectNextRunCompletes();
}

TEST_F(InstallBatchTest, AFreshRangedCopyIsCheckedByTheDigestsTakenOnTheWayAndNotReadAgain) {
  FaultyDisk disk;
  EXPECT_TRUE(Run(&disk).empty());
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "2");
  for (const auto& f : v2_) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
  // The copy's one reader is opened with it, before its first byte; the
  // check afterwards opens it no more.
  auto is_copy = [](const FaultyDisk::Op& op) {
    const std::string suffix = "b.dat.update.2";
    return op.path.size() >= suffix.size() && op.path.compare(op.path.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  int opened_for_reading = 0;
  bool written = false;
  for (const FaultyDisk::Op& op : disk.ops) {
    if (!is_copy(op)) continue;
    written = written || op.kind == "write";
    if (op.kind == "open-read") {
      ++opened_for_reading;
      EXPECT_FALSE(written) << "the copy was opened for reading after bytes came";
    }
  }
  EXPECT_TRUE(written);
  EXPECT_EQ(opened_for_reading, 1);
}

TEST_F(InstallBatchTest, ACopyThatCannotBeReadBackIsNamed) {
  FaultyDisk disk;
  disk.unreadable_suffix = "b.dat.update.2";
  ExpectOnlyTheMiddleFileFailed(Run(&disk));
  ExpectNextRunCompletes();
}

}  // namespace
