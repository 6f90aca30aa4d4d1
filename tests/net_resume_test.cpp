// Interrupted downloads taken up again: the progress record, and the
// requests a job with one sends.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "manifest/update_file.h"
#include "update/download_progress.h"
#include "update/file_job.h"
#include "platform/text.h"
#include "support/job_runner.h"
#include "support/servers.h"
#include "support/temp_dir.h"

namespace {

DownloadProgress Record(uint64_t length, const std::string& validator) {
  DownloadProgress p;
  p.length = length;
  p.validator = validator;
  return p;
}

TEST(ProgressRecordTest, ReadsBackWhatWasWrittenAndRefusesDamagedOrForeignRecords) {
  TempDir dir;
  const std::wstring pending = platform::FromUtf8(dir.File("a.bin.update.3"));
  DownloadProgress p = Record(1000, "\"5f-abc\"");
  p.parts = {{0, 100}, {200, 0}, {400, 200}, {600, 1}, {800, 200}};
  WriteFileBytes(dir.File("a.bin.update.3"), std::string(1000, 'x'));
  ASSERT_TRUE(SaveProgress(platform::RealDisk(), pending, p));
  EXPECT_EQ(ReadFileBytes(dir.File("a.bin.update.3.progress")).substr(0, 60),
            "updater-progress 1\nlength 1000\nvalidator etag \"5f-abc\"\npart ");
  DownloadProgress read;
  ASSERT_TRUE(LoadProgress(platform::RealDisk(), pending, 1000, &read));
  EXPECT_EQ(read.DoneBytes(), 501u);
  EXPECT_EQ(read.validator, "\"5f-abc\"");
  EXPECT_EQ(read.parts[2].first, 400u);

  // A date serves when there is no strong tag.
  DownloadProgress dated = Record(1000, "Tue, 08 Dec 2026 10:00:00 GMT");
  dated.kind = DownloadProgress::kModified;
  dated.parts = {{0, 10}};
  ASSERT_TRUE(ParseProgress(FormatProgress(dated), &read));
  EXPECT_EQ(read.kind, DownloadProgress::kModified);
  EXPECT_EQ(read.validator, "Tue, 08 Dec 2026 10:00:00 GMT");

  const std::string good = FormatProgress(p);
  std::string flipped = good;
  flipped[good.find("part 0 100") + 7] = '9';
  DownloadProgress overlapping = p;
  overlapping.parts[0].done = 201;
  for (const std::string& text : {flipped, good.substr(0, good.size() - 5), std::string(), std::string("garbage\n"),
                                  FormatProgress(overlapping)}) {
    EXPECT_FALSE(ParseProgress(text, &read)) << text;
  }
  // Damaged, of another length, or claiming more than the copy holds: the
  // record goes and nothing is taken up.
  WriteFileBytes(dir.File("a.bin.update.3.progress"), flipped);
  EXPECT_FALSE(LoadProgress(platform::RealDisk(), pending, 1000, &read));
  EXPECT_FALSE(PathExists(dir.File("a.bin.update.3.progress")));
  ASSERT_TRUE(SaveProgress(platform::RealDisk(), pending, p));
  EXPECT_FALSE(LoadProgress(platform::RealDisk(), pending, 999, &read));
  EXPECT_FALSE(PathExists(dir.File("a.bin.update.3.progress")));
  ASSERT_TRUE(SaveProgress(platform::RealDisk(), pending, p));
  WriteFileBytes(dir.File("a.bin.update.3"), std::string(700, 'x'));
  EXPECT_FALSE(LoadProgress(platform::RealDisk(), pending, 1000, &read));
  EXPECT_FALSE(PathExists(dir.File("a.bin.update.3.progress")));
  EXPECT_FALSE(LoadProgress(platform::RealDisk(), pending, 1000, &read));  // none at all
}

class ResumeJobTest : public testing::Test {
 protected:
  static constexpr size_t kSize = 300000;
  void SetUp() override {
    mkdir(root_.File("update").c_str(), 0755);
    mkdir(root_.File("update/1").c_str(), 0755);
    content_ = RandomBytes(kSize, 7);
    WriteFileBytes(root_.File("update/1/f.bin"), content_);
    server_.reset(new TestUpdateServer(root_.path()));
  }
  std::unique_ptr<CInetFile> Job(bool ranged) {
    CUpdateFile entry(L"");
    entry.FileName = L"f.bin";
    auto job = std::make_unique<CInetFile>(platform::FromUtf8(server_->base()), &entry, L"1");
    job->Kind = kJobFile;
    job->TargetPath = platform::FromUtf8(out_.File("f.bin"));
    job->FileName = entry.FileName;
    job->ExpectedLength = kSize;
    if (ranged) job->OneStreamBelow = CInetFile::kMinRangedLength;
    return job;
  }
  std::wstring Pending() const { return platform::FromUtf8(out_.File("f.bin.update.1")); }
  // An earlier attempt that got |done| bytes of each part, as a kill left it.
  void LeaveEarlierAttempt(bool ranged, uint64_t done, const std::string& validator) {
    DownloadProgress p = Record(kSize, validator);
    std::string copy(kSize, '\0');
    const int parts = ranged ? CInetFile::kParts : 1;
    for (int i = 0; i < parts; ++i) {
      const uint64_t first = static_cast<uint64_t>(i) * kSize / CInetFile::kParts;
      p.parts.push_back({first, done});
      copy.replace(first, done, content_.substr(first, done));
    }
    WriteFileBytes(out_.File("f.bin.update.1"), ranged ? copy : copy.substr(0, done));
    ASSERT_TRUE(SaveProgress(platform::RealDisk(), Pending(), p));
  }

