// Whole updates from start to lobby: the real updater, headless, brings an
// installation from version 1 to version 2 published with updater-publish
// and served by nginx on 127.0.0.1. In the same run its peers fetch the same
// files: curl (one process, -K list, connections reused) + md5sum + sync, and
// for big files aria2c -x5 -s5 + md5sum. Every contender is a child process
// measured for wall time, CPU time and peak memory; the best of the rounds
// counts. Source files stay in the page cache for every contender, outputs
// are written fresh and a sync runs before each contender starts.
//
//   update_bench [a|b|c|d ...]     workloads to run (all by default); a run
//                                  with nothing to fetch always comes first
//   UPDATE_BENCH_QUICK=1           smaller workloads, for iterating
//   UPDATE_BENCH_ROUNDS=N          rounds per workload (default 3, quick 1)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "child_measure.h"
#include "support/servers.h"
#include "support/temp_dir.h"

extern char** environ;

namespace {

// Runs |argv| with its output going to |log|; without |display| the
// variables that would let it open a window are left out.
Measure RunChild(const std::vector<std::string>& argv, const std::string& log, bool display = true) {
  ChildOptions options;
  options.output = log;
  options.headless = !display;
  options.sync_first = true;
  return RunMeasured(argv, options);
}

bool Shell(const std::string& command) { return system(command.c_str()) == 0; }

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// Distinct, incompressible-looking bytes per file.
void MakeFile(const std::string& path, uint64_t size, uint64_t seed) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return;
  std::vector<uint64_t> block(1 << 17);
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (uint64_t done = 0; done < size;) {
    for (uint64_t& w : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      w = x;
    }
    size_t n = static_cast<size_t>(std::min<uint64_t>(block.size() * 8, size - done));
    fwrite(block.data(), 1, n, f);
    done += n;
  }
  fclose(f);
}

struct File {
  std::string dir;  // below the game directory, may be empty
  std::string name;
  uint64_t size;
};

struct Workload {
  Workload(const std::string& k, const std::string& t) : key(k), title(t) {}
  std::string key, title;
  std::vector<File> files;
  std::string nginx_extra;
  bool big = false;  // aria2c and plain curl take part
  double target_curl = 0, target_aria = 0, target_plain_curl = 0;
};

struct Env {
  std::string updater, publisher;
  int rounds = 3;
};

double Gib(uint64_t bytes) { return bytes / 1073741824.0; }

void Row(const char* name, const Measure& m, uint64_t bytes) {
  printf("  %-28s %s wall %7.2f s  %8.1f MiB/s  cpu %6.2f s (%6.2f s/GiB)  peak %7.1f MiB\n", name,
         m.ok ? "  " : "!!", m.wall, bytes / 1048576.0 / m.wall, m.cpu, m.cpu / Gib(bytes), m.peak_mib);
}

void Keep(Measure* best, const Measure& m) {
  if (!best->ok || (m.ok && m.wall < best->wall)) *best = m;
}

// Whether every file of |w| is in |dir| at its size.
bool Installed(const Workload& w, const std::string& dir) {
  for (const File& f : w.files) {
    struct stat st;
    std::string path = dir + "/" + (f.dir.empty() ? "" : f.dir + "/") + f.name;
    if (stat(path.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) != f.size) return false;
  }
  return true;
}

// What a run with nothing to fetch costs: start, documents, the wait before
// the lobby starts. 0 until measured.
double g_fixed_cost = 0;

void Verdict(const char* what, double peer, double ours, double target) {
  const double ratio = peer / ours;
  printf("  %-40s %6.2f  (target >= %.2f) %-7s", what, ratio, target, ratio >= target ? "met" : "NOT MET");
  if (g_fixed_cost > 0 && ours > g_fixed_cost) {
    printf("  %.2f without the fixed %.2f s", peer / (ours - g_fixed_cost), g_fixed_cost);
  }
  printf("\n");
}

