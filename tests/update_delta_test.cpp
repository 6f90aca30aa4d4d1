// Delta updates served by nginx: a changed file is rebuilt from the chunks
// of the installed copy plus ranges of the new file, and the repair mode
// mends what differs from the recorded version.
#include <gtest/gtest.h>

#include <unistd.h>

#include <random>
#include <sstream>
#include <string>

#include "delta/chunk_index.h"
#include "platform/text.h"
#include "signing_key.h"
#include "support/update_fixture.h"

namespace {

std::string Blob(size_t size, int seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

// What nginx's log says of the requests for one path.
struct Served {
  int requests = 0;
  int whole = 0;     // answered 200
  int partial = 0;   // answered 206
  uint64_t bytes = 0;
  std::vector<std::string> lines;
};

Served ServedFor(const std::string& log, const std::string& path) {
  Served s;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.find("\"GET " + path + " ") == std::string::npos) continue;
    std::istringstream words(line.substr(line.find("\" ", line.find("\"GET")) + 2));
    int status = 0;
    uint64_t bytes = 0;
    words >> status >> bytes;
    ++s.requests;
    s.whole += status == 200;
    s.partial += status == 206;
    s.bytes += bytes;
    s.lines.push_back(line);
  }
  return s;
}

class UpdateDeltaTest : public testing::Test {
 protected:
  void SetUp() override { StartNginx(""); }
  void StartNginx(const std::string& extra) {
    nginx_.reset(new NginxServer(f_.ServerRoot(), extra));
    if (!nginx_->ok()) GTEST_SKIP() << "nginx is not installed";
  }
  std::string NginxWord() const { return "127.0.0.1:" + std::to_string(nginx_->port()); }
  void Ini(int version) {
    f_.WriteIni("[Version]\r\nCurrentVersion=" + std::to_string(version) + "\r\n[Temp]\r\nTemp1=" +
                NginxWord() + "\r\n");
  }
  // Version 1 installed, version 2 with |pack| published; runs the update.
  void UpdatePack(const std::string& old_pack, const std::string& new_pack, const SigningKey* key = nullptr) {
    v1_ = {{"pack.dat", {old_pack, Stamp(1, 1)}}, {"a.txt", {"one", Stamp(1, 2)}}};
    v2_ = {{"pack.dat", {new_pack, Stamp(2, 1)}}, {"a.txt", {"one", Stamp(1, 2)}}};
    f_.Publish(1, v1_, key);
    f_.Publish(2, v2_, key);
    f_.PublishVersionList(2, 2, {NginxWord()}, key);
    Ini(1);
    f_.InstallFiles(v1_);
  }
  void ExpectVersion2() {
    EXPECT_TRUE(ui_.failures_shown.empty()) << platform::ToUtf8(ui_.failures_shown[0]);
    EXPECT_TRUE(f_.LobbyStarted());
    EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "2");
    for (const auto& f : v2_) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
    EXPECT_FALSE(PathExists(f_.Install("pack.dat.update.2")));
    EXPECT_FALSE(PathExists(f_.Install("pack.dat.update.2.progress")));
  }
  Served Pack() const { return ServedFor(nginx_->AccessLog(), "/update/2/pack.dat"); }

  UpdateFixture f_;
  std::unique_ptr<NginxServer> nginx_;
  ScriptedUi ui_;
  GameFiles v1_, v2_;
  UpdateDeltaTest() { ui_.failure_actions = {ScriptedUi::kExit}; }
};

constexpr size_t kPack = 4u << 20;

}  // namespace

TEST_F(UpdateDeltaTest, AChangedFileComesAsRangesOfItsChangedChunks) {
  const std::string v1 = Blob(kPack, 1);
  std::string v2 = v1;
  for (size_t at : {size_t{100000}, size_t{1500000}, size_t{3900000}}) v2.replace(at, 8192, Blob(8192, int(at)));
  UpdatePack(v1, v2);
  f_.Run(&ui_);
  ExpectVersion2();
  const Served pack = Pack();
  EXPECT_EQ(pack.whole, 0) << nginx_->AccessLog();
  EXPECT_GE(pack.partial, 1);
  // Three rewrites of 8 KiB: a few chunks of at most 16 KiB around each.
  EXPECT_LT(pack.bytes + 0u, 3u * 3 * 16384 + 4096) << nginx_->AccessLog();
  // Of the index: its header and section table, then the group entries of
  // the sections that changed, then the chunk entries of their groups that
  // changed.
  const Served index = ServedFor(nginx_->AccessLog(), "/update/2/pack.dat.chunks");
  EXPECT_EQ(index.whole, 0);
  EXPECT_EQ(index.partial, 3);
  EXPECT_LT(index.bytes, ReadFileBytes(f_.ServerRoot() + "/update/2/pack.dat.chunks").size() / 4);
  EXPECT_NE(f_.Log().find("从本地文件复用"), std::string::npos) << f_.Log();
}

