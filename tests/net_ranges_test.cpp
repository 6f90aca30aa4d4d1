// Ranges that adapt: a range that finishes early takes over half of the
// rest of a slow one, and a file cut that way is taken up again after an
// interruption.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "digest/md5.h"
#include "manifest/update_file.h"
#include "net/range_download.h"
#include "platform/disk.h"
#include "platform/event_loop.h"
#include "platform/text.h"
#include "support/job_runner.h"
#include "support/scripted_server.h"
#include "support/servers.h"
#include "support/temp_dir.h"
#include "update/download_progress.h"
#include "update/file_job.h"

namespace {

struct AskedRange {
  uint64_t first;
  uint64_t last;
  bool if_range;
};

// The Range requests of |log| from its |from|-th line on.
std::vector<AskedRange> AskedRanges(const std::string& log, size_t from = 0) {
  std::vector<AskedRange> asked;
  std::istringstream in(log);
  std::string line;
  for (size_t n = 0; std::getline(in, line); ++n) {
    const size_t at = line.find("\"Range\": \"bytes=");
    if (n < from || at == std::string::npos) continue;
    AskedRange r;
    r.first = std::stoull(line.substr(at + 16));
    r.last = std::stoull(line.substr(line.find('-', at + 16) + 1));
    r.if_range = line.find("\"If-Range\"") != std::string::npos;
    asked.push_back(r);
  }
  return asked;
}

size_t Lines(const std::string& text) {
  size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

class AdaptiveRangesTest : public testing::Test {
 protected:
  static constexpr uint64_t kSize = 3u << 20;
  // Where the third of the five ranges begins: its connection is the slow one.
  static constexpr uint64_t kSlowFirst = 2 * kSize / 5;

  void SetUp() override {
    mkdir(root_.File("update").c_str(), 0755);
    mkdir(root_.File("update/1").c_str(), 0755);
    content_ = RandomBytes(kSize, 9);
    WriteFileBytes(root_.File("update/1/f.bin"), content_);
    server_.reset(new TestUpdateServer(root_.path()));
    server_->SetRules("{\"/update/1/f.bin\": \"slow-range:" + std::to_string(kSlowFirst) + "\"}");
  }
  std::unique_ptr<CInetFile> Job() {
    CUpdateFile entry(L"");
    entry.FileName = L"f.bin";
    auto job = std::make_unique<CInetFile>(platform::FromUtf8(server_->base()), &entry, L"1");
    job->Kind = kJobFile;
    job->TargetPath = platform::FromUtf8(out_.File("f.bin"));
    job->FileName = entry.FileName;
    job->ExpectedLength = kSize;
    job->OneStreamBelow = CInetFile::kMinRangedLength;
    job->MinTakeOver = 64 * 1024;
    return job;
  }
  std::wstring Pending() const { return platform::FromUtf8(out_.File("f.bin.update.1")); }

  TempDir root_;
  TempDir out_;
  std::string content_;
  std::unique_ptr<TestUpdateServer> server_;
};

TEST_F(AdaptiveRangesTest, RangesThatFinishEarlyTakeOverTheRestOfASlowOneAndTheFileIsWhole) {
  auto job = Job();
  JobRunner runner;
  ASSERT_EQ(runner.Run(job.get(), true, 120000), kJobOk);
  EXPECT_EQ(ReadFileBytes(out_.File("f.bin.update.1")), content_);
  EXPECT_EQ(runner.progress_total, kSize);
  const std::vector<AskedRange> asked = AskedRanges(server_->RequestLog());
  // The five ranges, then ranges cut out of the slow one's rest, each
  // asking for the same file the first bytes came from.
  ASSERT_GT(asked.size(), 5u);
  int inside_slow = 0;
  for (const AskedRange& r : asked) {
    bool initial = false;
    for (uint64_t i = 0; i < 5; ++i) initial = initial || (r.first == i * kSize / 5 && r.last == (i + 1) * kSize / 5 - 1);
    if (initial) continue;
    EXPECT_TRUE(r.if_range) << r.first;
    inside_slow += r.first > kSlowFirst && r.last < 3 * kSize / 5;
  }
  EXPECT_GT(inside_slow, 0);
  // Digested in file order however the ranges came.
  char digest[33];
  MD5_CTX ctx;
  ASSERT_TRUE(ctx.DigestFile(digest, Pending()));
  EXPECT_EQ(job->ComputedMd5, platform::FromUtf8(digest));
}

TEST_F(AdaptiveRangesTest, AFileWhoseRangesWereCutAgainGoesOnFromWhatIsOnDisk) {
  // The first attempt stops once the slow range's rest has been taken
  // over, as a kill or a server switch would stop it.
  {
    auto job = Job();
    JobRunner runner;
    job->NotifyWindow = runner.handle();
    job->Start(true);
    ASSERT_TRUE(platform::RunUntil([&] { return AskedRanges(server_->RequestLog()).size() >= 7; }, 60000));
    job->Stop();
  }
  DownloadProgress record;
  ASSERT_TRUE(LoadProgress(platform::RealDisk(), Pending(), kSize, &record));
  EXPECT_GE(record.parts.size(), 6u);
  const std::string copy = ReadFileBytes(out_.File("f.bin.update.1"));
  for (const DownloadProgress::Part& part : record.parts) {
    EXPECT_EQ(copy.substr(part.first, part.done), content_.substr(part.first, part.done)) << part.first;
  }
  ASSERT_LT(record.DoneBytes(), kSize);

  // The next attempt asks for exactly the bytes the record does not hold
  // (cut no further, so that no two requests ask for the same bytes).
  server_->SetRules("{}");
  const size_t seen = Lines(server_->RequestLog());
  auto job = Job();
  job->MinTakeOver = kSize;
  JobRunner runner;
  ASSERT_EQ(runner.Run(job.get(), true, 60000), kJobOk);
  EXPECT_EQ(ReadFileBytes(out_.File("f.bin.update.1")), content_);
  EXPECT_EQ(job->Resumed, record.DoneBytes());
  // Kept bytes never went through the digests: the installer reads the copy.
  EXPECT_EQ(job->ComputedMd5, L"");
  EXPECT_EQ(runner.progress_total, kSize - record.DoneBytes());
  uint64_t asked_bytes = 0;
  for (const AskedRange& r : AskedRanges(server_->RequestLog(), seen)) {
    EXPECT_TRUE(r.if_range);
    asked_bytes += r.last - r.first + 1;
  }
  EXPECT_EQ(asked_bytes, kSize - record.DoneBytes());
}

// Connections the run has spare add workers, each taking over half of the
// largest range, up to eight in all; taken back, no worker starts again
// while the job holds more than its five. Every range trickles.
TEST(SpareConnectionsTest, OfferedConnectionsAddWorkersAndTakenBackNoneStarts) {
  constexpr uint64_t kSize = 200u << 10;
  TempDir root, out;
  mkdir(root.File("update").c_str(), 0755);
  mkdir(root.File("update/1").c_str(), 0755);
  const std::string content = RandomBytes(kSize, 17);
  WriteFileBytes(root.File("update/1/f.bin"), content);
  TestUpdateServer server(root.path());
  server.SetRules("{\"/update/1/f.bin\": \"trickle\"}");
  CUpdateFile entry(L"");
  entry.FileName = L"f.bin";
  CInetFile job(platform::FromUtf8(server.base()), &entry, L"1");
  job.Kind = kJobFile;
  job.TargetPath = platform::FromUtf8(out.File("f.bin"));
  job.FileName = entry.FileName;
  job.ExpectedLength = kSize;
  job.OneStreamBelow = CInetFile::kMinRangedLength;
  job.MinTakeOver = 4096;
  JobRunner runner;
  job.NotifyWindow = runner.handle();
  ASSERT_TRUE(job.Start(true));
  EXPECT_EQ(job.ConnectionsNeeded(), CInetFile::kParts);
  EXPECT_EQ(job.OfferConnections(5), CInetFile::kMaxWorkers - CInetFile::kParts);
  int most = 0;
  ASSERT_TRUE(platform::RunUntil(
      [&] {
        most = std::max(most, job.ConnectionsNeeded());
        return most >= CInetFile::kMaxWorkers || runner.done_count > 0;
      },
      60000));
  EXPECT_EQ(most, CInetFile::kMaxWorkers);
  EXPECT_EQ(runner.done_count, 0);
  // A job waits for three connections.
  EXPECT_EQ(job.OfferConnections(-3), -3);
  int held = job.ConnectionsNeeded();
  bool grew = false;
  ASSERT_TRUE(platform::RunUntil(
      [&] {
        const int now = job.ConnectionsNeeded();
        grew = grew || now > held;
        held = now;
        return runner.done_count > 0;
      },
      60000));
  EXPECT_FALSE(grew);
  EXPECT_EQ(runner.last_code, kJobOk);
  EXPECT_EQ(ReadFileBytes(out.File("f.bin.update.1")), content);
}

}  // namespace

// A range from a far server that runs fast once answered is not split: a
// fresh connection would spend longer getting going than the range has
// left. Once its pace has held for long enough, it is.
TEST(SpareConnectionsTest, ARangeIsSplitOnlyWhenAFreshOneWouldCatchUpWithIt) {
  constexpr uint64_t kSize = 1u << 20;
  constexpr uint64_t kSent = 256u << 10;
  const std::string body = RandomBytes(kSent, 5);
  // Twenty pauses before the answer: a server 600 ms away.
  std::vector<std::string> pieces(20, "");
  pieces.push_back("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-" + std::to_string(kSize - 1) + "/" +
                   std::to_string(kSize) + "\r\nContent-Length: " + std::to_string(kSize) + "\r\n\r\n" + body);
  pieces.insert(pieces.end(), 40, "");
  ScriptedServer server({pieces});
  TempDir out;
  std::unique_ptr<platform::DiskFile> file =
      platform::RealDisk().Open(platform::FromUtf8(out.File("f.bin")), platform::File::kCreateTruncate);
  ASSERT_TRUE(file);
  CRangeDownLoad part;
  ASSERT_TRUE(part.Start(platform::FromUtf8(server.base() + "/f.bin"), nullptr, 0, kSize - 1, kSize, file.get()));
  // Before its answer, a part's pace is not known.
  EXPECT_TRUE(part.WorthSplitting(platform::MonotonicMs()));
  uint64_t next = 0;
  ASSERT_TRUE(platform::RunUntil([&] { return part.NextByte(&next) && next == kSent; }, 30000));
  // Fetched in no time after a long wait: the rest is over before a fresh
  // range would run at this pace.
  EXPECT_FALSE(part.WorthSplitting(platform::MonotonicMs() + 100));
  // The same bytes over a long time: a slow part, worth a second one.
  EXPECT_TRUE(part.WorthSplitting(platform::MonotonicMs() + 1000000));
  part.Stop();
}