bool RunWorkload(const Workload& w, const Env& env) {
  TempDir work;
  const std::string game = work.File("game"), empty = work.File("empty"), root = work.File("root");
  const std::string install = work.File("install"), out = work.File("out");
  for (const std::string& d : {game, empty, root, out}) mkdir(d.c_str(), 0755);
  uint64_t total = 0;
  uint64_t seed = 1;
  for (const File& f : w.files) {
    if (!f.dir.empty()) Shell("mkdir -p " + Quote(game + "/" + f.dir));
    MakeFile(game + "/" + (f.dir.empty() ? "" : f.dir + "/") + f.name, f.size, seed++);
    total += f.size;
  }
  NginxServer nginx(root, w.nginx_extra);
  if (!nginx.ok()) {
    fprintf(stderr, "nginx is needed\n");
    return false;
  }
  const std::string address = "127.0.0.1:" + std::to_string(nginx.port());
  const std::string quiet = " > " + work.File("publish.log");
  if (!Shell(Quote(env.publisher) + " release --version 1 --from " + Quote(empty) + " --to " + Quote(root) + quiet) ||
      !Shell(Quote(env.publisher) + " release --version 2 --from " + Quote(game) + " --to " + Quote(root) + quiet) ||
      !Shell(Quote(env.publisher) + " versions --to " + Quote(root) + " --product 2 --max 2 --url " + address + quiet)) {
    fprintf(stderr, "publishing failed\n");
    return false;
  }
  // Warm: the server's copies are in the page cache for every contender.
  Shell("find " + Quote(root) + " -type f -exec cat {} + > /dev/null");

  // The peers' inputs: one curl config, one list of outputs.
  std::string curl_config, outputs;
  for (size_t i = 0; i < w.files.size(); ++i) {
    const File& f = w.files[i];
    std::string url = nginx.base() + "/update/2/" + (f.dir.empty() ? "" : f.dir + "/") + f.name;
    std::string output = out + "/c" + std::to_string(i);
    curl_config += "url = \"" + url + "\"\noutput = \"" + output + "\"\n";
    outputs += output + "\n";
  }
  WriteFileBytes(work.File("curl.txt"), curl_config);
  WriteFileBytes(work.File("outputs.txt"), outputs);
  const std::string big_url = w.big ? nginx.base() + "/update/2/" + w.files[0].name : "";

  const std::string ini =
      "[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + address + "\r\n[HOME]\r\nURL=http://" + address + "/\r\n";
  Measure ours, curl_md5, aria, plain_curl;
  for (int round = 0; round < env.rounds; ++round) {
    Shell("rm -rf " + Quote(install));
    mkdir(install.c_str(), 0755);
    const std::string exe = install + "/updater";
    if (link(env.updater.c_str(), exe.c_str()) != 0) Shell("cp " + Quote(env.updater) + " " + Quote(exe));
    WriteFileBytes(install + "/UpdateTemp.ini", ini);
    WriteFileBytes(install + "/kelvora.exe", "#!/bin/sh\nexit 0\n");
    chmod((install + "/kelvora.exe").c_str(), 0755);
    Measure m = RunChild({exe, address, "auto"}, work.File("updater.log"), false);
    if (m.ok && !Installed(w, install)) m.ok = false;
    if (!m.ok) {
      fprintf(stderr, "the updater failed (%s %d); the end of its output:\n",
              WIFSIGNALED(m.status) ? "signal" : "exit status",
              WIFSIGNALED(m.status) ? WTERMSIG(m.status) : WEXITSTATUS(m.status));
      Shell("tail -n 15 " + Quote(work.File("updater.log")) + " >&2");
    }
    Keep(&ours, m);
    Shell("rm -rf " + Quote(install));

    if (w.files.empty()) continue;
    Keep(&curl_md5, RunChild({"sh", "-c",
                              "curl -sS --fail -K " + Quote(work.File("curl.txt")) + " && xargs -a " +
                                  Quote(work.File("outputs.txt")) + " md5sum > /dev/null && sync"},
                             work.File("peer.log")));
    Shell("rm -f " + Quote(out) + "/*");
    if (w.big) {
      Keep(&aria, RunChild({"sh", "-c",
                            "aria2c -q -x5 -s5 -k1M --allow-overwrite=true --auto-file-renaming=false "
                            "--file-allocation=none -d " + Quote(out) + " -o aria.bin " + Quote(big_url) +
                                " && md5sum " + Quote(out + "/aria.bin") + " > /dev/null"},
                           work.File("peer.log")));
      Shell("rm -f " + Quote(out) + "/*");
      if (w.target_plain_curl > 0) {
        Keep(&plain_curl, RunChild({"curl", "-sS", "--fail", "-o", out + "/plain.bin", big_url},
                                   work.File("peer.log")));
        Shell("rm -f " + Quote(out) + "/*");
      }
    }
  }

  printf("(%s) %s: %zu file%s, %.1f MiB, best of %d\n", w.key.c_str(), w.title.c_str(), w.files.size(),
         w.files.size() == 1 ? "" : "s", total / 1048576.0, env.rounds);
  if (w.files.empty()) {
    printf("  updater, start to lobby      %s wall %7.2f s  peak %7.1f MiB\n", ours.ok ? "  " : "!!", ours.wall,
           ours.peak_mib);
    if (ours.ok) g_fixed_cost = ours.wall;
    return ours.ok;
  }
  Row("updater, start to lobby", ours, total);
  Row("curl -K + md5sum + sync", curl_md5, total);
  if (w.big) Row("aria2c -x5 -s5 + md5sum", aria, total);
  if (plain_curl.ok) Row("curl, one stream", plain_curl, total);
  if (w.target_curl > 0) Verdict("vs curl + md5sum + sync", curl_md5.wall, ours.wall, w.target_curl);
  if (w.target_aria > 0) Verdict("vs aria2c -x5 -s5 + md5sum", aria.wall, ours.wall, w.target_aria);
  if (w.target_plain_curl > 0) Verdict("vs curl, one stream", plain_curl.wall, ours.wall, w.target_plain_curl);
  printf("  %-40s %6.1f MiB (target < 16) %s\n", "updater peak RSS", ours.peak_mib,
         ours.peak_mib < 16 ? "met" : "NOT MET");
  printf("  %-40s %6.2f s\n", "updater CPU per GiB", ours.cpu / Gib(total));
  fflush(stdout);
  return ours.ok;
}

