// Whole updates served by nginx: names that need escaping, a file past
// 4 GiB, and the connections a big file is fetched on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "platform/text.h"
#include "support/update_fixture.h"

namespace {

std::string Bytes(size_t size, char seed) {
  std::string s(size, seed);
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(seed + i * 13 + (i >> 7));
  return s;
}

// Connections to 127.0.0.1:|port| that are open on the client's side, from
// the kernel's table: a connection closed with bytes unread is gone at once.
int ClientConnectionsTo(int port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  int open = 0;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    const size_t colon = remote.find(':');
    if (colon == std::string::npos || state != "01") continue;  // 01: established
    open += std::stoi(remote.substr(colon + 1), nullptr, 16) == port;
  }
  return open;
}

// The most connections to a port that were open at once while it lived,
// looked at every few milliseconds.
class ConnectionWatch {
 public:
  explicit ConnectionWatch(int port)
      : thread_([this, port] {
          while (!stop_) {
            most_ = std::max(most_.load(), ClientConnectionsTo(port));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
          }
        }) {}
  ~ConnectionWatch() { Stop(); }
  int Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return most_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> most_{0};
  std::thread thread_;
};

class UpdateNginxTest : public testing::Test {
 protected:
  void SetUp() override {
    nginx_.reset(new NginxServer(f_.ServerRoot()));
    if (!nginx_->ok()) GTEST_SKIP() << "nginx is not installed";
  }
  std::string NginxWord() const { return "127.0.0.1:" + std::to_string(nginx_->port()); }
  void Ini(int version) {
    f_.WriteIni("[Version]\r\nCurrentVersion=" + std::to_string(version) + "\r\n[Temp]\r\nTemp1=" +
                NginxWord() + "\r\n");
  }
  // Brings an install of |v1| to |v2| from nginx, expecting it to succeed;
  // returns the most connections to nginx that were open at once.
  int UpdateWatchingConnections(const GameFiles& v1, const GameFiles& v2) {
    f_.Publish(1, v1);
    f_.Publish(2, v2);
    f_.PublishVersionList(2, 2, {NginxWord()});
    Ini(1);
    f_.InstallFiles(v1);
    ConnectionWatch watch(nginx_->port());
    f_.Run(&ui_);
    const int most = watch.Stop();
    EXPECT_TRUE(ui_.failures_shown.empty()) << platform::ToUtf8(ui_.failures_shown[0]);
    EXPECT_TRUE(f_.LobbyStarted());
    for (const auto& f : v2) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
    EXPECT_EQ(f_.Complaints(), "");
    return most;
  }

  UpdateFixture f_;
  std::unique_ptr<NginxServer> nginx_;
  ScriptedUi ui_;
  UpdateNginxTest() { ui_.failure_actions = {ScriptedUi::kExit}; }
};

}  // namespace

TEST_F(UpdateNginxTest, NamesWithReservedCharactersAreUpdated) {
  GameFiles v1 = {{"game.dat", {Bytes(1000, 'a'), Stamp(1, 1)}}};
  GameFiles v2 = v1;
  v2["100%41.dat"] = {Bytes(3000, 'b'), Stamp(2, 2)};
  v2["C#1.dat"] = {Bytes(4000, 'c'), Stamp(2, 3)};
  v2["data/a+b&c=d;e f.dat"] = {Bytes(5000, 'd'), Stamp(2, 4)};
  v2["数据/说明 1.txt"] = {"第二版", Stamp(2, 5)};
  f_.Publish(1, v1);
  f_.Publish(2, v2);
  f_.PublishVersionList(2, 2, {NginxWord()});
  Ini(1);
  f_.InstallFiles(v1);
  f_.Run(&ui_);
  EXPECT_TRUE(ui_.failures_shown.empty()) << platform::ToUtf8(ui_.failures_shown[0]);
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "2");
  for (const auto& f : v2) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
  EXPECT_EQ(f_.Log(), "");
}

// Small files follow one another on kept connections: nginx logs the
// serial of each request's connection.
TEST_F(UpdateNginxTest, SmallFilesShareConnections) {
  GameFiles v1 = {{"game.dat", {Bytes(1000, 'a'), Stamp(1, 1)}}};
  GameFiles v2 = v1;
  for (int i = 0; i < 20; ++i) {
    v2["small/" + std::to_string(i) + ".dat"] = {Bytes(2000 + i, static_cast<char>('b' + i)), Stamp(2, i)};
  }
  f_.Publish(1, v1);
  f_.Publish(2, v2);
  f_.PublishVersionList(2, 2, {NginxWord()});
  Ini(1);
  f_.InstallFiles(v1);
  f_.Run(&ui_);
  EXPECT_TRUE(f_.LobbyStarted());
  for (const auto& f : v2) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
  std::set<std::string> connections;
  int files = 0;
  std::istringstream log(nginx_->AccessLog());
  for (std::string line; std::getline(log, line);) {
    if (line.find("/small/") == std::string::npos) continue;
    ++files;
    connections.insert(line.substr(line.rfind(' ') + 1));
  }
  EXPECT_EQ(files, 20);
  EXPECT_LT(connections.size(), 20u) << nginx_->AccessLog();
}

