// The real program: its exit status, and what a kill at any moment leaves.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <cstdlib>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "digest/md5.h"
#include "platform/files.h"
#include "platform/text.h"
#include "support/headless_run.h"
#include "support/update_fixture.h"
#include "update/download_progress.h"
#include "update/file_job.h"

namespace {

const std::string kUpdater = std::string(UPDATER_BINARY_DIR) + "/bin/updater";

std::string Blob(size_t size, int seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

class ProcessTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string updater = ReadFileBytes(kUpdater);
    for (int v = 1; v <= 3; ++v) {
      GameFiles files;
      files["a.bin"] = {Blob(1500000 + v, v), Stamp(v, 1)};
      files["data/b.bin"] = {Blob(800000, v == 3 ? 2 : v), Stamp(v == 3 ? 2 : v, 2)};
      files["data/c.txt"] = {"version " + std::to_string(v), Stamp(v, 3)};
      files["updater"] = {v >= 2 ? updater + "\n# build 2" : updater, Stamp(v >= 2 ? 2 : 1, 4)};
      if (v >= 2) files["新/d.bin"] = {Blob(200000, 40 + v), Stamp(v, 5)};
      versions_[v] = files;
      f_.Publish(v, files);
    }
    f_.PublishVersionList(3, 3, {});
  }
  void ResetInstall() {
    std::string cmd = "rm -rf '" + f_.Install("data") + "' '" + f_.Install("新") + "' '" +
                      f_.Install("") + "'/*.update.* '" + f_.Install("lobby.txt") + "' '" +
                      f_.Install("UpdateLog.log") + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    f_.InstallFiles(versions_[1]);
    chmod(f_.Install("updater").c_str(), 0755);
    f_.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + f_.ServerWord() + "\r\n");
  }
  // Every file holds the content of some version (or is absent when the
  // first version had none): never anything in between.
  void ExpectConsistent(int round) {
    for (const auto& file : versions_[3]) {
      std::string path = f_.Install(file.first);
      if (!PathExists(path)) {
        EXPECT_EQ(versions_[1].count(file.first), 0u) << file.first << " round " << round;
        continue;
      }
      std::string content = ReadFileBytes(path);
      bool known = false;
      for (auto& v : versions_) known = known || (v.second.count(file.first) && v.second[file.first].content == content);
      EXPECT_TRUE(known) << file.first << " is torn in round " << round;
    }
  }
  void ExpectNewest() {
    for (const auto& file : versions_[3]) {
      EXPECT_TRUE(f_.FileMatches(file.first, file.second)) << file.first;
    }
    EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "3");
  }

  UpdateFixture f_;
  std::map<int, GameFiles> versions_;
};

}  // namespace

TEST_F(ProcessTest, ExitsWithZeroOnlyAfterHandingOverToTheLobby) {
  ResetInstall();
  std::string exe = f_.Install("updater");
  ASSERT_EQ(WaitExit(StartHeadless(exe)), 0);
  EXPECT_TRUE(f_.LobbyStarted());
  ExpectNewest();
  unlink(f_.Install("kelvora.exe").c_str());
  EXPECT_NE(WaitExit(StartHeadless(exe)), 0);
}

TEST_F(ProcessTest, AKillAtAnyMomentLeavesOldOrNewFilesAndTheNextRunFinishes) {
  std::string exe = f_.Install("updater");
  ResetInstall();
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(WaitExit(StartHeadless(exe)), 0);
  // The 500 ms wait before the lobby is not update work.
  long full_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - t0).count() - 500;
  std::mt19937 rng(2026);
  for (int round = 0; round < 20; ++round) {
    ResetInstall();
    pid_t pid = StartHeadless(exe);
    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % std::max(10L, full_ms)));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    ExpectConsistent(round);
    ASSERT_EQ(WaitExit(StartHeadless(exe)), 0) << "round " << round;
    ExpectNewest();
  }
}