TEST_F(UpdateDeltaTest, InsertionsAndDeletionsMoveOnlyTheChunksAroundThem) {
  const std::string v1 = Blob(kPack, 2);
  std::string v2 = v1;
  v2.insert(1000000, Blob(1024, 7));
  v2.erase(2500000, 4096);
  v2.insert(3000000, Blob(100, 8));
  UpdatePack(v1, v2);
  f_.Run(&ui_);
  ExpectVersion2();
  const Served pack = Pack();
  EXPECT_EQ(pack.whole, 0);
  EXPECT_LT(pack.bytes, 3u * 3 * 16384 + 4096) << nginx_->AccessLog();
}

TEST_F(UpdateDeltaTest, AnInstalledCopyDamagedInTheMiddleIsMendedToo) {
  const std::string v1 = Blob(kPack, 3);
  std::string v2 = v1;
  v2.replace(3000000, 4096, Blob(4096, 9));
  UpdatePack(v1, v2);
  std::string damaged = v1;
  damaged.replace(kPack / 2, 50000, std::string(50000, 'x'));
  f_.InstallFiles({{"pack.dat", {damaged, Stamp(1, 1)}}});
  f_.Run(&ui_);
  ExpectVersion2();
  const Served pack = Pack();
  EXPECT_EQ(pack.whole, 0);
  EXPECT_GE(pack.bytes, 50000u + 4096);
  EXPECT_LT(pack.bytes, 50000u + 4096 + 6 * 16384) << nginx_->AccessLog();
}

TEST_F(UpdateDeltaTest, AnIndexWhoseDigestIsWrongIsNotUsed) {
  const std::string v1 = Blob(kPack, 4);
  std::string v2 = v1;
  v2.replace(200000, 4096, Blob(4096, 10));
  UpdatePack(v1, v2);
  // The index on the server is not the one the manifest vouches for: a
  // group's digest differs.
  const std::string index = f_.ServerRoot() + "/update/2/pack.dat.chunks";
  std::string bytes = ReadFileBytes(index);
  bytes[kChunkIndexHeaderSize + 20] ^= 1;
  WriteFileBytes(index, bytes);
  f_.Run(&ui_);
  ExpectVersion2();
  EXPECT_GE(Pack().bytes, kPack) << nginx_->AccessLog();
  const std::string log = f_.Log();
  EXPECT_NE(log.find("索引校验失败"), std::string::npos) << log;
  EXPECT_EQ(log.find("SHA256检验失败"), std::string::npos) << log;
  EXPECT_EQ(log.find("MD5检验失败"), std::string::npos) << log;
}

TEST_F(UpdateDeltaTest, EntriesThatDoNotMatchTheirGroupAreNotUsed) {
  const std::string v1 = Blob(kPack, 14);
  std::string v2 = v1;
  v2.replace(kPack / 2, 4096, Blob(4096, 15));
  UpdatePack(v1, v2);
  // Every entry of the index damaged: the table still passes, but the
  // entries of the changed group do not match it.
  const std::string index = f_.ServerRoot() + "/update/2/pack.dat.chunks";
  std::string bytes = ReadFileBytes(index);
  ChunkIndex prefix;
  uint64_t prefix_size = 0;
  ASSERT_TRUE(ParseChunkIndexPrefix(bytes, &prefix, &prefix_size));
  const size_t entries_at = static_cast<size_t>(ChunkIndexSize(prefix) - prefix.chunk_count * kChunkEntrySize);
  for (size_t at = entries_at + 4; at < bytes.size(); at += kChunkEntrySize) bytes[at] ^= 1;
  WriteFileBytes(index, bytes);
  f_.Run(&ui_);
  ExpectVersion2();
  EXPECT_GE(Pack().bytes, kPack) << nginx_->AccessLog();
  EXPECT_NE(f_.Log().find("索引校验失败"), std::string::npos) << f_.Log();
}

