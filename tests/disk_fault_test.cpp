// Every file operation of a two-version update with a self-update fails
// once in turn, and the disk runs full at every write in turn. Whatever
// fails, no file in place is torn or missing, the recorded version is never
// ahead of the files, the user is told, and the next run on a sound disk
// completes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <fcntl.h>
#include <sys/file.h>

#include <set>

#include "platform/event_loop.h"
#include "platform/text.h"
#include "support/faulty_disk.h"
#include "support/update_fixture.h"
#include "update/file_job.h"

namespace {

void RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    for (const std::string& name : ListDirectory(path)) RemoveTree(path + "/" + name);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

class DiskFaultTest : public testing::Test {
 public:
  bool LockIsFree() {
    int fd = open(f_.Install("UpdateTemp.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    const bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0) close(fd);
    return free;
  }

 protected:
  DiskFaultTest() {
    v1_ = {{"a.dat", {"alpha one", Stamp(1, 1)}}, {"c.dat", {"gamma one", Stamp(1, 3)}}};
    v2_ = v1_;
    v2_["a.dat"] = {"alpha two", Stamp(2, 1)};
    // Big enough to come in ranges, with progress records on the way.
    v2_["b.dat"] = {RandomBytes(CInetFile::kOneStreamBelow + 300000, 7), Stamp(2, 2)};
    v3_ = v2_;
    v3_["c.dat"] = {"gamma three", Stamp(3, 3)};
    // Rebuilt from the chunks of version 2's copy.
    std::string b3 = v2_["b.dat"].content;
    b3.replace(200000, 5000, RandomBytes(5000, 8));
    v3_["b.dat"] = {b3, Stamp(3, 2)};
    v3_["sub/d.dat"] = {"delta three", Stamp(3, 4)};
    v3_["updater"] = {"the new updater", Stamp(3, 5)};
    f_.Publish(1, v1_);
    f_.Publish(2, v2_);
    f_.Publish(3, v3_);
    f_.PublishVersionList(1, 3, {});
    f_.clock_speed = 20;
  }

  void ResetInstall() {
    RemoveTree(f_.Install());
    mkdir(f_.Install().c_str(), 0755);
    WriteFileBytes(f_.Install("updater"), kOldUpdater);
    WriteFileBytes(f_.Install("kelvora.exe"), "#!/bin/sh\necho started >> lobby.txt\n");
    chmod(f_.Install("kelvora.exe").c_str(), 0755);
    f_.InstallFiles(v1_);
    f_.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + f_.ServerWord() + "\r\n");
  }

  struct Outcome {
    bool lobby = false;
    std::vector<std::wstring> failures;
  };

  Outcome RunOnce(platform::Disk* disk) {
    ScriptedUi ui;
    ui.failure_actions = {ScriptedUi::kExit};
    ui.modal_timeout_ms = 30000;
    f_.disk = disk;
    unlink(f_.Install("lobby.txt").c_str());
    // The previous run's lock goes with its process; here with its object.
    f_.app.reset();
    platform::RunUntil([&] { return LockIsFree(); }, 5000);
    f_.Run(&ui);
    f_.disk = nullptr;
    EXPECT_FALSE(ui.timed_out);
    Outcome outcome;
    outcome.lobby = f_.app->LobbyStarted;
    outcome.failures = ui.failures_shown;
    return outcome;
  }

  // The content of |name| is that of some version, whole.
  bool WholeVersion(const std::string& name, bool must_exist) {
    const std::string path = f_.Install(name);
    if (!PathExists(path)) return !must_exist;
    const std::string content = ReadFileBytes(path);
    if (name == "updater" && content == kOldUpdater) return true;
    for (const GameFiles* v : {&v1_, &v2_, &v3_}) {
      auto it = v->find(name);
      if (it != v->end() && it->second.content == content) return true;
    }
    return false;
  }

  // Every file of |version| is there with its content (and stamp), or
  // with that of a later version.
  bool Holds(const GameFiles& version, bool stamps) {
    for (const auto& f : version) {
      if (&version == &v2_ && v3_.count(f.first) && ReadFileBytes(f_.Install(f.first)) == v3_[f.first].content) {
        continue;
      }
      if (f.first == "updater" && ReadFileBytes(f_.Install("updater")) == kOldUpdater) {
        // The running updater's swap may wait for the next start: the
        // verified copy stands beside it.
        if (ReadFileBytes(f_.Install("updater.update.3")) != f.second.content) return false;
        continue;
      }
      if (stamps ? !f_.FileMatches(f.first, f.second) : ReadFileBytes(f_.Install(f.first)) != f.second.content) {
        return false;
      }
    }
    return true;
  }

  void CheckAfterFault(const std::string& what, const Outcome& outcome, const std::string& log_before) {
    SCOPED_TRACE(what);
    for (const char* name : {"a.dat", "c.dat", "updater", "kelvora.exe"}) {
      EXPECT_TRUE(name == std::string("kelvora.exe") || WholeVersion(name, true)) << name;
    }
    EXPECT_TRUE(PathExists(f_.Install("kelvora.exe")));
    for (const char* name : {"b.dat", "sub/d.dat"}) EXPECT_TRUE(WholeVersion(name, false)) << name;
    const std::string recorded = f_.IniValue("Version", "CurrentVersion");
    if (recorded == "2") {
      EXPECT_TRUE(Holds(v2_, false));
    }
    if (recorded == "3") {
      EXPECT_TRUE(Holds(v3_, false));
    }
    const bool complete = outcome.lobby && recorded == "3" && Holds(v3_, true);
    const bool told = !outcome.failures.empty() || f_.Log().size() > log_before.size();
    EXPECT_TRUE(complete || told) << "nothing said; recorded " << recorded;
  }

  void CheckSoundRunCompletes(const std::string& what, bool stamps) {
    SCOPED_TRACE(what + ", then a sound run");
    const Outcome outcome = RunOnce(nullptr);
    EXPECT_TRUE(outcome.lobby) << f_.Log();
    EXPECT_TRUE(outcome.failures.empty());
    EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "3");
    EXPECT_EQ(ReadFileBytes(f_.Install("updater")), v3_["updater"].content);
    EXPECT_TRUE(Holds(v3_, stamps));
  }

