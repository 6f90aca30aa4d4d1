#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <ctime>

#include "delta/chunk_index.h"
#include "digest/hex.h"
#include "digest/sha256_file.h"
#include "manifest/update_files.h"
#include "platform/files.h"
#include "platform/signature.h"
#include "platform/text.h"
#include "publish.h"
#include "release_names.h"
#include "signing_key.h"
#include "support/temp_dir.h"
#include "update/resume_file.h"
#include "update/trust.h"

namespace {

int RunPublisher(const std::string& args) {
  std::string cmd = std::string(UPDATER_BINARY_DIR) + "/bin/updater-publish " + args + " >/dev/null 2>&1";
  return WEXITSTATUS(system(cmd.c_str()));
}

// Runs the publisher and returns what it printed.
std::string PublisherOutput(const std::string& args) {
  std::string cmd = std::string(UPDATER_BINARY_DIR) + "/bin/updater-publish " + args + " 2>/dev/null";
  FILE* pipe = popen(cmd.c_str(), "r");
  std::string out;
  char buf[512];
  while (fgets(buf, sizeof(buf), pipe)) out += buf;
  pclose(pipe);
  return out;
}

// Runs the publisher; returns its exit status and what it wrote to stderr.
int PublisherErrors(const std::string& args, std::string* errors) {
  std::string cmd = std::string(UPDATER_BINARY_DIR) + "/bin/updater-publish " + args + " 2>&1 >/dev/null";
  FILE* pipe = popen(cmd.c_str(), "r");
  char buf[512];
  errors->clear();
  while (fgets(buf, sizeof(buf), pipe)) *errors += buf;
  return WEXITSTATUS(pclose(pipe));
}

bool Contains(const std::wstring& text, const std::wstring& part) {
  return text.find(part) != std::wstring::npos;
}

// The SHA-256 of an index's header and group table, as the manifest
// carries it.
std::wstring PrefixDigest(const std::string& index) {
  ChunkIndex prefix;
  uint64_t size = 0;
  if (!ParseChunkIndexPrefix(index, &prefix, &size) || size > index.size()) return L"";
  platform::Sha256 sha;
  sha.Update(index.data(), static_cast<size_t>(size));
  uint8_t digest[platform::kSha256Size];
  if (!sha.Final(digest)) return L"";
  return platform::FromUtf8(ToHex(digest, sizeof(digest)));
}

}  // namespace

TEST(Publish, ReleaseWritesAManifestAndFilesThatReadBack) {
  TempDir src, root;
  mkdir(src.File("数据").c_str(), 0755);
  WriteFileBytes(src.File("game.exe"), "exe bytes");
  WriteFileBytes(src.File("数据/地图 1.dat"), std::string(100000, 'm'));
  std::wstring error, table;
  ASSERT_TRUE(PublishRelease(L"6", platform::FromUtf8(src.path()), platform::FromUtf8(root.path()),
                             &error, &table)) << platform::ToUtf8(error);
  EXPECT_NE(table.find(L"地图 1.dat"), std::wstring::npos);
  EXPECT_EQ(ReadFileBytes(root.File("update/6/数据/地图 1.dat")), std::string(100000, 'm'));

  CUpdateFiles manifest;
  manifest.ModuleDir = L"/install";
  std::wstring config = root.WFile("update/6/FileConfig.xml");
  manifest.LoadXml(config, true);
  EXPECT_EQ(manifest.productVerion, L"6");
  ASSERT_TRUE(manifest.LoadXml(config, false));
  ASSERT_EQ(manifest.GetCount(), 2u);
  const std::unique_ptr<CUpdateFile> exe = manifest.Entry(0);
  const std::unique_ptr<CUpdateFile> map = manifest.Entry(manifest.GetCount() - 1);
  EXPECT_EQ(exe->FileName, L"game.exe");
  EXPECT_EQ(exe->LocalPath, L"");
  EXPECT_EQ(exe->Length, 9);
  EXPECT_EQ(map->FullPath, L"/install/数据/地图 1.dat");
  EXPECT_EQ(map->Md5.size(), 32u);
  platform::FILETIME source_time;
  platform::GetLastWriteTime(src.WFile("数据/地图 1.dat"), &source_time);
  // The low half reads back clamped to the signed 32-bit range.
  uint32_t low = std::min<uint32_t>(source_time.dwLowDateTime, 2147483647u);
  EXPECT_EQ(map->FileDate.dwLowDateTime, low);
  EXPECT_EQ(map->FileDate.dwHighDateTime, source_time.dwHighDateTime);
}