  TempDir root_;
  TempDir out_;
  std::string content_;
  std::unique_ptr<TestUpdateServer> server_;
  JobRunner runner_;
};

TEST_F(ResumeJobTest, EachPartGoesOnFromItsRecordedBytesWhenTheFileIsTheSame) {
  // A first download records the server's tag once it has its bytes.
  server_->SetRules("{\"/update/1/f.bin\": \"etag:v1\"}");
  for (bool ranged : {true, false}) {
    SCOPED_TRACE(ranged);
    LeaveEarlierAttempt(ranged, 1000, "\"v1\"");
    auto job = Job(ranged);
    JobRunner runner;
    ASSERT_EQ(runner.Run(job.get(), true), kJobOk);
    EXPECT_EQ(ReadFileBytes(out_.File("f.bin.update.1")), content_);
    const uint64_t resumed = ranged ? 5000 : 1000;
    EXPECT_EQ(job->Resumed, resumed);
    EXPECT_EQ(job->Received, kSize);
    EXPECT_EQ(runner.progress_total, kSize - resumed);
    // Bytes that never went through the digest leave it to the installer.
    EXPECT_EQ(job->ComputedMd5, L"");
  }
  const std::string log = server_->RequestLog();
  EXPECT_NE(log.find("\"Range\": \"bytes=1000-\""), std::string::npos) << log;
  EXPECT_NE(log.find("\"Range\": \"bytes=61000-119999\""), std::string::npos) << log;
  EXPECT_NE(log.find("\"If-Range\": \"\\\"v1\\\"\""), std::string::npos) << log;
  EXPECT_EQ(log.find("bytes=0-"), std::string::npos) << log;
}

TEST_F(ResumeJobTest, AChangedFileOrAMissingRangeStartsTheFileOver) {
  server_->SetRules("{\"/update/1/f.bin\": \"etag:v2\"}");
  for (bool ranged : {true, false}) {
    SCOPED_TRACE(ranged);
    LeaveEarlierAttempt(ranged, 1000, "\"v1\"");
    // The kept bytes are not the server's: they must all be replaced.
    std::string stale = ReadFileBytes(out_.File("f.bin.update.1"));
    for (auto& c : stale) c = static_cast<char>(c ^ 0x55);
    WriteFileBytes(out_.File("f.bin.update.1"), stale);
    auto job = Job(ranged);
    JobRunner runner;
    ASSERT_EQ(runner.Run(job.get(), true), kJobOk);
    EXPECT_EQ(ReadFileBytes(out_.File("f.bin.update.1")), content_);
    EXPECT_EQ(job->Resumed, 0u);
    EXPECT_EQ(job->Received, kSize);
  }
  // The server says the range is not there: once from zero, then the
  // failure stands.
  server_->SetRules("{\"/update/1/f.bin\": \"status:416\"}");
  LeaveEarlierAttempt(true, 1000, "\"v1\"");
  auto job = Job(true);
  EXPECT_EQ(runner_.Run(job.get(), true), kJobTransferFailed);
  EXPECT_EQ(runner_.done_count, 1);
  const std::string log = server_->RequestLog();
  EXPECT_NE(log.find("\"Range\": \"bytes=0-59999\""), std::string::npos);
}

TEST_F(ResumeJobTest, ARestThatComesFromAnotherStartIsFetchedFromZeroInstead) {
  // A server (or a cache before it) that serves ranges from the wrong place
  // still serves the whole file: a kept copy must not lock the job out.
  server_->SetRules("{\"/update/1/f.bin\": \"close-mid-body\"}");
  auto job = Job(false);
  ASSERT_EQ(runner_.Run(job.get(), true), kJobTransferFailed);
  DownloadProgress p;
  ASSERT_TRUE(LoadProgress(platform::RealDisk(), Pending(), kSize, &p));
  server_->SetRules("{\"/update/1/f.bin\": \"wrong-range\"}");
  JobRunner runner;
  ASSERT_EQ(runner.Run(job.get(), true), kJobOk);
  EXPECT_EQ(ReadFileBytes(out_.File("f.bin.update.1")), content_);
  EXPECT_EQ(job->Resumed, 0u);
  EXPECT_EQ(runner.done_count, 1);
}

TEST_F(ResumeJobTest, AnUnusableRecordMeansAFreshStartAndNoCrash) {
  server_->SetRules("{\"/update/1/f.bin\": \"etag:v1\"}");
  for (const std::string& record : {std::string("updater-progress 1\nlength 300000\n"), std::string(5000, '\xff'),
                                    FormatProgress(Record(kSize + 1, "\"v1\""))}) {
    WriteFileBytes(out_.File("f.bin.update.1"), "short");
    WriteFileBytes(out_.File("f.bin.update.1.progress"), record);
    auto job = Job(true);
    JobRunner runner;
    ASSERT_EQ(runner.Run(job.get(), true), kJobOk);
    EXPECT_EQ(ReadFileBytes(out_.File("f.bin.update.1")), content_);
    EXPECT_EQ(job->Resumed, 0u);
  }
  EXPECT_EQ(server_->RequestLog().find("If-Range"), std::string::npos);
}

TEST_F(ResumeJobTest, ABrokenTransferLeavesARecordOfItsDurableBytes) {
  server_->SetRules("{\"/update/1/f.bin\": \"close-mid-body\"}");
  for (bool ranged : {true, false}) {
    SCOPED_TRACE(ranged);
    unlink(out_.File("f.bin.update.1.progress").c_str());
    auto job = Job(ranged);
    JobRunner runner;
    ASSERT_EQ(runner.Run(job.get(), true), kJobTransferFailed);
    DownloadProgress p;
    ASSERT_TRUE(LoadProgress(platform::RealDisk(), Pending(), kSize, &p));
    EXPECT_GT(p.DoneBytes(), 0u);
    EXPECT_EQ(p.validator[0], '"');
    // What the record counts is the server's bytes, in place.
    const std::string copy = ReadFileBytes(out_.File("f.bin.update.1"));
    for (const DownloadProgress::Part& part : p.parts) {
      EXPECT_EQ(copy.substr(part.first, part.done), content_.substr(part.first, part.done));
    }
  }
}

}  // namespace