TEST_F(ProcessTest, ASecondStartOnTheSameInstallEndsAtOnceTouchingNothing) {
  ResetInstall();
  const std::string ini_before = ReadFileBytes(f_.Install("UpdateTemp.ini"));
  // The first run, as far as the second can tell: it holds the lock.
  int held = open(f_.Install("UpdateTemp.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  WriteFileBytes(f_.Install("updater.update.1"), "a pending copy");
  EXPECT_NE(WaitExit(StartHeadless(f_.Install("updater"))), 0);
  EXPECT_EQ(f_.server().RequestLog(), "");
  EXPECT_EQ(ReadFileBytes(f_.Install("UpdateTemp.ini")), ini_before);
  EXPECT_TRUE(PathExists(f_.Install("updater.update.1")));
  EXPECT_FALSE(PathExists(f_.Install("lobby.txt")));
  std::string log = f_.Log();
  EXPECT_NE(log.find("升级程序已在运行，本次启动退出\r\n"), std::string::npos);
  EXPECT_EQ(log.find("\r\n"), log.size() - 2);  // one line
  close(held);
  unlink(f_.Install("updater.update.1").c_str());
  ASSERT_EQ(WaitExit(StartHeadless(f_.Install("updater"))), 0);
  ExpectNewest();
}

TEST_F(ProcessTest, AKillDuringTheStartUpSwapNeverLeavesTheUpdaterMissingOrUnusable) {
  const std::string exe = f_.Install("updater");
  const std::string pending = f_.Install("updater.update.1");
  const std::string& old_build = versions_[1]["updater"].content;
  const std::string& new_build = versions_[2]["updater"].content;
  std::mt19937 rng(2027);
  for (int round = 0; round < 10; ++round) {
    ResetInstall();
    unlink(f_.Install("updater.old").c_str());
    // A verified copy the previous run could not swap in, as its download left it.
    WriteFileBytes(pending, new_build);
    chmod(pending.c_str(), 0644);
    char digest[33];
    MD5_CTX ctx;
    ASSERT_TRUE(ctx.DigestFile(digest, platform::FromUtf8(pending)));
    f_.WriteIni("[Version]\r\nCurrentVersion=1\r\nUpdaterMd5=" + std::string(digest) + "\r\n[Temp]\r\nTemp1=" +
                f_.ServerWord() + "\r\n");
    pid_t pid = StartHeadless(exe);
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 30000));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    const std::string now = ReadFileBytes(exe);
    EXPECT_TRUE(now == old_build || now == new_build) << "round " << round;
    struct stat st;
    ASSERT_EQ(stat(exe.c_str(), &st), 0) << "round " << round;
    EXPECT_EQ(st.st_mode & 0777, 0755u) << "round " << round;
    ASSERT_EQ(WaitExit(StartHeadless(exe)), 0) << "round " << round;
    ExpectNewest();
  }
}

namespace {

struct Served {
  int status = 0;
  uint64_t bytes = 0;
};

// The requests nginx logged for |path|, from its access log: their status
// and the body bytes sent.
std::vector<Served> RequestsServed(const std::string& log, const std::string& path) {
  std::vector<Served> served;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find(" " + path + " ") == std::string::npos) continue;
    // ... "GET /path HTTP/1.1" STATUS BYTES "referer" "agent"
    const size_t request_end = line.find("\" ", line.find(path));
    if (request_end == std::string::npos) continue;
    std::istringstream rest(line.substr(request_end + 2));
    Served one;
    rest >> one.status >> one.bytes;
    served.push_back(one);
  }
  return served;
}

// What the progress record beside |pending| says, when there is an intact one.
bool ReadRecord(const std::string& pending, DownloadProgress* record) {
  const std::string path = pending + ".progress";
  return PathExists(path) && ParseProgress(ReadFileBytes(path), record);
}

// Per part: how many bytes from its first byte the copy holds as the file
// has them. The copy was made at full length, so a part's unwritten tail
// reads as zeros (a zero of the file there matches by chance: a few bytes).
std::vector<uint64_t> BytesInPlace(const std::string& copy, const std::string& file,
                                   const DownloadProgress& record) {
  std::vector<uint64_t> in_place;
  for (size_t i = 0; i < record.parts.size(); ++i) {
    const uint64_t first = record.parts[i].first;
    const uint64_t end = i + 1 < record.parts.size() ? record.parts[i + 1].first : file.size();
    uint64_t at = first;
    while (at < end && at < copy.size() && copy[at] == file[at]) ++at;
    in_place.push_back(at - first);
  }
  return in_place;
}

// Zeros the bytes of each part past what |record| counts, so that what the
// next run writes is told apart from what an earlier run left there.
bool ClearUnrecorded(const std::string& pending, const DownloadProgress& record,
                     const std::vector<uint64_t>& in_place) {
  const int fd = open(pending.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = true;
  for (size_t i = 0; i < record.parts.size(); ++i) {
    if (in_place[i] <= record.parts[i].done) continue;
    const std::string zeros(in_place[i] - record.parts[i].done, '\0');
    const off_t at = static_cast<off_t>(record.parts[i].first + record.parts[i].done);
    ok = ok && pwrite(fd, zeros.data(), zeros.size(), at) == static_cast<ssize_t>(zeros.size());
  }
  return close(fd) == 0 && ok;
}

}  // namespace