TEST(Publish, VersionListCarriesScrambledLongAddresses) {
  TempDir root;
  std::vector<std::wstring> urls = {L"127.0.0.1:8080", L"http://127.0.0.1:18080/mirror/a"};
  std::wstring error;
  ASSERT_TRUE(PublishVersionList(platform::FromUtf8(root.path()), L"5", L"7", urls, &error));
  CUpdateFiles list;
  std::wstring path = root.WFile("update/VerAndUrl.xml");
  list.LoadXml(path, true);
  list.LoadUrlList(path);
  EXPECT_EQ(list.productVerion, L"5");
  EXPECT_EQ(list.maxVersion, L"7");
  EXPECT_EQ(list.UrlList[0], urls[0]);
  EXPECT_NE(list.UrlList[1], urls[1]);
  EXPECT_EQ(DescrambleServerEntry(list.UrlList[1]), urls[1]);
}

TEST(Publish, CommandLineTakesHttpsAddressesAsTheyAre) {
  TempDir root;
  ASSERT_EQ(RunPublisher("versions --to " + root.path() +
                         " --product 1 --max 2 --url https://cdn.example.test/game --url HTTPS://a.test"),
            0);
  CUpdateFiles list;
  list.LoadUrlList(root.WFile("update/VerAndUrl.xml"));
  EXPECT_EQ(DescrambleServerEntry(list.UrlList[0]), L"https://cdn.example.test/game");
  EXPECT_EQ(list.UrlList[1], L"HTTPS://a.test");
}

TEST(Publish, CommandLineErrorsExitNonZero) {
  TempDir root;
  EXPECT_EQ(RunPublisher("--help"), 0);
  EXPECT_NE(RunPublisher(""), 0);
  EXPECT_NE(RunPublisher("release --version 1 --from /nonexistent --to " + root.path()), 0);
  EXPECT_NE(RunPublisher("release --version ../1 --from " + root.path() + " --to " + root.path()), 0);
  std::string many = "versions --to " + root.path() + " --product 1 --max 1";
  for (int i = 0; i < 9; ++i) many += " --url 127.0.0.1:" + std::to_string(8000 + i);
  EXPECT_NE(RunPublisher(many), 0);
  EXPECT_NE(RunPublisher("versions --to /proc/none --product 1 --max 1"), 0);
  EXPECT_EQ(RunPublisher("versions --to " + root.path() + " --product 1 --max 2 --url 127.0.0.1:1"), 0);
  EXPECT_TRUE(PathExists(root.File("update/VerAndUrl.xml")));
}

