// A delta update killed in the middle of its chunk plan: the next run
// takes up the pending copy and fetches only what it does not hold yet.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/headless_run.h"
#include "support/update_fixture.h"

namespace {

const std::string kUpdater = std::string(UPDATER_BINARY_DIR) + "/bin/updater";

// Body bytes nginx sent for |path|, from line |from| of its log on.
uint64_t BytesServed(const std::string& log, const std::string& path, size_t from, size_t* lines) {
  std::istringstream in(log);
  uint64_t bytes = 0;
  size_t n = 0;
  for (std::string line; std::getline(in, line); ++n) {
    if (n < from || line.find("\"GET " + path + " ") == std::string::npos) continue;
    std::istringstream words(line.substr(line.find("\" ", line.find("\"GET")) + 2));
    int status = 0;
    uint64_t sent = 0;
    words >> status >> sent;
    bytes += sent;
  }
  *lines = n;
  return bytes;
}

}  // namespace

TEST(DeltaResumeProcessTest, AKillInTheMiddleOfAChunkPlanLosesNothingThatReachedTheCopy) {
  UpdateFixture f;
  const size_t size = 16u << 20;
  const std::string v1 = RandomBytes(size, 1);
  std::string v2 = v1;
  // 48 rewrites of 64 KiB, evenly spread: 3 MiB to fetch.
  std::vector<size_t> rewrites;
  for (size_t i = 0; i < 48; ++i) {
    rewrites.push_back(i * (size / 48) + 1000);
    v2.replace(rewrites.back(), 65536, RandomBytes(65536, 100 + static_cast<unsigned>(i)));
  }
  f.Publish(1, {{"pack.dat", {v1, Stamp(1, 1)}}});
  f.Publish(2, {{"pack.dat", {v2, Stamp(2, 1)}}});
  f.PublishVersionList(2, 2, {});
  f.InstallFiles({{"pack.dat", {v1, Stamp(1, 1)}}});
  const std::string exe = f.Install("updater");
  const std::string pending = f.Install("pack.dat.update.2");
  WriteFileBytes(exe, ReadFileBytes(kUpdater));
  chmod(exe.c_str(), 0755);
  NginxServer nginx(f.ServerRoot(), "limit_rate 1m;");
  if (!nginx.ok()) GTEST_SKIP() << "nginx is not installed";
  f.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=127.0.0.1:" + std::to_string(nginx.port()) + "\r\n");

  pid_t pid = StartHeadless(exe);
  ASSERT_GT(pid, 0);
  // Killed once some rewritten bytes are in the copy, well before the end.
  auto rewritten_in_copy = [&]() {
    const std::string copy = ReadFileBytes(pending);
    uint64_t in = 0;
    for (size_t at : rewrites) {
      if (copy.size() == v2.size() && copy.compare(at, 65536, v2, at, 65536) == 0) in += 65536;
    }
    return in;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  bool exited = false;
  uint64_t before = 0;
  while (!exited && std::chrono::steady_clock::now() < deadline) {
    if (PathExists((pending + ".progress")) && (before = rewritten_in_copy()) >= 8 * 65536) break;
    exited = waitpid(pid, nullptr, WNOHANG) == pid;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!exited) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  ASSERT_FALSE(exited) << "the run ended before the kill";
  ASSERT_FALSE(PathExists(f.Install("lobby.txt")));
  // Nothing is in place before the copy is whole and checked.
  EXPECT_EQ(ReadFileBytes(f.Install("pack.dat")), v1);
  before = rewritten_in_copy();
  ASSERT_GE(before, 8u * 65536);
  ASSERT_LT(before, 40u * 65536) << "too far for a kill in the middle";
  size_t lines = 0;
  BytesServed(nginx.AccessLog(), "/update/2/pack.dat", 0, &lines);

  pid = StartHeadless(exe);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(WaitExit(pid), 0);
  EXPECT_EQ(ReadFileBytes(f.Install("pack.dat")), v2);
  EXPECT_FALSE(PathExists(pending));
  EXPECT_FALSE(PathExists((pending + ".progress")));
  // The second run fetched the rewrites that were not in the copy, with at
  // most a chunk of 16 KiB on either side of each.
  size_t ignored = 0;
  const uint64_t second = BytesServed(nginx.AccessLog(), "/update/2/pack.dat", lines, &ignored);
  const uint64_t missing = 48u * 65536 - before;
  EXPECT_GE(second, missing);
  EXPECT_LE(second, missing + (48 - before / 65536) * 2 * 16384) << nginx.AccessLog();
}
