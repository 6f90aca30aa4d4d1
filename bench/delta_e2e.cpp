#include "delta_e2e.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "delta/chunker.h"
#include "platform/text.h"
#include "publish.h"
#include "signing_key.h"
#include "support/update_fixture.h"

namespace {

// After the update the updater closes its window and waits this long before
// it starts the lobby; the other clients start nothing.
constexpr double kLobbyWait = 0.5;
constexpr int kRounds = 3;

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

size_t Lines(const std::string& text) {
  size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

struct Traffic {
  uint64_t bytes = 0;
  int requests = 0;
};

// Requests nginx logged after its first |from| lines whose request line has
// |fragment|, and their body bytes.
Traffic TrafficOf(const std::string& log, size_t from, const std::string& fragment) {
  Traffic t;
  std::istringstream in(log);
  size_t n = 0;
  for (std::string line; std::getline(in, line); ++n) {
    const size_t request = line.find("\"GET ");
    if (n < from || request == std::string::npos) continue;
    const size_t end = line.find("\" ", request);
    if (line.substr(request, end - request).find(fragment) == std::string::npos) continue;
    std::istringstream words(line.substr(end + 2));
    int status = 0;
    uint64_t bytes = 0;
    words >> status >> bytes;
    t.bytes += bytes;
    ++t.requests;
  }
  return t;
}

int Sh(const std::string& command) { return system(command.c_str()); }

std::string Capture(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) out.append(buf, n);
  pclose(pipe);
  return out;
}

bool Have(const char* program) { return !FindProgram(program).empty(); }

void Row(const char* who, const Traffic& t, double seconds, size_t size, bool ok) {
  printf("  %-30s %12llu %7.2f%% %9d %9.2f s  %s\n", who, static_cast<unsigned long long>(t.bytes),
         100.0 * t.bytes / size, t.requests, seconds, ok ? "ok" : "WRONG RESULT");
}

// "Literal data: 3,010,816 bytes" of rsync --stats.
uint64_t RsyncLiteral(const std::string& from, const std::string& to) {
  const std::string out = Capture("rsync --no-whole-file --stats '" + from + "' '" + to + "' 2>/dev/null");
  const size_t at = out.find("Literal data: ");
  if (at == std::string::npos) return 0;
  uint64_t value = 0;
  for (size_t i = at + 14; i < out.size() && out[i] != ' '; ++i) {
    if (out[i] >= '0' && out[i] <= '9') value = value * 10 + static_cast<uint64_t>(out[i] - '0');
  }
  return value;
}

std::string FastBytes(size_t size, uint64_t seed) {
  std::string out(size, '\0');
  uint64_t state = seed | 1;
  for (size_t i = 0; i + 8 <= size; i += 8) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    memcpy(&out[i], &state, 8);
  }
  return out;
}

}  // namespace

void EndToEnd(const char* title, const std::string& v1, const std::string& v2) {
  UpdateFixture f;
  NginxServer nginx(f.ServerRoot());
  if (!nginx.ok()) {
    printf("\n%s end to end: skipped (no nginx)\n", title);
    return;
  }
  const std::string host = "127.0.0.1:" + std::to_string(nginx.port());
  f.Publish(1, {{"pack.dat", {v1, Stamp(1, 1)}}});
  f.Publish(2, {{"pack.dat", {v2, Stamp(2, 1)}}});
  f.PublishVersionList(2, 2, {host});
  f.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + host + "\r\n");
  f.InstallFiles({{"pack.dat", {v1, Stamp(1, 1)}}});
  printf("\n%s end to end, nginx on 127.0.0.1 (%zu -> %zu bytes):\n", title, v1.size(), v2.size());
  printf("  %-30s %12s %8s %9s %11s\n", "client", "bytes", "of file", "requests", "wall time");
  printf("  (best of %d; the updater's time is to the lobby less its fixed %.1f s wait before it)\n", kRounds,
         kLobbyWait);

  // The best of a few rounds, for the updater and zsync alike; the traffic
  // is that of the first.
  const std::string ini = "[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + host + "\r\n";
  size_t mark = Lines(nginx.AccessLog());
  Traffic traffic;
  double seconds = 1e9;
  bool ok = true;
  for (int round = 0; round < kRounds; ++round) {
    if (round > 0) {
      f.WriteIni(ini);
      f.InstallFiles({{"pack.dat", {v1, Stamp(1, 1)}}});
      mark = Lines(nginx.AccessLog());
    }
    ScriptedUi ui;
    ui.failure_actions = {ScriptedUi::kExit};
    ui.modal_timeout_ms = 600000;
    // Every client starts with the set-up's writes on disk: the updater's
    // flush would otherwise write them too.
    Sh("sync");
    auto start = std::chrono::steady_clock::now();
    f.Run(&ui);
    seconds = std::min(seconds, Since(start) - kLobbyWait);
    if (round == 0) traffic = TrafficOf(nginx.AccessLog(), mark, "/update/2/pack.dat");
    ok = ok && ReadFileBytes(f.Install("pack.dat")) == v2 && ui.failures_shown.empty();
  }
  Row("updater (index + ranges)", traffic, seconds, v2.size(), ok);

  const std::string work = f.Install("../tools");
  mkdir(work.c_str(), 0755);
  const std::string old_copy = work + "/v1.dat";
  WriteFileBytes(old_copy, v1);
  const std::string served = f.ServerRoot() + "/z";
  mkdir(served.c_str(), 0755);
  WriteFileBytes(served + "/v2.dat", v2);
  if (Have("zsyncmake") && Have("zsync")) {
    Sh("cd '" + served + "' && zsyncmake -b 2048 -u v2.dat -o v2.zsync v2.dat >/dev/null 2>&1");
    seconds = 1e9;
    ok = true;
    for (int round = 0; round < kRounds; ++round) {
      // An output left by a round would be taken as a seed.
      Sh("rm -f '" + work + "/zsync.out' '" + work + "/zsync.out.part'");
      mark = Lines(nginx.AccessLog());
      Sh("sync");
      const auto start = std::chrono::steady_clock::now();
      Sh("cd '" + work + "' && zsync -q -i v1.dat -o zsync.out http://" + host + "/z/v2.zsync >/dev/null 2>&1");
      seconds = std::min(seconds, Since(start));
      if (round == 0) traffic = TrafficOf(nginx.AccessLog(), mark, "/z/");
      ok = ok && ReadFileBytes(work + "/zsync.out") == v2;
    }
    Row("zsync (2 KiB blocks)", traffic, seconds, v2.size(), ok);
  } else {
    printf("  zsync: not installed\n");
  }
  if (Have("casync")) {
    const std::string store = f.ServerRoot() + "/c";
    mkdir(store.c_str(), 0755);
    Sh("casync make --store='" + store + "/store.castr' '" + store + "/v2.caibx' '" + served +
       "/v2.dat' >/dev/null 2>&1");
    mark = Lines(nginx.AccessLog());
    Sh("sync");
    const auto start = std::chrono::steady_clock::now();
    Sh("casync extract --store=http://" + host + "/c/store.castr --seed='" + old_copy + "' http://" + host +
       "/c/v2.caibx '" + work + "/casync.out' >/dev/null 2>&1");
    seconds = Since(start);
    Row("casync (16/64/256 KiB)", TrafficOf(nginx.AccessLog(), mark, "/c/"), seconds, v2.size(),
        ReadFileBytes(work + "/casync.out") == v2);
  } else {
    printf("  casync: not installed\n");
  }
  if (Have("rsync")) {
    const uint64_t literal = RsyncLiteral(served + "/v2.dat", old_copy);
    printf("  %-30s %12llu %7.2f%%\n", "rsync literal data", static_cast<unsigned long long>(literal),
           100.0 * literal / v2.size());
  }
}

