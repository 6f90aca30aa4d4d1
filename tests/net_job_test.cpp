#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "digest/md5.h"
#include "digest/sha256_file.h"
#include "manifest/update_file.h"
#include "update/file_job.h"
#include "platform/text.h"
#include "support/job_runner.h"
#include "support/servers.h"
#include "support/temp_dir.h"

namespace {

class JobTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new TempDir;
    mkdir(root_->File("update").c_str(), 0755);
    mkdir(root_->File("update/1").c_str(), 0755);
    for (auto& f : Files()) WriteFileBytes(root_->File("update/1/" + f.first), f.second);
    WriteFileBytes(root_->File("signed"), Files().at("ten.bin"));
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
        {"big.bin", RandomBytes(CInetFile::kOneStreamBelow + 7, 2)},  // comes in ranges
        {"doc.xml", "<r><Product productVerion=\"1\"/></r>"},
        {"名 字.bin", RandomBytes(20000, 3)},
        {"100%41.dat", RandomBytes(5000, 4)},
        {"C#1.dat", RandomBytes(6000, 5)},
        {"a+b&c=d;e?f.dat", RandomBytes(7000, 6)},
    };
    return files;
  }
  void SetUp() override { server_->SetRules("{}"); }

  // A kind-2 job for update/1/<name> into the scratch directory; no
  // progress of an earlier case is taken up.
  std::unique_ptr<CInetFile> FileJob(const std::string& name, const std::string& target = "") {
    unlink(out_.File((target.empty() ? name : target) + ".update.1.progress").c_str());
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
  // A kind-1 job for a document at |path| of the server.
  std::unique_ptr<CInetFile> DocumentJob(const std::string& path) {
    auto job = std::make_unique<CInetFile>(platform::FromUtf8(server_->base() + path), nullptr, L"1");
    job->Kind = kJobManifest;
    job->TargetPath = out_.WFile("document");
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
  // Bytes that came out of order are digested in order all the same; the
  // SHA-256 too when the entry gives one.
  char digest[33];
  MD5_CTX ctx;
  ASSERT_TRUE(ctx.DigestFile(digest, out_.WFile("big.bin.update.1")));
  EXPECT_EQ(job->ComputedMd5, platform::FromUtf8(digest));
  EXPECT_EQ(job->ComputedSha256, L"");
  std::wstring sha256;
  ASSERT_TRUE(Sha256OfFile(out_.WFile("big.bin.update.1"), &sha256));
  job = FileJob("big.bin");
  job->ExpectedSha256 = sha256;
  ASSERT_EQ(runner_.Run(job.get(), true), kJobOk);
  EXPECT_EQ(job->ComputedMd5, platform::FromUtf8(digest));
  EXPECT_EQ(job->ComputedSha256, sha256);
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
  ASSERT_TRUE(ctx.DigestFile(digest, out_.WFile("mid.bin.update.1")));
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
      "{\"/r\": \"redirect-301:/update/1/mid.bin\"}",
      "{\"/r\": \"redirect-303:/update/1/mid.bin\"}",
      "{\"/r\": \"redirect-307:/update/1/mid.bin\"}",
      "{\"/r\": \"redirect-308:/update/1/mid.bin\"}",
      "{\"/r\": \"redirect:/update/1/mid.bin?from=http://x\"}",
      "{\"/r\": \"redirect://127.0.0.1:" + std::to_string(server_->port()) + "/update/1/mid.bin\"}",
      "{\"/update/1/r\": \"redirect:./mid.bin#part\"}",
      "{\"/update/1/mid.bin\": \"redirect:?v=2\", \"/update/1/mid.bin?v=2\": \"serve\"}",
  };
  for (const std::string& r : rules) {
    server_->SetRules(r);
    const std::string from = r.find("/update/1/r\"") != std::string::npos ? "/update/1/r"
                             : r.find("?v=2") != std::string::npos     ? "/update/1/mid.bin"
                                                                        : "/r";
    auto job = std::make_unique<CInetFile>(platform::FromUtf8(server_->base() + from), nullptr, L"1");
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

TEST_F(JobTest, ARedirectTargetGoesOutWithItsEscapesAsTheyStand) {
  server_->SetRules("{\"/r\": \"redirect:/signed?sig=a%2Bb%26c%3Dd\"}");
  auto job = DocumentJob("/r");
  ASSERT_EQ(runner_.Run(job.get(), false), kJobOk);
  EXPECT_EQ(ReadFileBytes(out_.File("document")), Files().at("ten.bin"));
  EXPECT_NE(server_->RequestLog().find("\"request_line\": \"GET /signed?sig=a%2Bb%26c%3Dd HTTP/1.1\""),
            std::string::npos)
      << server_->RequestLog();
}

TEST_F(JobTest, NamesWithReservedCharactersAreFetched) {
  for (const char* name : {"100%41.dat", "C#1.dat", "a+b&c=d;e?f.dat", "名 字.bin"}) {
    auto job = FileJob(name);
    ASSERT_EQ(runner_.Run(job.get(), true), kJobOk) << name;
    EXPECT_EQ(Written(name), Files().at(name)) << name;
  }
  const std::string log = server_->RequestLog();
  for (const char* sent : {"GET /update/1/100%2541.dat ", "GET /update/1/C%231.dat ",
                           "GET /update/1/a%2Bb%26c%3Dd%3Be%3Ff.dat "}) {
    EXPECT_NE(log.find(sent), std::string::npos) << sent;
  }
}

TEST_F(JobTest, BodiesFramedByAgreeingLengthsArriveAndTheOthersFailAtOnce) {
  struct Case {
    const char* rule;
    int code;
  };
  const Case cases[] = {
      {"length:10, 10", kJobOk},
      {"lengths:10|10", kJobOk},
      {"bare-lf", kJobOk},
      {"interim", kJobOk},
      {"length:10, 9", kJobTransferFailed},
      {"lengths:10|9", kJobTransferFailed},
      {"lengths:9|10", kJobTransferFailed},
      {"length:18446744073709551626", kJobTransferFailed},
      {"length:12345678901234567890", kJobTransferFailed},
      {"length:1x", kJobTransferFailed},
      {"lone-cr", kJobTransferFailed},
  };
  for (const Case& c : cases) {
    server_->SetRules(std::string("{\"/update/1/ten.bin\": \"") + c.rule + "\"}");
    auto job = DocumentJob("/update/1/ten.bin");
    // The server keeps the connection open: a body read to its close would
    // never end.
    EXPECT_EQ(runner_.Run(job.get(), false, 10000), c.code) << c.rule;
    if (c.code == kJobOk) {
      EXPECT_EQ(ReadFileBytes(out_.File("document")), Files().at("ten.bin")) << c.rule;
    }
  }
}

TEST_F(JobTest, EndlessChunkTrailersFailTheTransfer) {
  for (bool ranges : {false, true}) {
    server_->SetRules("{\"/update/1/mid.bin\": \"endless-trailers\"}");
    auto job = FileJob("mid.bin");
    EXPECT_EQ(runner_.Run(job.get(), ranges, 10000), kJobTransferFailed) << ranges;
    EXPECT_EQ(runner_.done_count, 1);
  }
}

TEST_F(JobTest, TheLastHttpStatusOfTheRequestIsKept) {
  struct Case {
    const char* rules;
    int status;
  };
  const Case cases[] = {
      {"{}", 200},
      {"{\"/update/1/ten.bin\": \"status:404\"}", 404},
      {"{\"/update/1/ten.bin\": \"status:410\"}", 410},
      {"{\"/update/1/ten.bin\": \"status:500\"}", 500},
      {"{\"/update/1/ten.bin\": \"redirect:/gone\", \"/gone\": \"status:410\"}", 410},
      {"{\"/update/1/ten.bin\": \"close-mid-body\"}", 200},
  };
  for (const Case& c : cases) {
    server_->SetRules(c.rules);
    auto job = DocumentJob("/update/1/ten.bin");
    runner_.Run(job.get(), false);
    EXPECT_EQ(job->HttpStatus, c.status) << c.rules;
  }
  auto refused = std::make_unique<CInetFile>(
      platform::FromUtf8("http://127.0.0.1:" + std::to_string(FreePort()) + "/x"), nullptr, L"1");
  refused->Kind = kJobManifest;
  refused->TargetPath = out_.WFile("y");
  EXPECT_EQ(runner_.Run(refused.get(), false), kJobTransferFailed);
  EXPECT_EQ(refused->HttpStatus, 0);
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
  auto bad_url = std::make_unique<CInetFile>(L"gopher://127.0.0.1/x", nullptr, L"1");
  bad_url->Kind = kJobVersionList;
  bad_url->TargetPath = out_.WFile("x");
  EXPECT_EQ(runner_.Run(bad_url.get(), false), kJobStartFailed);

  // A directory whose name no file system takes.
  auto job = FileJob("mid.bin", std::string(300, 'd') + "/mid.bin");
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
  auto owned_a = std::make_unique<CInetFile>(L"http://127.0.0.1/a", nullptr, L"1");
  auto owned_b = std::make_unique<CInetFile>(L"http://127.0.0.1/b", nullptr, L"1");
  CInetFile* a = owned_a.get();
  CInetFile* b = owned_b.get();
  queue.AddTail(std::move(owned_a));
  queue.AddTail(std::move(owned_b));
  EXPECT_EQ(queue.GetHead(), a);
  queue.Remove(a);
  EXPECT_EQ(queue.GetCount(), 1u);
  EXPECT_EQ(queue.GetHead(), b);
  EXPECT_EQ(b->Url, L"http://127.0.0.1/b");
  queue.RemoveAll();
  EXPECT_EQ(queue.GetHead(), nullptr);
}

TEST(JobQueue, UrlOfAnEntryJoinsLocalPathAndFileNameEncoded) {
  CUpdateFile entry(L"/game/data/a.dll");
  entry.LocalPath = L"data/";
  entry.FileName = L"a.dll";
  CInetFile job(L"http://127.0.0.1:8080", &entry, L"6");
  EXPECT_EQ(job.Url, L"http://127.0.0.1:8080/update/6/data/a.dll");
  job.TargetPath = L"/game/data/a.dll";
  EXPECT_EQ(job.GetTempName(), L"/game/data/a.dll.update.6");

  entry.LocalPath = L"d\\数据\\";
  entry.FileName = L"100%41 #1.dat";
  CInetFile encoded(L"http://h/base%20dir", &entry, L"7");
  EXPECT_EQ(encoded.Url, L"http://h/base%20dir/update/7/d/%E6%95%B0%E6%8D%AE/100%2541%20%231.dat");
}

namespace {

// A ctest entry runs these under LC_ALL=zh_CN.GBK, where the program's ANSI
// code page is GBK as on a Chinese Windows; elsewhere they skip.
class LegacyCodePageTest : public testing::Test {
 protected:
  void SetUp() override {
    if (platform::ToAnsi(L"名") != platform::ToUtf8(L"名")) return;
    const char* locale = getenv("LC_ALL");
    if (locale && std::string(locale).find("GBK") != std::string::npos) {
      FAIL() << "the zh_CN.GBK locale is not installed (scripts/install-deps.sh makes it)";
    }
    GTEST_SKIP() << "needs LC_ALL=zh_CN.GBK";
  }
  // Puts |content| at update/1/<dir>/<name> below |root|, the names in
  // |charset|.
  static void Place(const TempDir& root, const char* charset, const std::wstring& dir,
                    const std::wstring& name, const std::string& content) {
    auto bytes = [&](const std::wstring& text) { return platform::EncodeCharset(text, charset, nullptr); };
    mkdir(root.File("update").c_str(), 0755);
    mkdir(root.File("update/1").c_str(), 0755);
    mkdir(root.File("update/1/" + bytes(dir)).c_str(), 0755);
    WriteFileBytes(root.File("update/1/" + bytes(dir) + "/" + bytes(name)), content);
  }
  std::unique_ptr<CInetFile> Job(const std::string& base, const std::wstring& dir, const std::wstring& name,
                                 size_t length) {
    CUpdateFile entry(L"");
    entry.LocalPath = dir + L"/";
    entry.FileName = name;
    auto job = std::make_unique<CInetFile>(platform::FromUtf8(base), &entry, L"1");
    job->TargetPath = out_.WFile("f");
    job->ExpectedLength = length;
    return job;
  }
  TempDir out_;
  JobRunner runner_;
};

}  // namespace

TEST_F(LegacyCodePageTest, UnicodeNamesGoFirstAndLegacyNamesAreAskedForAfterA404) {
  const std::wstring dir = L"地图", name = L"名 字.bin";
  const std::string content = RandomBytes(30000, 7);
  const std::string utf8_path = "/update/1/%E5%9C%B0%E5%9B%BE/%E5%90%8D%20%E5%AD%97.bin";
  const std::string gbk_path = "/update/1/%B5%D8%CD%BC/%C3%FB%20%D7%D6.bin";
  TempDir utf8_root, gbk_root;
  Place(utf8_root, "UTF-8", dir, name, content);
  Place(gbk_root, "GBK", dir, name, content);
  TestUpdateServer utf8_server(utf8_root.path(), "utf-8");
  TestUpdateServer gbk_server(gbk_root.path(), "gbk");
  NginxServer nginx(utf8_root.path());

  // UTF-8 names on disk: the first request is the one.
  std::vector<std::string> utf8_bases = {utf8_server.base()};
  if (nginx.ok()) utf8_bases.push_back(nginx.base());
  for (const std::string& base : utf8_bases) {
    auto job = Job(base, dir, name, content.size());
    ASSERT_EQ(runner_.Run(job.get(), true), kJobOk) << base;
    EXPECT_EQ(ReadFileBytes(out_.File("f.update.1")), content);
    EXPECT_EQ(job->TriedUrl, platform::FromUtf8(base + utf8_path));
  }
  EXPECT_EQ(utf8_server.CountRequests("%C3%FB"), 0);

  // GBK names on disk: UTF-8 is answered 404, then the GBK name is fetched.
  auto job = Job(gbk_server.base(), dir, name, content.size());
  ASSERT_EQ(runner_.Run(job.get(), true), kJobOk);
  EXPECT_EQ(ReadFileBytes(out_.File("f.update.1")), content);
  EXPECT_EQ(job->TriedUrl, platform::FromUtf8(gbk_server.base() + gbk_path));
  const std::string log = gbk_server.RequestLog();
  size_t first = log.find("GET " + utf8_path + " ");
  size_t second = log.find("GET " + gbk_path + " ");
  ASSERT_NE(first, std::string::npos) << log;
  ASSERT_NE(second, std::string::npos) << log;
  EXPECT_LT(first, second);

  // In ranges too: the parts ask again under the legacy name.
  auto ranged = Job(gbk_server.base(), dir, name, content.size());
  ranged->OneStreamBelow = CInetFile::kMinRangedLength;
  ASSERT_EQ(runner_.Run(ranged.get(), true), kJobOk);
  EXPECT_EQ(ReadFileBytes(out_.File("f.update.1")), content);
  EXPECT_EQ(ranged->TriedUrl, platform::FromUtf8(gbk_server.base() + gbk_path));

  // A name on neither server side: one request in each encoding, then 404.
  auto missing = Job(gbk_server.base(), dir, L"无.bin", 10);
  EXPECT_EQ(runner_.Run(missing.get(), true), kJobTransferFailed);
  EXPECT_EQ(missing->HttpStatus, 404);
  EXPECT_EQ(gbk_server.CountRequests("%CE%DE.bin"), 1);
  EXPECT_EQ(gbk_server.CountRequests("%E6%97%A0.bin"), 1);
  EXPECT_EQ(runner_.done_count, 1);
}