// The file is sparse on the server, with marks where the 32-bit range split
// and counters used to go wrong. The manifest carries no MD5: digesting
// 5 GiB twice (publisher and client) would double the test's time without
// testing anything of the transfer.
TEST_F(UpdateNginxTest, AFileOfFiveGibibytesIsUpdated) {
  const int64_t length = (int64_t{5} << 30) + 3;
  const int64_t marks[] = {0, length / 5 - 1, length / 5, (int64_t{1} << 31) - 1, int64_t{1} << 31,
                           (int64_t{1} << 32) - 1, int64_t{1} << 32, 4 * length / 5, length - 1};
  const std::string dir = f_.ServerRoot() + "/update/1";
  mkdir((f_.ServerRoot() + "/update").c_str(), 0755);
  mkdir(dir.c_str(), 0755);
  {
    int fd = open((dir + "/huge.pak").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, length), 0);
    for (int64_t at : marks) {
      char mark = static_cast<char>('A' + at % 23);
      ASSERT_EQ(pwrite(fd, &mark, 1, at), 1);
    }
    close(fd);
  }
  const platform::FILETIME stamp = Stamp(1, 1);
  WriteFileBytes(dir + "/FileConfig.xml",
                 "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\r\n<xmlRoot keyname=\"KeyValue\">\r\n"
                 "\t<Product productVerion=\"1\" maxVersion=\"1\" filenum=\"1\">\r\n\t\t<File>\r\n"
                 "\t\t\t<FileName>huge.pak</FileName>\r\n\t\t\t<Length>" + std::to_string(length) +
                 "</Length>\r\n\t\t\t<FileDateLow>" + std::to_string(stamp.dwLowDateTime) +
                 "</FileDateLow>\r\n\t\t\t<FileDateHigh>" + std::to_string(stamp.dwHighDateTime) +
                 "</FileDateHigh>\r\n\t\t\t<InstallDir></InstallDir>\r\n\t\t\t<LocalPath></LocalPath>\r\n"
                 "\t\t\t<Md5></Md5>\r\n\t\t</File>\r\n\t</Product>\r\n</xmlRoot>\r\n");
  f_.PublishVersionList(1, 1, {NginxWord()});
  Ini(1);
  ui_.modal_timeout_ms = 480000;
  f_.Run(&ui_);
  EXPECT_FALSE(ui_.timed_out);
  EXPECT_TRUE(ui_.failures_shown.empty()) << platform::ToUtf8(ui_.failures_shown[0]);
  EXPECT_TRUE(f_.LobbyStarted());
  const std::string installed = f_.Install("huge.pak");
  struct stat st;
  ASSERT_EQ(stat(installed.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, length);
  int fd = open(installed.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  for (int64_t at : marks) {
    char got = 0;
    ASSERT_EQ(pread(fd, &got, 1, at), 1);
    EXPECT_EQ(got, static_cast<char>('A' + at % 23)) << at;
  }
  close(fd);
  platform::FILETIME t;
  ASSERT_TRUE(platform::GetLastWriteTime(platform::FromUtf8(installed), &t));
  EXPECT_EQ(platform::ToTicks(t), platform::ToTicks(stamp));
  EXPECT_EQ(f_.Log(), "");
}

// Alone, a big file takes the connections the other files leave unused:
// more than its five ranges, never more than the run's eight. nginx holds
// each connection to 1 MiB/s, so the ranges last seconds.
TEST_F(UpdateNginxTest, ALoneBigFileIsFetchedOnTheSpareConnectionsToo) {
  nginx_.reset(new NginxServer(f_.ServerRoot(), "limit_rate 1m;"));
  ASSERT_TRUE(nginx_->ok());
  GameFiles v1 = {{"game.dat", {Bytes(1000, 'a'), Stamp(1, 1)}}};
  GameFiles v2 = v1;
  v2["big.dat"] = {Bytes(24u << 20, 'b'), Stamp(2, 1)};
  const int most = UpdateWatchingConnections(v1, v2);
  EXPECT_GT(most, 5);
  EXPECT_LE(most, 8);
  std::istringstream log(nginx_->AccessLog());
  for (std::string line; std::getline(log, line);) {
    if (line.find("/big.dat") == std::string::npos) continue;
    EXPECT_NE(line.find("\" 206 "), std::string::npos) << line;
  }
}

// Small files queued behind the big one get their connections first: with
// them under way the run still holds at most eight.
TEST_F(UpdateNginxTest, SpareConnectionsNeverTakeTheBudgetOfQueuedFiles) {
  nginx_.reset(new NginxServer(f_.ServerRoot(), "limit_rate 1m;"));
  ASSERT_TRUE(nginx_->ok());
  GameFiles v1 = {{"game.dat", {Bytes(1000, 'a'), Stamp(1, 1)}}};
  GameFiles v2 = v1;
  v2["a/big.dat"] = {Bytes(16u << 20, 'b'), Stamp(2, 1)};
  for (int i = 0; i < 8; ++i) {
    v2["b/" + std::to_string(i) + ".dat"] = {Bytes((1u << 19) + i, static_cast<char>('c' + i)), Stamp(2, 2 + i)};
  }
  EXPECT_LE(UpdateWatchingConnections(v1, v2), 8);
}