void RepairBench() {
  constexpr int kFiles = 64;
  constexpr size_t kFileSize = 16u << 20;
  UpdateFixture f;
  NginxServer nginx(f.ServerRoot());
  if (!nginx.ok()) return;
  const std::string host = "127.0.0.1:" + std::to_string(nginx.port());
  SigningKey key;
  std::wstring error;
  if (!key.Generate(platform::FromUtf8(f.Install("../publisher.pem")), &error)) return;
  GameFiles files;
  for (int i = 0; i < kFiles; ++i) {
    char name[32];
    snprintf(name, sizeof(name), "data/pack%02d.dat", i);
    files[name] = {FastBytes(kFileSize, 1000 + i), Stamp(1, i)};
  }
  f.Publish(1, files, &key);
  f.PublishVersionList(1, 1, {host}, &key);
  f.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + host + "\r\n");
  f.InstallFiles(files);
  WriteFileBytes(f.Install("UpdateTrust.pub"), key.PublicKeyLine() + "\n");
  // 3,000 damaged bytes in each of three files; the chunks they touch are
  // what a repair cannot take from the disk.
  size_t damaged_chunks = 0;
  for (int i : {5, 30, 61}) {
    char name[32];
    snprintf(name, sizeof(name), "data/pack%02d.dat", i);
    std::string bytes = files[name].content;
    const size_t at = kFileSize / 3 + i * 1000, length = 3000;
    bytes.replace(at, length, std::string(length, 'z'));
    WriteFileBytes(f.Install(name), bytes);
    Chunker chunker(kReleaseChunkParams);
    std::vector<Chunk> chunks;
    chunker.Feed(files[name].content.data(), files[name].content.size(), &chunks);
    chunker.Finish(&chunks);
    for (const Chunk& c : chunks) damaged_chunks += c.offset < at + length && c.offset + c.length > at;
  }
  const std::string hash_all = "cd '" + f.Install("data") + "' && sha256sum pack*.dat >/dev/null";
  Sh(hash_all);  // the same page cache for both
  printf("\nrepair of a %d MiB install (%d files), three damaged chunks:\n", kFiles * 16, kFiles);
  ScriptedUi ui;
  ui.failure_actions = {ScriptedUi::kExit};
  ui.modal_timeout_ms = 600000;
  f.mode = L"repair";
  size_t mark = Lines(nginx.AccessLog());
  auto start = std::chrono::steady_clock::now();
  f.Run(&ui);
  const double repair = Since(start);
  bool ok = ui.failures_shown.empty();
  for (const auto& file : files) ok = ok && ReadFileBytes(f.Install(file.first)) == file.second.content;
  const Traffic fetched = TrafficOf(nginx.AccessLog(), mark, ".dat");
  start = std::chrono::steady_clock::now();
  Sh(hash_all);
  const double sha = Since(start);
  printf("  updater repair: %.2f s, %llu bytes in %d requests (indexes included), %s\n", repair,
         static_cast<unsigned long long>(fetched.bytes), fetched.requests, ok ? "ok" : "WRONG RESULT");
  printf("  %zu damaged chunks: %.0f bytes fetched per damaged chunk, %.2f x the %u-byte average chunk\n",
         damaged_chunks, double(fetched.bytes) / damaged_chunks,
         double(fetched.bytes) / damaged_chunks / kReleaseChunkParams.avg, kReleaseChunkParams.avg);
  printf("  sha256sum:      %.2f s   repair / sha256sum = %.2f\n", sha, repair / sha);
}