// A kill loses what the kernel had taken for the updater but not handed
// over yet, however much that is on a loaded machine; of the bytes that
// reached the copy, a kill may lose only those after the last record, and
// the next run must go on from the record, not from zero.
TEST(ResumeProcessTest, TenKillsDuringABigDownloadEachLoseAtMostOneRecordStepOfWrittenBytes) {
  UpdateFixture f;
  const std::string big = Blob(64u << 20, 64);
  f.Publish(1, {{"a.txt", {"one", Stamp(1, 1)}}});
  f.Publish(2, {{"a.txt", {"one", Stamp(1, 1)}}, {"big.bin", {big, Stamp(2, 1)}}});
  f.PublishVersionList(2, 2, {});
  f.InstallFiles({{"a.txt", {"one", Stamp(1, 1)}}});
  const std::string exe = f.Install("updater");
  const std::string pending = f.Install("big.bin.update.2");
  WriteFileBytes(exe, ReadFileBytes(kUpdater));
  chmod(exe.c_str(), 0755);
  // Slow enough that no run gets far past the point where it is killed:
  // nginx lets each request's first second of bytes go at once, and a run
  // begins up to eight of them.
  NginxServer nginx(f.ServerRoot(), "limit_rate 512k;");
  if (!nginx.ok()) GTEST_SKIP() << "nginx is not installed";
  f.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=127.0.0.1:" + std::to_string(nginx.port()) + "\r\n");
  // Bytes written after the last record: at most one step of received
  // bytes, the parts' write buffers, and one more arrival.
  const uint64_t lag_allowed =
      CInetFile::kRecordStep + (CInetFile::kMaxWorkers + 1) * CRangeDownLoad::kWriteBuffer;
  std::mt19937 rng(6464);
  DownloadProgress kept;
  uint64_t lost = 0;
  for (int round = 0; round < 10; ++round) {
    // Each run is killed a random moment after its own records have gone
    // past a mark; the marks end halfway, so that however late the kills
    // come on a loaded machine, the file is never done before the last.
    const uint64_t mark = (round + 1) * big.size() / 20;
    const uint64_t kept_before = kept.DoneBytes();
    pid_t pid = StartHeadless(exe);
    ASSERT_GT(pid, 0);
    DownloadProgress now;
    bool reached = false;
    bool exited = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (!reached && !exited && std::chrono::steady_clock::now() < deadline) {
      reached = ReadRecord(pending, &now) && now.DoneBytes() > kept_before && now.DoneBytes() >= mark;
      exited = waitpid(pid, nullptr, WNOHANG) == pid;
      if (!reached) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (reached) std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 100));
    if (!exited) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    ASSERT_FALSE(exited) << "the run ended before kill " << round;
    ASSERT_TRUE(reached) << "the record did not pass " << mark << " bytes before kill " << round;
    ASSERT_FALSE(PathExists(f.Install("lobby.txt"))) << "the download ended before kill " << round;
    DownloadProgress record;
    ASSERT_TRUE(ReadRecord(pending, &record)) << "round " << round;
    // Five ranges, and more once one that finished early took over half of
    // another's rest.
    ASSERT_GE(record.parts.size(), static_cast<size_t>(CInetFile::kParts));
    const std::vector<uint64_t> in_place = BytesInPlace(ReadFileBytes(pending), big, record);
    uint64_t lag = 0;
    for (size_t i = 0; i < record.parts.size(); ++i) {
      // Never counts a byte that is not in the copy.
      EXPECT_LE(record.parts[i].done, in_place[i]) << "part " << i << " round " << round;
      lag += in_place[i] - std::min(in_place[i], record.parts[i].done);
    }
    // The run went on from what was kept: no range starts over (a range
    // is only ever cut after the bytes it has).
    for (const DownloadProgress::Part& before : kept.parts) {
      auto same = std::find_if(record.parts.begin(), record.parts.end(),
                               [&](const DownloadProgress::Part& p) { return p.first == before.first; });
      ASSERT_NE(same, record.parts.end()) << "range at " << before.first << " round " << round;
      EXPECT_GE(same->done, before.done) << "range at " << before.first << " round " << round;
    }
    EXPECT_LE(lag, lag_allowed) << "round " << round;
    lost += lag;
    kept = record;
    ASSERT_TRUE(ClearUnrecorded(pending, record, in_place));
  }
  ASSERT_EQ(WaitExit(StartHeadless(exe)), 0);
  EXPECT_TRUE(f.LobbyStarted());
  EXPECT_EQ(f.IniValue("Version", "CurrentVersion"), "2");
  EXPECT_TRUE(ReadFileBytes(f.Install("big.bin")) == big);
  EXPECT_FALSE(PathExists(pending));
  EXPECT_FALSE(PathExists(pending + ".progress"));
  EXPECT_LE(lost, big.size() / 4);
  // The last run asked each range for exactly the bytes after the record.
  // A range with enough to come to be cut by a take-over may see its
  // answer end early: only the others are checked. nginx may log a
  // request cut off by a kill only now and then: wait for the lines,
  // however long a loaded machine takes.
  std::vector<uint64_t> rest;
  for (size_t i = 0; i < kept.parts.size(); ++i) {
    const uint64_t end = i + 1 < kept.parts.size() ? kept.parts[i + 1].first : big.size();
    const uint64_t left = end - kept.parts[i].first - kept.parts[i].done;
    if (left > 0 && left < 2 * CInetFile::kMinTakeOver) rest.push_back(left);
  }
  std::vector<Served> served;
  std::vector<uint64_t> missing = rest;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!missing.empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    served = RequestsServed(nginx.AccessLog(), "/update/2/big.bin");
    missing = rest;
    for (const Served& one : served) {
      auto it = std::find(missing.begin(), missing.end(), one.bytes);
      if (one.status == 206 && it != missing.end()) missing.erase(it);
    }
  }
  EXPECT_TRUE(missing.empty()) << missing.size() << " parts were not resumed from the record";
  for (const Served& one : served) EXPECT_NE(one.status, 200) << "a request for the whole file";
}