TEST(Publish, AChangedFileNeverGetsThePreviousReleasesTime) {
  TempDir v6, v7, root;
  // Both low halves lie above 2^31 - 1, where the client clamps them to
  // the same value: a minute apart, they would read as one time.
  const platform::FILETIME first{0x80000000u + 1000, 30000000};
  const platform::FILETIME later{0x80000000u + 1000 + 600000000u, 30000000};
  const platform::FILETIME plain{1000, 30000001};
  WriteFileBytes(v6.File("readme.txt"), "release six");
  WriteFileBytes(v6.File("same.txt"), "unchanged");
  WriteFileBytes(v7.File("readme.txt"), "release seven");
  WriteFileBytes(v7.File("same.txt"), "unchanged");
  platform::SetAllFileTimes(v6.WFile("readme.txt"), first);
  platform::SetAllFileTimes(v6.WFile("same.txt"), plain);
  platform::SetAllFileTimes(v7.WFile("readme.txt"), later);
  platform::SetAllFileTimes(v7.WFile("same.txt"), plain);
  std::wstring error, table6, table7;
  const std::wstring out = platform::FromUtf8(root.path());
  ASSERT_TRUE(PublishRelease(L"6", platform::FromUtf8(v6.path()), out, &error, &table6));
  ASSERT_TRUE(PublishRelease(L"7", platform::FromUtf8(v7.path()), out, &error, &table7));

  auto load = [&](const std::string& version) {
    auto manifest = std::make_unique<CUpdateFiles>();
    manifest->ModuleDir = L"/install";
    EXPECT_TRUE(manifest->LoadXml(root.WFile("update/" + version + "/FileConfig.xml"), false));
    return manifest;
  };
  auto six = load("6"), seven = load("7");
  ASSERT_EQ(six->GetCount(), 2u);
  ASSERT_EQ(seven->GetCount(), 2u);
  // What was written is what the client reads: no clamp happens on reading.
  const std::string xml = ReadFileBytes(root.File("update/6/FileConfig.xml"));
  EXPECT_NE(xml.find("<FileDateLow>2147483647</FileDateLow>"), std::string::npos);
  const std::unique_ptr<CUpdateFile> first6 = six->Entry(0), first7 = seven->Entry(0);
  const CUpdateFile& readme6 = *first6;
  const CUpdateFile& readme7 = *first7;
  EXPECT_NE(platform::ToTicks(readme6.FileDate), platform::ToTicks(readme7.FileDate));
  EXPECT_LE(readme7.FileDate.dwLowDateTime, 2147483647u);
  EXPECT_EQ(platform::ToTicks(six->Entry(six->GetCount() - 1)->FileDate), platform::ToTicks(seven->Entry(seven->GetCount() - 1)->FileDate));
  EXPECT_NE(table7.find(L"readme.txt"), std::wstring::npos);
  EXPECT_NE(table7.find(L"time changed"), std::wstring::npos);
  EXPECT_EQ(table6.find(L"time changed"), std::wstring::npos);
}