TEST_F(UpdateDeltaTest, AServerThatTakesOneRangeAtATimeGetsSingleRanges) {
  StartNginx("max_ranges 1;");
  const std::string v1 = Blob(16u << 20, 5);
  std::string v2 = v1;
  for (size_t at : {size_t{1000000}, size_t{9000000}, size_t{15000000}}) v2.replace(at, 4096, Blob(4096, int(at)));
  UpdatePack(v1, v2);
  f_.Run(&ui_);
  ExpectVersion2();
  const Served pack = Pack();
  // The list was answered with the whole file, dropped after its header;
  // then one request per range.
  EXPECT_LE(pack.whole, 1) << nginx_->AccessLog();
  EXPECT_GE(pack.partial, 3) << nginx_->AccessLog();
}

TEST_F(UpdateDeltaTest, ASignedReleaseIsRebuiltFromChunks) {
  SigningKey key;
  std::wstring error;
  ASSERT_TRUE(key.Generate(platform::FromUtf8(f_.Install("../publisher.pem")), &error));
  const std::string v1 = Blob(kPack, 6);
  std::string v2 = v1;
  v2.replace(2000000, 20000, Blob(20000, 11));
  UpdatePack(v1, v2, &key);
  WriteFileBytes(f_.Install("UpdateTrust.pub"), key.PublicKeyLine() + "\n");
  f_.Run(&ui_);
  ExpectVersion2();
  EXPECT_EQ(Pack().whole, 0);
  EXPECT_LT(Pack().bytes, 20000u + 4 * 16384);
}

TEST_F(UpdateDeltaTest, ACopyThatFailsItsDigestIsFetchedWholeWithoutAFailure) {
  const std::string v1 = Blob(kPack, 12);
  std::string v2 = v1;
  v2.replace(200000, 4096, Blob(4096, 13));
  UpdatePack(v1, v2);
  // The server's file is not the one its index describes: the chunks from
  // disk and the server's ranges make a copy no digest passes.
  std::string served = v2;
  served.replace(200100, 10, "0123456789");
  WriteFileBytes(f_.ServerRoot() + "/update/2/pack.dat", served);
  f_.Run(&ui_);
  // The whole file is the server's, which fails its digest too: now the
  // failure is shown, but only after a whole fetch.
  EXPECT_EQ(ui_.failures_shown.size(), 1u);
  EXPECT_GE(Pack().whole + Pack().partial, 2) << nginx_->AccessLog();
  EXPECT_GE(Pack().bytes, kPack);
  EXPECT_NE(f_.Log().find("增量重建后校验不符"), std::string::npos) << f_.Log();
}

TEST_F(UpdateDeltaTest, RepairMendsMissingDamagedAndWrongSizedFiles) {
  GameFiles files = {{"pack.dat", {Blob(kPack, 20), Stamp(1, 1)}},
                     {"big.dat", {Blob(1u << 20, 21), Stamp(1, 2)}},
                     {"gone.dat", {Blob(300000, 22), Stamp(1, 3)}},
                     {"fine.txt", {"fine", Stamp(1, 4)}}};
  f_.Publish(1, files);
  f_.PublishVersionList(1, 1, {NginxWord()});
  Ini(1);
  f_.InstallFiles(files);
  std::string damaged = files["pack.dat"].content;
  damaged.replace(kPack / 3, 3000, std::string(3000, 'z'));
  std::string shorter = files["big.dat"].content.substr(0, (1u << 20) - 5000);
  f_.InstallFiles({{"pack.dat", {damaged, Stamp(1, 1)}}, {"big.dat", {shorter, Stamp(1, 2)}}});
  unlink(f_.Install("gone.dat").c_str());
  f_.mode = L"RePair";
  f_.Run(&ui_);
  EXPECT_TRUE(ui_.failures_shown.empty()) << platform::ToUtf8(ui_.failures_shown[0]);
  EXPECT_TRUE(f_.LobbyStarted());
  for (const auto& f : files) EXPECT_TRUE(f_.FileMatches(f.first, f.second)) << f.first;
  const std::string log = nginx_->AccessLog();
  const Served pack = ServedFor(log, "/update/1/pack.dat");
  EXPECT_EQ(pack.whole, 0) << log;
  EXPECT_LE(pack.bytes, 3u * 16384) << log;
  const Served big = ServedFor(log, "/update/1/big.dat");
  EXPECT_EQ(big.whole, 0) << log;
  EXPECT_LE(big.bytes, 5000u + 2 * 16384) << log;
  EXPECT_GE(ServedFor(log, "/update/1/gone.dat").bytes, 300000u);
  EXPECT_EQ(ServedFor(log, "/update/1/fine.txt").requests, 0);
  const std::string updater_log = f_.Log();
  for (const char* name : {"pack.dat", "big.dat", "gone.dat"}) {
    EXPECT_NE(updater_log.find(std::string("已修复文件 [") + name + "]"), std::string::npos) << updater_log;
  }
  EXPECT_EQ(updater_log.find("fine.txt"), std::string::npos) << updater_log;
}