  // The operations to fail: the first and the last of each run of the same
  // kind on the same file (the ones between fail the same way).
  static std::vector<int> Representatives(const std::vector<FaultyDisk::Op>& ops, bool writes_only) {
    std::vector<int> picked;
    for (size_t i = 0; i < ops.size(); ++i) {
      if (writes_only && ops[i].kind != "write" && ops[i].kind != "size" && ops[i].kind != "mkdir" &&
          ops[i].kind != "open-write") {
        continue;
      }
      const bool first = i == 0 || ops[i - 1].kind != ops[i].kind || ops[i - 1].path != ops[i].path;
      const bool last = i + 1 == ops.size() || ops[i + 1].kind != ops[i].kind || ops[i + 1].path != ops[i].path;
      if (first || last) picked.push_back(static_cast<int>(i) + 1);
    }
    return picked;
  }

  void RunMatrix(bool full_disk) {
    ResetInstall();
    FaultyDisk counting;
    ASSERT_TRUE(RunOnce(&counting).lobby);
    ASSERT_TRUE(Holds(v3_, true));
    // The sweep covers a copy rebuilt from local chunks too.
    ASSERT_NE(f_.Log().find("从本地文件复用"), std::string::npos) << f_.Log();
    ASSERT_GT(counting.ops.size(), 20u);
    const std::vector<int> picked = Representatives(counting.ops, full_disk);
    for (int n : picked) {
      ResetInstall();
      const std::string log_before = f_.Log();
      FaultyDisk disk;
      disk.fail_at = n;
      disk.full_from_fail_at = full_disk;
      const Outcome outcome = RunOnce(&disk);
      const std::string what = "operation " + std::to_string(n) + ": " + disk.failed;
      CheckAfterFault(what, outcome, log_before);

      CheckSoundRunCompletes(what, disk.failed.compare(0, 5, "stamp") != 0);
      if (HasFailure()) return;  // one broken case says enough
    }
  }

  const std::string kOldUpdater = "the running updater";
  UpdateFixture f_;
  GameFiles v1_, v2_, v3_;
};

TEST_F(DiskFaultTest, EveryOperationFailedOnceLeavesASoundInstall) { RunMatrix(false); }

TEST_F(DiskFaultTest, ADiskThatRunsFullAtAnyWriteLeavesASoundInstall) { RunMatrix(true); }

}  // namespace