std::string Sibling(const char* self, const std::string& relative) {
  std::string dir = self;
  dir = dir.substr(0, dir.rfind('/'));
  return dir + "/" + relative;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = getenv("UPDATE_BENCH_QUICK") && atoi(getenv("UPDATE_BENCH_QUICK")) != 0;
  Env env;
  env.rounds = quick ? 1 : 3;
  if (getenv("UPDATE_BENCH_ROUNDS")) env.rounds = std::max(1, atoi(getenv("UPDATE_BENCH_ROUNDS")));
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  self[n > 0 ? n : 0] = '\0';
  env.updater = Sibling(self, "../bin/updater");
  env.publisher = Sibling(self, "../bin/updater-publish");
  if (access(env.updater.c_str(), X_OK) != 0 || access(env.publisher.c_str(), X_OK) != 0) {
    fprintf(stderr, "updater and updater-publish are needed beside bench/\n");
    return 1;
  }

  std::vector<Workload> all;
  // What every run costs whatever it fetches: start, documents, hand-over.
  all.push_back(Workload("0", "nothing to fetch"));
  {
    Workload w{"a", "many small files"};
    const int count = quick ? 300 : 2000;
    for (int i = 0; i < count; ++i) w.files.push_back({"small", "f" + std::to_string(i) + ".bin", 16384});
    w.target_curl = 0.5;
    all.push_back(w);
  }
  {
    Workload w{"b", "one big file"};
    w.files.push_back({"", "big.bin", (quick ? 64ull : 512ull) << 20});
    w.big = true;
    w.target_curl = 1.0;
    w.target_aria = 1.0;
    all.push_back(w);
  }
  {
    Workload w{"c", "limit_rate 4m per connection"};
    w.files.push_back({"", "limited.bin", (quick ? 16ull : 64ull) << 20});
    w.nginx_extra = "limit_rate 4m;";
    w.big = true;
    w.target_aria = 1.0;
    w.target_plain_curl = 4.5;
    all.push_back(w);
  }
  {
    Workload w{"d", "a mix of sizes, 1 KiB to 8 MiB"};
    const int count = quick ? 60 : 300;
    const double top = quick ? 2048 : 8192;  // in KiB
    uint64_t x = 12345;
    for (int i = 0; i < count; ++i) {
      x = x * 6364136223846793005ull + 1442695040888963407ull;
      double u = static_cast<double>(x >> 11) / 9007199254740992.0;
      uint64_t size = static_cast<uint64_t>(1024.0 * std::pow(top, u));  // log-uniform
      w.files.push_back({"mix/d" + std::to_string(i % 7), "m" + std::to_string(i) + ".dat", size});
    }
    w.target_curl = 0.8;
    all.push_back(w);
  }

  bool ok = true;
  for (const Workload& w : all) {
    // The fixed cost is always measured: every ratio is read against it.
    bool wanted = argc < 2 || w.key == "0";
    for (int i = 1; i < argc; ++i) wanted = wanted || w.key == argv[i];
    if (wanted) ok = RunWorkload(w, env) && ok;
  }
  return ok ? 0 : 1;
}