// One damaged run in a big file costs three short tables of its index, not
// a table that grows with the file.
TEST_F(UpdateDeltaTest, RepairOfOneDamagedRunFetchesLittleOfTheIndex) {
  GameFiles files = {{"big.pak", {Blob(32u << 20, 40), Stamp(1, 1)}}};
  f_.Publish(1, files);
  f_.PublishVersionList(1, 1, {NginxWord()});
  Ini(1);
  std::string damaged = files["big.pak"].content;
  damaged.replace(20000000, 100, std::string(100, 'z'));
  f_.InstallFiles({{"big.pak", {damaged, Stamp(1, 1)}}});
  f_.mode = L"repair";
  f_.Run(&ui_);
  EXPECT_TRUE(f_.FileMatches("big.pak", files["big.pak"]));
  const std::string log = nginx_->AccessLog();
  const Served index = ServedFor(log, "/update/1/big.pak.chunks");
  EXPECT_EQ(index.whole, 0) << log;
  EXPECT_LE(index.bytes, 6000u) << log;
  EXPECT_LE(ServedFor(log, "/update/1/big.pak").bytes, 3u * 4096) << log;
}

TEST_F(UpdateDeltaTest, RepairOfAWholeInstallFetchesNothing) {
  GameFiles files = {{"pack.dat", {Blob(kPack, 30), Stamp(1, 1)}}, {"a.txt", {"a", Stamp(1, 2)}}};
  f_.Publish(1, files);
  f_.Publish(2, files);
  f_.PublishVersionList(2, 2, {NginxWord()});
  Ini(1);
  f_.InstallFiles(files);
  f_.mode = L"repair";
  f_.Run(&ui_);
  EXPECT_TRUE(f_.LobbyStarted());
  // Repair stays with the recorded version.
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "1");
  EXPECT_EQ(ServedFor(nginx_->AccessLog(), "/update/1/pack.dat").requests, 0);
  EXPECT_EQ(nginx_->AccessLog().find("/update/2/"), std::string::npos);
}

// A server that ignores ranges and has an empty file where the index should
// be answers every request for it alike: the file is fetched whole at once.
TEST_F(UpdateDeltaTest, AnEmptyIndexServedWholeEndsTheDeltaAtOnce) {
  const std::string v1 = Blob(kPack, 50);
  std::string v2 = v1;
  v2.replace(100000, 4096, Blob(4096, 51));
  v1_ = {{"pack.dat", {v1, Stamp(1, 1)}}};
  v2_ = {{"pack.dat", {v2, Stamp(2, 1)}}};
  f_.Publish(1, v1_);
  f_.Publish(2, v2_);
  f_.PublishVersionList(2, 2, {f_.ServerWord()});
  f_.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + f_.ServerWord() + "\r\n");
  f_.InstallFiles(v1_);
  WriteFileBytes(f_.ServerRoot() + "/update/2/pack.dat.chunks", "");
  f_.server().SetRules("{\"/update/2/pack.dat.chunks\": \"ignore-range\"}");
  f_.Run(&ui_);
  ExpectVersion2();
  EXPECT_LE(f_.server().CountRequests("/update/2/pack.dat.chunks"), 2);
}