TEST(Publish, KeygenWritesAPrivateFileOnceAndPrintsTheKeyLine) {
  TempDir dir;
  std::string line = PublisherOutput("keygen --out " + dir.File("k.pem"));
  TrustedKey key;
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(line.back(), '\n');
  EXPECT_TRUE(ParsePublicKeyLine(line.substr(0, line.size() - 1), &key)) << line;
  struct stat st {};
  ASSERT_EQ(stat(dir.File("k.pem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string first = ReadFileBytes(dir.File("k.pem"));
  EXPECT_NE(RunPublisher("keygen --out " + dir.File("k.pem")), 0);
  EXPECT_EQ(ReadFileBytes(dir.File("k.pem")), first);
  EXPECT_NE(RunPublisher("keygen --out " + dir.File("no/such/dir/k.pem")), 0);
  EXPECT_NE(RunPublisher("release --version 1 --from " + dir.path() + " --to " + dir.path() +
                         " --sign " + dir.File("absent.pem")), 0);
}

TEST(Publish, SignedReleaseAndListVerifyWithThePrintedKey) {
  TempDir src, root, keys;
  mkdir(src.File("数据").c_str(), 0755);
  WriteFileBytes(src.File("game.exe"), "exe bytes");
  WriteFileBytes(src.File("数据/地图.dat"), std::string(70000, 'm'));
  std::string pem = keys.File("k.pem");
  WriteFileBytes(keys.File("UpdateTrust.pub"), PublisherOutput("keygen --out " + pem));
  ASSERT_EQ(RunPublisher("release --version 6 --from " + src.path() + " --to " + root.path() +
                         " --sign " + pem), 0);
  ASSERT_EQ(RunPublisher("versions --to " + root.path() + " --product 6 --max 6 --sign " + pem +
                         " --expires 2"), 0);

  CUpdateTrust trust;
  trust.Load(keys.WFile("UpdateTrust.pub"));
  int64_t now = time(nullptr);
  std::wstring manifest = root.WFile("update/6/FileConfig.xml");
  std::wstring list = root.WFile("update/VerAndUrl.xml");
  EXPECT_EQ(trust.Verify(manifest, manifest + L".sig", "update/6/FileConfig.xml", false, now),
            TrustVerdict::kTrusted);
  EXPECT_EQ(trust.Verify(list, list + L".sig", "update/VerAndUrl.xml", true, now),
            TrustVerdict::kTrusted);
  EXPECT_EQ(trust.Verify(list, list + L".sig", "update/VerAndUrl.xml", true, now + 2 * 86400 + 60),
            TrustVerdict::kExpired);
  EXPECT_EQ(trust.Verify(list, list + L".sig", "update/VerAndUrl.xml", true, now + 2 * 86400 - 60),
            TrustVerdict::kTrusted);

  CUpdateFiles files;
  ASSERT_TRUE(files.LoadXml(manifest, false));
  ASSERT_EQ(files.GetCount(), 2u);
  EXPECT_EQ(files.Entry(0)->FileName, L"game.exe");
  EXPECT_EQ(files.Entry(0)->Sha256,
            L"0bc0c6f5cb086b1629249c5d6b37d267cd5b8e999567ee1ccd9afc8694e371b1");
  EXPECT_EQ(files.Entry(files.GetCount() - 1)->Sha256.size(), 64u);
}

TEST(Publish, UnsignedPublicationHasNoSha256AndDropsStaleSignatures) {
  TempDir src, root, keys;
  WriteFileBytes(src.File("a.txt"), "a");
  std::string pem = keys.File("k.pem");
  PublisherOutput("keygen --out " + pem);
  ASSERT_EQ(RunPublisher("release --version 1 --from " + src.path() + " --to " + root.path() +
                         " --sign " + pem), 0);
  ASSERT_EQ(RunPublisher("versions --to " + root.path() + " --product 1 --max 1 --sign " + pem), 0);
  ASSERT_TRUE(PathExists(root.File("update/1/FileConfig.xml.sig")));
  ASSERT_EQ(RunPublisher("release --version 1 --from " + src.path() + " --to " + root.path()), 0);
  ASSERT_EQ(RunPublisher("versions --to " + root.path() + " --product 1 --max 1"), 0);
  EXPECT_FALSE(PathExists(root.File("update/1/FileConfig.xml.sig")));
  EXPECT_FALSE(PathExists(root.File("update/VerAndUrl.xml.sig")));
  EXPECT_EQ(ReadFileBytes(root.File("update/1/FileConfig.xml")).find("Sha256"), std::string::npos);
  EXPECT_NE(RunPublisher("versions --to " + root.path() + " --product 1 --max 1 --expires 3"), 0);
  EXPECT_NE(RunPublisher("versions --to " + root.path() + " --product 1 --max 1 --sign " + pem +
                         " --expires 0"), 0);
}

TEST(Publish, NamesThatDifferOnlyInCaseRefuseTheReleaseBeforeAnythingIsCopied) {
  TempDir src, root;
  mkdir(src.File("data").c_str(), 0755);
  WriteFileBytes(src.File("data/Map.dat"), "upper");
  WriteFileBytes(src.File("data/map.dat"), "lower");
  WriteFileBytes(src.File("game.exe"), "exe");
  std::string errors;
  EXPECT_NE(PublisherErrors("release --version 6 --from " + src.path() + " --to " + root.path(), &errors), 0);
  EXPECT_NE(errors.find("data/Map.dat and data/map.dat"), std::string::npos) << errors;
  EXPECT_FALSE(PathExists(root.File("update/6")));

  // A file against a directory, and letters beyond ASCII.
  TempDir other;
  mkdir(other.File("Sounds").c_str(), 0755);
  WriteFileBytes(other.File("Sounds/theme.ogg"), "ogg");
  WriteFileBytes(other.File("sounds"), "a file");
  WriteFileBytes(other.File("Äpfel.txt"), "1");
  WriteFileBytes(other.File("äpfel.txt"), "2");
  std::wstring error, table;
  EXPECT_FALSE(PublishRelease(L"6", platform::FromUtf8(other.path()), platform::FromUtf8(root.path()),
                              &error, &table));
  EXPECT_TRUE(Contains(error, L"sounds and Sounds/")) << platform::ToUtf8(error);
  EXPECT_TRUE(Contains(error, L"Äpfel.txt and äpfel.txt")) << platform::ToUtf8(error);
  EXPECT_FALSE(PathExists(root.File("update/6")));
}

TEST(Publish, ANameTheUpdaterGivesItsDownloadsRefusesTheRelease) {
  for (const std::string name : {"map.dat.update.7", "map.dat.update.7.progress"}) {
    TempDir src, root;
    WriteFileBytes(src.File("map.dat"), "map");
    WriteFileBytes(src.File(name), "named like a download");
    std::string errors;
    EXPECT_NE(PublisherErrors("release --version 6 --from " + src.path() + " --to " + root.path(), &errors), 0);
    EXPECT_NE(errors.find(name), std::string::npos) << errors;
    EXPECT_FALSE(PathExists(root.File("update/6")));
  }
}

TEST(Publish, APathNoWindowsClientCanStoreIsNamed) {
  TempDir src, root;
  // Three directories of 85 characters and a file: 262 characters in all.
  std::string dir = src.path();
  std::string relative;
  for (char c : std::string("abc")) {
    std::string part(85, c);
    dir += "/" + part;
    relative += part + "/";
    mkdir(dir.c_str(), 0755);
  }
  WriteFileBytes(dir + "/x.y", "long");
  WriteFileBytes(src.File("short.txt"), "short");
  std::string errors;
  EXPECT_NE(PublisherErrors("release --version 2 --from " + src.path() + " --to " + root.path(), &errors), 0);
  EXPECT_NE(errors.find(relative + "x.y"), std::string::npos) << errors;
  EXPECT_FALSE(PathExists(root.File("update/2")));
}

TEST(Publish, NameLimitsCountUtf8BytesPerNameAndUtf16UnitsPerPath) {
  std::wstring error;
  // 85 CJK characters are 255 bytes in UTF-8; 86 are 258.
  const std::wstring fits(85, L'地'), too_long(86, L'地');
  EXPECT_TRUE(CheckReleaseNames({{L"", fits}, {std::wstring(85, L'图'), L"a.dat"}}, &error))
      << platform::ToUtf8(error);
  EXPECT_FALSE(CheckReleaseNames({{L"", L"ok.dat"}, {L"data/" + too_long, L"a.dat"}}, &error));
  EXPECT_TRUE(Contains(error, too_long)) << platform::ToUtf8(error);
  EXPECT_FALSE(Contains(error, L"ok.dat"));

  // Characters beyond the BMP take two UTF-16 units: three directories of
  // 43 such characters and a name make a path of 265 units in 136 characters.
  const std::wstring wide(43, static_cast<wchar_t>(0x1F600));
  const std::wstring deep = wide + L"/" + wide + L"/" + wide;
  EXPECT_FALSE(CheckReleaseNames({{deep, L"a.b"}}, &error));
  EXPECT_TRUE(Contains(error, deep + L"/a.b")) << platform::ToUtf8(error);
  // 260 units exactly is a path Windows can hold.
  EXPECT_TRUE(CheckReleaseNames({{std::wstring(200, L'p'), std::wstring(59, L'n')}}, &error));
  EXPECT_FALSE(CheckReleaseNames({{std::wstring(200, L'p'), std::wstring(60, L'n')}}, &error));
}

TEST(Publish, AManifestAboveWhatClientsReadIsWarnedAbout) {
  EXPECT_EQ(ManifestSizeWarning(uint64_t{512} << 20), L"");
  const std::wstring warning = ManifestSizeWarning((uint64_t{512} << 20) + 1);
  EXPECT_TRUE(Contains(warning, L"512 MiB")) << platform::ToUtf8(warning);

  TempDir src, root;
  WriteFileBytes(src.File("a.txt"), "a");
  std::wstring error, table, written = L"not set";
  ASSERT_TRUE(PublishRelease(L"1", platform::FromUtf8(src.path()), platform::FromUtf8(root.path()),
                             &error, &table, nullptr, &written));
  EXPECT_EQ(written, L"");
}

TEST(Publish, InstallConfigWritesAddressesTheUpdaterReadsAsMeant) {
  TempDir install;
  // Values the publisher does not set stay; servers beyond the new list go.
  WriteFileBytes(install.File("UpdateTemp.ini"),
                 "[Temp]\r\nTemp3=old.example.test\r\n[Version]\r\nUpdaterMd5=0123\r\n");
  const std::string https = "https://updates.example.test/game/v6";
  ASSERT_EQ(RunPublisher("install-config --to " + install.path() + " --server " + https +
                         " --server 127.0.0.1:8080 --version 6 --home http://home.example.test/news"),
            0);
  ResumeFile file(install.WFile("UpdateTemp.ini"));
  EXPECT_EQ(file.ReadServerAddress(1), platform::FromUtf8(https));
  EXPECT_EQ(file.ReadServerAddress(2), L"127.0.0.1:8080");
  EXPECT_EQ(file.ReadServerAddress(3), L"");
  EXPECT_EQ(file.ReadCurrentVersion(L"0"), L"6");
  EXPECT_EQ(file.ReadHomeUrl(), L"http://home.example.test/news");
  EXPECT_EQ(file.ReadUpdaterMd5(), L"0123");
  EXPECT_EQ(ReadFileBytes(install.File("UpdateTemp.ini")).find(https), std::string::npos);

  // Without --version and --home the recorded ones stay.
  ASSERT_EQ(RunPublisher("install-config --to " + install.path() + " --server 127.0.0.1:9"), 0);
  EXPECT_EQ(file.ReadServerAddress(1), L"127.0.0.1:9");
  EXPECT_EQ(file.ReadServerAddress(2), L"");
  EXPECT_EQ(file.ReadCurrentVersion(L"0"), L"6");
  EXPECT_EQ(file.ReadHomeUrl(), L"http://home.example.test/news");
}

TEST(Publish, InstallConfigRefusesWhatTheUpdaterCouldNotUseAndWritesNothing) {
  TempDir install;
  const std::string to = "install-config --to " + install.path();
  std::string errors;
  EXPECT_NE(PublisherErrors(to, &errors), 0);
  std::string nine = to;
  for (int i = 0; i < 9; ++i) nine += " --server 127.0.0.1:" + std::to_string(8000 + i);
  EXPECT_NE(PublisherErrors(nine, &errors), 0);
  EXPECT_NE(PublisherErrors(to + " --server 127.0.0.1:1 --server http:///game", &errors), 0);
  EXPECT_NE(errors.find("http:///game"), std::string::npos) << errors;
  EXPECT_NE(PublisherErrors(to + " --server https://a.test/" + std::string(240, 'p'), &errors), 0);
  EXPECT_NE(PublisherErrors(to + " --server 127.0.0.1:1 --version ../6", &errors), 0);
  EXPECT_FALSE(PathExists(install.File("UpdateTemp.ini")));
  // A trailing '#' would be stored as a blank, which the reader trims.
  WriteFileBytes(install.File("UpdateTemp.ini"), "[Temp]\r\nTemp1=127.0.0.1:1\r\n");
  EXPECT_NE(PublisherErrors(to + " --server https://updates.example.test/abc#", &errors), 0);
  EXPECT_NE(errors.find("Temp1"), std::string::npos) << errors;
  EXPECT_EQ(ReadFileBytes(install.File("UpdateTemp.ini")), "[Temp]\r\nTemp1=127.0.0.1:1\r\n");
  EXPECT_EQ(ListDirectory(install.path()).size(), 1u);
  EXPECT_NE(PublisherErrors("install-config --to " + install.File("none") + " --server 127.0.0.1:1", &errors), 0);
  EXPECT_FALSE(PathExists(install.File("none")));
}

TEST(Publish, LargeFilesGetAChunkIndexTheirEntryNamesWithItsDigest) {
  TempDir src, root;
  mkdir(src.File("数据").c_str(), 0755);
  const std::string pack = RandomBytes(kChunkIndexThreshold + 300000, 31);
  WriteFileBytes(src.File("数据/pack.dat"), pack);
  WriteFileBytes(src.File("edge.dat"), RandomBytes(kChunkIndexThreshold, 32));
  WriteFileBytes(src.File("small.dat"), RandomBytes(kChunkIndexThreshold - 1, 33));
  std::wstring error, table;
  ASSERT_TRUE(PublishRelease(L"6", platform::FromUtf8(src.path()), platform::FromUtf8(root.path()),
                             &error, &table)) << platform::ToUtf8(error);

  CUpdateFiles manifest;
  ASSERT_TRUE(manifest.LoadXml(root.WFile("update/6/FileConfig.xml"), false));
  ASSERT_EQ(manifest.GetCount(), 3u);
  const std::unique_ptr<CUpdateFile> edge = manifest.Entry(0);
  const std::unique_ptr<CUpdateFile> small = manifest.Entry(1);
  const std::unique_ptr<CUpdateFile> packed = manifest.Entry(manifest.GetCount() - 1);
  EXPECT_EQ(packed->Chunks, L"pack.dat.chunks");
  EXPECT_EQ(edge->Chunks, L"edge.dat.chunks");
  EXPECT_EQ(small->Chunks, L"");
  EXPECT_EQ(small->ChunksSha256, L"");
  EXPECT_FALSE(PathExists(root.File("update/6/small.dat.chunks")));

  const std::string bytes = ReadFileBytes(root.File("update/6/数据/pack.dat.chunks"));
  EXPECT_EQ(packed->ChunksSha256, PrefixDigest(bytes));
  ChunkIndex index;
  ASSERT_TRUE(ParseChunkIndex(bytes, &index));
  EXPECT_EQ(index.file_length, pack.size());
  EXPECT_EQ(index.params.avg, kReleaseChunkParams.avg);
  Chunker chunker(kReleaseChunkParams);
  std::vector<Chunk> expected;
  chunker.Feed(pack.data(), pack.size(), &expected);
  chunker.Finish(&expected);
  ASSERT_EQ(index.chunks.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(index.chunks[i].length, expected[i].length);
    EXPECT_EQ(memcmp(index.chunks[i].digest, expected[i].digest, kChunkDigestSize), 0);
  }
  // The copy itself is unchanged by being chunked on the way.
  EXPECT_EQ(ReadFileBytes(root.File("update/6/数据/pack.dat")), pack);
}

TEST(Publish, AReleaseFileWithTheIndexNameKeepsItsNameAndTheOtherGoesWithoutIndex) {
  TempDir src, root;
  WriteFileBytes(src.File("pack.dat"), RandomBytes(kChunkIndexThreshold, 34));
  WriteFileBytes(src.File("pack.dat.chunks"), "a game file");
  std::wstring error, table;
  ASSERT_TRUE(PublishRelease(L"2", platform::FromUtf8(src.path()), platform::FromUtf8(root.path()),
                             &error, &table)) << platform::ToUtf8(error);
  EXPECT_EQ(ReadFileBytes(root.File("update/2/pack.dat.chunks")), "a game file");
  CUpdateFiles manifest;
  ASSERT_TRUE(manifest.LoadXml(root.WFile("update/2/FileConfig.xml"), false));
  ASSERT_EQ(manifest.GetCount(), 2u);
  EXPECT_EQ(manifest.Entry(0)->Chunks, L"");
  EXPECT_TRUE(Contains(table, L"no chunk index")) << platform::ToUtf8(table);
}

TEST(Publish, ASignedReleaseCoversItsChunkIndexesThroughTheirDigests) {
  TempDir src, root, keys;
  WriteFileBytes(src.File("pack.dat"), RandomBytes(kChunkIndexThreshold * 2, 35));
  std::string pem = keys.File("k.pem");
  WriteFileBytes(keys.File("UpdateTrust.pub"), PublisherOutput("keygen --out " + pem));
  ASSERT_EQ(RunPublisher("release --version 3 --from " + src.path() + " --to " + root.path() +
                         " --sign " + pem), 0);
  std::wstring manifest = root.WFile("update/3/FileConfig.xml");
  CUpdateTrust trust;
  trust.Load(keys.WFile("UpdateTrust.pub"));
  EXPECT_EQ(trust.Verify(manifest, manifest + L".sig", "update/3/FileConfig.xml", false, time(nullptr)),
            TrustVerdict::kTrusted);
  const std::wstring digest = PrefixDigest(ReadFileBytes(root.File("update/3/pack.dat.chunks")));
  EXPECT_NE(ReadFileBytes(root.File("update/3/FileConfig.xml"))
                .find("<ChunksSha256>" + platform::ToUtf8(digest) + "</ChunksSha256>"),
            std::string::npos);
}
