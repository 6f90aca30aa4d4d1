#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "digest/md5.h"
#include "manifest/update_file.h"
#include "net/inet_file.h"
#include "platform/text.h"
#include "support/job_runner.h"
#include "support/servers.h"
#include "support/temp_dir.h"

namespace {

std::string RandomBytes(size_t size, unsigned seed) {
  std::string data(size, '\0');
  srand(seed);
  for (auto& c : data) c = static_cast<char>(rand());
  return data;
}

class JobTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new TempDir;
    mkdir(root_->File("update").c_str(), 0755);
    mkdir(root_->File("update/1").c_str(), 0755);
    for (auto& f : Files()) WriteFileBytes(root_->File("update/1/" + f.first), f.second);
    server_ = new TestUpdateServer(root_->path());
  }
  static void TearDownTestSuite() {
    delete server_;
    delete root_;
  }
  static const std::map<std::string, std::string>& Files() {
    static const std::map<std::string, std::string> files = {
        {"empty.bin", ""},
        {"one.bin", "1"},
        {"four.bin", "four"},
        {"ten.bin", "0123456789"},
        {"mid.bin", RandomBytes(300001, 1)},
        {"big.bin", RandomBytes(3 * 1048576 + 7, 2)},
        {"doc.xml", "<r><Product productVerion=\"1\"/></r>"},
        {"名 字.bin", RandomBytes(20000, 3)},
    };
    return files;
  }
  void SetUp() override { server_->SetRules("{}"); }

  // A kind-2 job for update/1/<name> into the scratch directory.
  std::unique_ptr<CInetFile> FileJob(const std::string& name, const std::string& target = "") {
    CUpdateFile entry(L"");
    entry.FileName = platform::FromUtf8(name);
    auto job = std::make_unique<CInetFile>(platform::FromUtf8(server_->base()), &entry, L"1");
    job->Kind = kJobFile;
    job->TargetPath = out_.WFile(target.empty() ? name : target);
    job->FileName = entry.FileName;
    auto it = Files().find(name);
    job->ExpectedLength = it == Files().end() ? 0 : it->second.size();
    return job;
  }
  std::string Written(const std::string& name) { return ReadFileBytes(out_.File(name + ".update.1")); }
  void ExpectCleanRun(const std::string& name) {
    EXPECT_EQ(runner_.done_count, 1);
    EXPECT_EQ(runner_.progress_total, Files().at(name).size());
    EXPECT_LE(runner_.largest_progress, 4096u);
    EXPECT_EQ(runner_.messages.back().msg, WM_JOB_DONE);  // nothing after the result
    EXPECT_EQ(runner_.messages.back().kind, static_cast<uint32_t>(kJobFile));
  }

  static TempDir* root_;
  static TestUpdateServer* server_;
  TempDir out_;
  JobRunner runner_;
};

TempDir* JobTest::root_ = nullptr;
TestUpdateServer* JobTest::server_ = nullptr;

}  // namespace

TEST_F(JobTest, FilesComeAsFiveRangesAndMatchTheServedBytes) {
  for (const char* name : {"ten.bin", "mid.bin", "big.bin", "名 字.bin"}) {
    auto job = FileJob(name);
    job->OneStreamBelow = CInetFile::kMinRangedLength;
    ASSERT_EQ(runner_.Run(job.get(), true), kJobOk) << name;
    EXPECT_EQ(Written(name), Files().at(name)) << name;
    ExpectCleanRun(name);
    EXPECT_EQ(job->Received, Files().at(name).size());
  }
  std::string log = server_->RequestLog();
  for (const char* range : {"bytes=0-1", "bytes=2-3", "bytes=4-5", "bytes=6-7", "bytes=8-9"}) {
    EXPECT_NE(log.find(range), std::string::npos) << range;
  }
  EXPECT_NE(log.find("GET /update/1/%E5%90%8D%20%E5%AD%97.bin HTTP/1.1"), std::string::npos);
  EXPECT_NE(log.find("\"Host\": \"127.0.0.1:" + std::to_string(server_->port()) + "\""),
            std::string::npos);
  EXPECT_NE(log.find("\"User-Agent\": \"AutoUpdate_Lurin\""), std::string::npos);
  EXPECT_NE(log.find("\"Cache-Control\": \"no-cache\""), std::string::npos);
}

TEST_F(JobTest, TheRangesStartAtOnceWhenTheManifestGivesTheLength) {
  const int before = server_->CountRequests("/update/1/big.bin");
  auto job = FileJob("big.bin");
  ASSERT_EQ(runner_.Run(job.get(), true), kJobOk);
  EXPECT_EQ(Written("big.bin"), Files().at("big.bin"));
  // Five ranged requests and no request for the whole file.
  EXPECT_EQ(server_->CountRequests("/update/1/big.bin") - before, 5);
  // Bytes that came out of order are digested when the file is checked.
  EXPECT_EQ(job->ComputedMd5, L"");
}

TEST_F(JobTest, SmallerFilesComeInOneStreamDigestedOnTheWay) {
  const int before = server_->CountRequests("/update/1/mid.bin");
  auto job = FileJob("mid.bin");
  ASSERT_GT(job->OneStreamBelow, Files().at("mid.bin").size());
  ASSERT_EQ(runner_.Run(job.get(), true), kJobOk);
  EXPECT_EQ(Written("mid.bin"), Files().at("mid.bin"));
  ExpectCleanRun("mid.bin");
  EXPECT_EQ(server_->CountRequests("/update/1/mid.bin") - before, 1);
  char digest[33];
  MD5_CTX ctx;
  ASSERT_TRUE(ctx.DigestFile(digest, out_.File("mid.bin.update.1").c_str()));
  EXPECT_EQ(job->ComputedMd5, platform::FromUtf8(digest));
  // A run that breaks off leaves no digest behind.
  server_->SetRules("{\"/update/1/mid.bin\": \"close-mid-body\"}");
  EXPECT_EQ(runner_.Run(job.get(), true), kJobTransferFailed);
  EXPECT_EQ(job->ComputedMd5, L"");
}

TEST_F(JobTest, ShortAndEmptyFilesComeInOneStream) {
  int ranges_before = server_->CountRequests("bytes=");
  for (const char* name : {"empty.bin", "one.bin", "four.bin"}) {
    auto job = FileJob(name);
    ASSERT_EQ(runner_.Run(job.get(), true), kJobOk) << name;
    EXPECT_TRUE(PathExists(out_.File(std::string(name) + ".update.1")));
    EXPECT_EQ(Written(name), Files().at(name));
    ExpectCleanRun(name);
  }
  EXPECT_EQ(server_->CountRequests("bytes="), ranges_before);
}

TEST_F(JobTest, DocumentsAreWrittenUnderTheTargetNameInMissingDirectories) {
  auto job = std::make_unique<CInetFile>(platform::FromUtf8(server_->base() + "/update/1/doc.xml"),
                                         nullptr, L"1");
  job->Kind = kJobManifest;
  job->TargetPath = out_.WFile("a/b/c/doc.xml");
  EXPECT_EQ(job->GetTempName(), job->TargetPath);
  ASSERT_EQ(runner_.Run(job.get(), false), kJobOk);
  EXPECT_EQ(ReadFileBytes(out_.File("a/b/c/doc.xml")), Files().at("doc.xml"));
  EXPECT_EQ(runner_.messages.back().kind, static_cast<uint32_t>(kJobManifest));
}

TEST_F(JobTest, MisbehavingServersThatStillDeliverGiveTheRightFile) {
  for (const char* rule : {"ignore-range", "chunked", "lowercase-headers", "no-length", "trickle"}) {
    // One stream and five ranges alike.
    for (const char* name : {"mid.bin", "big.bin"}) {
      if (std::string(rule) == "trickle") name = "ten.bin";
      server_->SetRules(std::string("{\"/update/1/") + name + "\": \"" + rule + "\"}");
      auto job = FileJob(name);
      if (std::string(rule) == "trickle") job->OneStreamBelow = CInetFile::kMinRangedLength;
      ASSERT_EQ(runner_.Run(job.get(), true), kJobOk) << rule << " " << name;
      EXPECT_EQ(Written(name), Files().at(name)) << rule << " " << name;
      ExpectCleanRun(name);
    }
  }
}

TEST_F(JobTest, RedirectsAreFollowedAndBounded) {
  const std::string file = server_->base() + "/update/1/mid.bin";
  const std::string rules[] = {
      "{\"/r\": \"redirect:/update/1/mid.bin\"}",
      "{\"/r\": \"redirect:" + file + "\"}",
      "{\"/r\": \"redirect:update/1/mid.bin\"}",
      "{\"/r\": \"redirect:/r2\", \"/r2\": \"redirect:r3\", \"/r3\": \"redirect:" + file + "\"}",
  };
  for (const std::string& r : rules) {
    server_->SetRules(r);
    auto job = std::make_unique<CInetFile>(platform::FromUtf8(server_->base() + "/r"), nullptr, L"1");
    job->Kind = kJobVersionList;
    job->TargetPath = out_.WFile("redirected");
    ASSERT_EQ(runner_.Run(job.get(), false), kJobOk) << r;
    EXPECT_EQ(ReadFileBytes(out_.File("redirected")), Files().at("mid.bin")) << r;
  }
  server_->SetRules("{\"/loop\": \"redirect:/loop\"}");
  auto job = std::make_unique<CInetFile>(platform::FromUtf8(server_->base() + "/loop"), nullptr, L"1");
  job->Kind = kJobVersionList;
  job->TargetPath = out_.WFile("loop");
  EXPECT_EQ(runner_.Run(job.get(), false), kJobTransferFailed);
  EXPECT_EQ(runner_.done_count, 1);
  EXPECT_EQ(server_->CountRequests("\"/loop\""), 1 + CDownLoad::kMaxRedirects);
}

TEST_F(JobTest, BrokenTransfersEndInCodeSixExactlyOnce) {
  for (const char* rule : {"close-mid-body", "short-length", "long-length", "huge-header",
                           "wrong-range", "status:404", "status:500"}) {
    server_->SetRules(std::string("{\"/update/1/big.bin\": \"") + rule + "\"}");
    auto job = FileJob("big.bin");
    EXPECT_EQ(runner_.Run(job.get(), true), kJobTransferFailed) << rule;
    EXPECT_EQ(runner_.done_count, 1) << rule;
  }
  auto missing = FileJob("missing.bin");
  EXPECT_EQ(runner_.Run(missing.get(), true), kJobTransferFailed);
}

TEST_F(JobTest, AFileOfAnotherLengthThanTheManifestSaysIsRefused) {
  auto job = FileJob("mid.bin");
  job->ExpectedLength = 300000;
  EXPECT_EQ(runner_.Run(job.get(), true), kJobTransferFailed);
  server_->SetRules("{\"/update/1/mid.bin\": \"no-length\"}");
  EXPECT_EQ(runner_.Run(job.get(), true), kJobTransferFailed);  // too long, found while streaming
  // Fetched in ranges, the file's full length comes with every part.
  for (const char* rule : {"{}", "{\"/update/1/big.bin\": \"ignore-range\"}"}) {
    server_->SetRules(rule);
    auto longer = FileJob("big.bin");
    longer->ExpectedLength -= 1;
    EXPECT_EQ(runner_.Run(longer.get(), true), kJobTransferFailed) << rule;
  }
}

TEST_F(JobTest, StartAndCreateFailuresHaveTheirOwnCodes) {
  auto bad_url = std::make_unique<CInetFile>(L"https://127.0.0.1/x", nullptr, L"1");
  bad_url->Kind = kJobVersionList;
  bad_url->TargetPath = out_.WFile("x");
  EXPECT_EQ(runner_.Run(bad_url.get(), false), kJobStartFailed);

  WriteFileBytes(out_.File("plain"), "a file, not a directory");
  auto job = FileJob("mid.bin", "plain/sub/mid.bin");
  EXPECT_EQ(runner_.Run(job.get(), true), kJobCreateFailed);

  auto refused = std::make_unique<CInetFile>(
      platform::FromUtf8("http://127.0.0.1:" + std::to_string(FreePort()) + "/x"), nullptr, L"1");
  refused->Kind = kJobManifest;
  refused->TargetPath = out_.WFile("y");
  EXPECT_EQ(runner_.Run(refused.get(), false), kJobTransferFailed);
}

TEST_F(JobTest, AStalledTransferPostsNothingAndStopsQuietly) {
  server_->SetRules("{\"/update/1/big.bin\": \"stall\"}");
  auto job = FileJob("big.bin");
  EXPECT_EQ(runner_.Run(job.get(), true, 1500), -1);
  job->Stop();
  platform::RunUntil([] { return false; }, 100);
  EXPECT_EQ(runner_.done_count, 0);
}

TEST_F(JobTest, ARestartedJobBeginsFromZero) {
  auto job = FileJob("mid.bin");
  job->NotifyWindow = runner_.handle();
  job->Start(true);
  platform::RunUntil([&] { return runner_.progress_total > 0; }, 5000);
  ASSERT_EQ(runner_.Run(job.get(), true), kJobOk);
  EXPECT_EQ(runner_.done_count, 1);
  EXPECT_EQ(Written("mid.bin"), Files().at("mid.bin"));
}

TEST(JobQueue, QueuedJobsAreSmall) {
  // Thousands wait in the queue; connections and buffers come with Start.
  EXPECT_LT(sizeof(CInetFile), 1024u);
}

TEST(JobQueue, RemoveDeletesOnlyTheJobGiven) {
  CInetFiles queue;
  auto* a = new CInetFile(L"http://127.0.0.1/a", nullptr, L"1");
  auto* b = new CInetFile(L"http://127.0.0.1/b", nullptr, L"1");
  queue.AddTail(a);
  queue.AddTail(b);
  EXPECT_EQ(queue.GetHead(), a);
  queue.Remove(a);
  EXPECT_EQ(queue.GetCount(), 1u);
  EXPECT_EQ(queue.GetHead(), b);
  EXPECT_EQ(b->Url, L"http://127.0.0.1/b");
  queue.RemoveAll();
  EXPECT_EQ(queue.GetHead(), nullptr);
}

TEST(JobQueue, UrlOfAnEntryJoinsLocalPathAndFileName) {
  CUpdateFile entry(L"/game/data/a.dll");
  entry.LocalPath = L"data/";
  entry.FileName = L"a.dll";
  CInetFile job(L"http://127.0.0.1:8080", &entry, L"6");
  EXPECT_EQ(job.Url, L"http://127.0.0.1:8080/update/6/data/a.dll");
  job.TargetPath = L"/game/data/a.dll";
  EXPECT_EQ(job.GetTempName(), L"/game/data/a.dll.update.6");
}
