// Whole updates from start to lobby: the real updater, headless, brings an
// installation from version 1 to version 2 published with updater-publish
// and served by nginx on 127.0.0.1. In the same run its peers fetch the same
// files: curl (one process, -K list, connections reused) + md5sum + sync, and
// for big files aria2c -x5 -s5 + md5sum. Every contender is a child process
// measured for wall time, CPU time and peak memory; the best of the rounds
// counts. Source files stay in the page cache for every contender, outputs
// are written fresh and a sync runs before each contender starts.
//
// Cases (e)-(h) come from a far server: nginx behind tools/delay_proxy.py
// (round trip 50 ms, (h) also a link of 8 MiB/s shared by all connections),
// against curl -K, curl --parallel --parallel-max 8 and aria2c -j8 -x5, each
// + md5sum + sync. The proxy counts each contender's connections and, under
// the cap, the rate it held (between 10% and 90% of its bytes); (h) sets the
// updater's own [Download] MaxRate to 4096 KiB/s. A table of all cases run,
// with the ratios (best peer's time / updater's: 1 or more, the updater is
// as fast), ends the output.
//
//   update_bench [a|b|c|d|e|f|g|h ...]  workloads to run (all by default); a
//                                  run with nothing to fetch always comes first
//   UPDATE_BENCH_QUICK=1           smaller workloads, for iterating: (e) and
//                                  (f) 200 files, (g) 64 MiB, (h) 16 MiB
//   UPDATE_BENCH_ROUNDS=N          rounds per workload (default 3, quick 1)
//   UPDATE_BENCH_RTT=MS            round trip of (e)-(h) (default 50)
//
// Needs nginx, curl, aria2c, python3 and openssl (for (f)). For example:
//   cmake -S . -B build -DUPDATER_BENCH=ON && cmake --build build -j2
//   UPDATE_BENCH_QUICK=1 build/bench/update_bench e f g h
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
#include "delay_proxy.h"
#include "platform/text.h"
#include "support/servers.h"
#include "support/temp_dir.h"
#include "support/test_certs.h"
#include "update/resume_file.h"

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
  // A far server: behind the delay proxy, against the far peers.
  double rtt_ms = 0;
  bool tls = false;
  double link_rate = 0;  // bytes/s, shared by all connections
  int max_rate = 0;      // the updater's [Download] MaxRate, KiB/s
  double target_best_peer = 0;
};

// One line of the closing table; times 0 where a contender did not run.
struct Summary {
  std::string label;
  double updater = 0, curl_k = 0, curl_parallel = 0, aria = 0;
  std::string verdicts;
};
std::vector<Summary> g_summary;

struct Env {
  std::string updater, publisher;
  int rounds = 3;
};

double Gib(uint64_t bytes) { return bytes / 1073741824.0; }
double Mib(double bytes) { return bytes / 1048576.0; }

// A contender's best round and, behind the proxy, what went through it then.
struct Result {
  Measure m;
  ProxyTraffic traffic;
};

void Row(const char* name, const Result& r, uint64_t bytes) {
  const Measure& m = r.m;
  printf("  %-32s %s wall %7.2f s  %8.1f MiB/s  cpu %6.2f s (%6.2f s/GiB)  peak %7.1f MiB", name,
         m.ok ? "  " : "!!", m.wall, Mib(bytes) / m.wall, m.cpu, m.cpu / Gib(bytes), m.peak_mib);
  if (r.traffic.connections >= 0) printf("  %4ld connections", r.traffic.connections);
  if (r.traffic.held_rate > 0) printf("  held %.2f MiB/s", Mib(r.traffic.held_rate));
  printf("\n");
}

void Keep(Result* best, const Result& r) {
  if (!best->m.ok || (r.m.ok && r.m.wall < best->m.wall)) *best = r;
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

// Prints the ratio of |peer|'s time to ours against |target| and adds the
// verdict to |summary|. Behind the proxy the fixed cost measured on
// loopback does not apply.
void Verdict(const std::string& peer_name, double peer, double ours, double target, bool far, Summary* summary) {
  const double ratio = peer / ours;
  const bool met = ratio >= target;
  printf("  %-44s %6.2f  (target >= %.2f) %-7s", ("vs " + peer_name).c_str(), ratio, target, met ? "met" : "NOT MET");
  if (!far && g_fixed_cost > 0 && ours > g_fixed_cost) {
    printf("  %.2f without the fixed %.2f s", peer / (ours - g_fixed_cost), g_fixed_cost);
  }
  printf("\n");
  char text[96];
  snprintf(text, sizeof(text), "%s%s %.2f >= %.2f %s", summary->verdicts.empty() ? "" : "; ", peer_name.c_str(), ratio,
           target, met ? "met" : "NOT MET");
  summary->verdicts += text;
}

// Entries longer than 20 characters are kept scrambled, as the version list
// hands them out.
std::string ServerEntry(const std::string& address) {
  if (address.size() <= 20) return address;
  return platform::ToUtf8(ScrambleServerEntry(platform::FromUtf8(address), L"KelvoraUpdateMirror0"));
}

std::string Label(const Workload& w, uint64_t total) {
  char text[160];
  if (w.files.size() == 1) {
    snprintf(text, sizeof(text), "(%s) %s, %.0f MiB", w.key.c_str(), w.title.c_str(), Mib(total));
  } else {
    snprintf(text, sizeof(text), "(%s) %s, %zu files", w.key.c_str(), w.title.c_str(), w.files.size());
  }
  return text;
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
  const bool far = w.rtt_ms > 0;
  std::unique_ptr<TestCertificates> certs;
  TlsFiles tls;
  if (w.tls) {
    certs.reset(new TestCertificates);
    if (!certs->ok()) {
      fprintf(stderr, "the test certificates could not be made (openssl)\n");
      return false;
    }
    tls = certs->Server("good");
  }
  NginxServer nginx(root, w.nginx_extra, tls);
  if (!nginx.ok()) {
    fprintf(stderr, "nginx is needed\n");
    return false;
  }
  std::unique_ptr<DelayProxyChild> proxy;
  int port = nginx.port();
  if (far) {
    proxy.reset(new DelayProxyChild(work.path(), nginx.port(), w.rtt_ms, w.link_rate));
    if (!proxy->ok()) {
      fprintf(stderr, "the delay proxy did not start (python3, tools/delay_proxy.py)\n");
      return false;
    }
    port = proxy->port();
  }
  const std::string host = "127.0.0.1:" + std::to_string(port);
  const std::string base = (w.tls ? "https://" : "http://") + host;
  const std::string address = w.tls ? base : host;
  const std::string quiet = " > " + work.File("publish.log");
  if (!Shell(Quote(env.publisher) + " release --version 1 --from " + Quote(empty) + " --to " + Quote(root) + quiet) ||
      !Shell(Quote(env.publisher) + " release --version 2 --from " + Quote(game) + " --to " + Quote(root) + quiet) ||
      !Shell(Quote(env.publisher) + " versions --to " + Quote(root) + " --product 2 --max 2 --url " + address + quiet)) {
    fprintf(stderr, "publishing failed\n");
    return false;
  }
  // Warm: the server's copies are in the page cache for every contender.
  Shell("find " + Quote(root) + " -type f -exec cat {} + > /dev/null");

  // The peers' inputs: one curl config, one aria2c input file, one list of
  // outputs.
  std::string curl_config, aria_input, outputs;
  for (size_t i = 0; i < w.files.size(); ++i) {
    const File& f = w.files[i];
    std::string url = base + "/update/2/" + (f.dir.empty() ? "" : f.dir + "/") + f.name;
    std::string output = out + "/c" + std::to_string(i);
    curl_config += "url = \"" + url + "\"\noutput = \"" + output + "\"\n";
    aria_input += url + "\n  out=c" + std::to_string(i) + "\n";
    outputs += output + "\n";
  }
  WriteFileBytes(work.File("curl.txt"), curl_config);
  WriteFileBytes(work.File("aria.txt"), aria_input);
  WriteFileBytes(work.File("outputs.txt"), outputs);
  const std::string big_url = w.big ? base + "/update/2/" + w.files[0].name : "";
  const std::string md5_sync = " && xargs -a " + Quote(work.File("outputs.txt")) + " md5sum > /dev/null && sync";
  const std::string curl = "curl -sS --fail" + (w.tls ? " --cacert " + Quote(certs->ca()) : std::string()) +
                           " -K " + Quote(work.File("curl.txt"));
  const std::string aria = "aria2c -q -j8 -x5 -s5 -k1M --allow-overwrite=true --auto-file-renaming=false "
                           "--file-allocation=none" +
                           (w.tls ? " --ca-certificate=" + Quote(certs->ca()) : std::string()) + " -d " +
                           Quote(out) + " -i " + Quote(work.File("aria.txt"));
  if (w.tls) setenv("SSL_CERT_FILE", certs->ca().c_str(), 1);

  std::string ini = "[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + ServerEntry(address) +
                    "\r\n[HOME]\r\nURL=" + base + "/\r\n";
  if (w.max_rate > 0) ini += "[Download]\r\nMaxRate=" + std::to_string(w.max_rate) + "\r\n";
  // One contender's round; behind the proxy with what went through it.
  auto measure = [&](const std::vector<std::string>& argv, const std::string& log, bool display) {
    Result r;
    const double from = DelayProxyChild::Now();
    r.m = RunChild(argv, log, display);
    if (proxy) r.traffic = proxy->Between(from, DelayProxyChild::Now());
    return r;
  };
  auto shell = [&](const std::string& command) { return measure({"sh", "-c", command}, work.File("peer.log"), true); };
  Result ours, curl_md5, curl_parallel, aria_md5, plain_curl;
  for (int round = 0; round < env.rounds; ++round) {
    Shell("rm -rf " + Quote(install));
    mkdir(install.c_str(), 0755);
    const std::string exe = install + "/updater";
    if (link(env.updater.c_str(), exe.c_str()) != 0) Shell("cp " + Quote(env.updater) + " " + Quote(exe));
    WriteFileBytes(install + "/UpdateTemp.ini", ini);
    WriteFileBytes(install + "/kelvora.exe", "#!/bin/sh\nexit 0\n");
    chmod((install + "/kelvora.exe").c_str(), 0755);
    Result r = measure({exe, "127.0.0.1", "auto"}, work.File("updater.log"), false);
    if (r.m.ok && !Installed(w, install)) r.m.ok = false;
    if (!r.m.ok) {
      fprintf(stderr, "the updater failed (%s %d); the end of its output:\n",
              WIFSIGNALED(r.m.status) ? "signal" : "exit status",
              WIFSIGNALED(r.m.status) ? WTERMSIG(r.m.status) : WEXITSTATUS(r.m.status));
      Shell("tail -n 15 " + Quote(work.File("updater.log")) + " >&2");
    }
    Keep(&ours, r);
    Shell("rm -rf " + Quote(install));

    if (w.files.empty()) continue;
    Keep(&curl_md5, shell(curl + md5_sync));
    Shell("rm -f " + Quote(out) + "/*");
    if (far) {
      Keep(&curl_parallel, shell(curl + " --parallel --parallel-max 8" + md5_sync));
      Shell("rm -f " + Quote(out) + "/*");
      Keep(&aria_md5, shell(aria + md5_sync));
      Shell("rm -f " + Quote(out) + "/*");
    } else if (w.big) {
      Keep(&aria_md5, shell("aria2c -q -x5 -s5 -k1M --allow-overwrite=true --auto-file-renaming=false "
                            "--file-allocation=none -d " + Quote(out) + " -o aria.bin " + Quote(big_url) +
                            " && md5sum " + Quote(out + "/aria.bin") + " > /dev/null"));
      Shell("rm -f " + Quote(out) + "/*");
      if (w.target_plain_curl > 0) {
        Keep(&plain_curl, measure({"curl", "-sS", "--fail", "-o", out + "/plain.bin", big_url}, work.File("peer.log"),
                                  true));
        Shell("rm -f " + Quote(out) + "/*");
      }
    }
  }
  if (w.tls) unsetenv("SSL_CERT_FILE");

  printf("(%s) %s: %zu file%s, %.1f MiB, best of %d", w.key.c_str(), w.title.c_str(), w.files.size(),
         w.files.size() == 1 ? "" : "s", Mib(total), env.rounds);
  printf("\n");
  if (w.files.empty()) {
    printf("  updater, start to lobby          %s wall %7.2f s  peak %7.1f MiB\n", ours.m.ok ? "  " : "!!", ours.m.wall,
           ours.m.peak_mib);
    if (ours.m.ok) g_fixed_cost = ours.m.wall;
    return ours.m.ok;
  }
  Summary summary;
  summary.label = Label(w, total);
  summary.updater = ours.m.wall;
  summary.curl_k = curl_md5.m.wall;
  summary.curl_parallel = curl_parallel.m.wall;
  summary.aria = aria_md5.m.wall;
  Row("updater, start to lobby", ours, total);
  Row("curl -K + md5sum + sync", curl_md5, total);
  if (far) {
    Row("curl --parallel 8 + md5 + sync", curl_parallel, total);
    Row("aria2c -j8 -x5 + md5sum + sync", aria_md5, total);
  } else if (w.big) {
    Row("aria2c -x5 -s5 + md5sum", aria_md5, total);
  }
  if (plain_curl.m.ok) Row("curl, one stream", plain_curl, total);
  if (w.target_curl > 0) Verdict("curl + md5sum + sync", curl_md5.m.wall, ours.m.wall, w.target_curl, far, &summary);
  if (w.target_aria > 0) Verdict("aria2c + md5sum", aria_md5.m.wall, ours.m.wall, w.target_aria, far, &summary);
  if (w.target_plain_curl > 0) {
    Verdict("curl, one stream", plain_curl.m.wall, ours.m.wall, w.target_plain_curl, far, &summary);
  }
  if (w.target_best_peer > 0) {
    double best = curl_md5.m.wall;
    for (const Result* r : {&curl_parallel, &aria_md5}) {
      if (r->m.ok) best = std::min(best, r->m.wall);
    }
    Verdict("the best peer", best, ours.m.wall, w.target_best_peer, far, &summary);
  }
  if (w.max_rate > 0) {
    const double held = ours.traffic.held_rate / 1024.0;  // KiB/s
    const bool met = std::fabs(held - w.max_rate) <= w.max_rate * 0.05;
    printf("  %-44s %6.0f KiB/s  (MaxRate %d KiB/s, target within 5%%) %s\n", "updater held", held, w.max_rate,
           met ? "met" : "NOT MET");
    char text[96];
    snprintf(text, sizeof(text), "%sheld %.0f KiB/s of MaxRate %d %s", summary.verdicts.empty() ? "" : "; ", held,
             w.max_rate, met ? "met" : "NOT MET");
    summary.verdicts += text;
  }
  printf("  %-44s %6.1f MiB (target < 16) %s\n", "updater peak RSS", ours.m.peak_mib,
         ours.m.peak_mib < 16 ? "met" : "NOT MET");
  printf("  %-44s %6.2f s\n", "updater CPU per GiB", ours.m.cpu / Gib(total));
  fflush(stdout);
  g_summary.push_back(summary);
  return ours.m.ok;
}

// The closing table: each case's times and the ratios to its peers.
void PrintSummary() {
  if (g_summary.empty()) return;
  auto cell = [](double t) {
    char text[16];
    if (t > 0) {
      snprintf(text, sizeof(text), "%7.2f s", t);
    } else {
      snprintf(text, sizeof(text), "%9s", "-");
    }
    return std::string(text);
  };
  printf("\n%-52s %9s %9s %9s %9s %6s  %s\n", "case", "updater", "curl -K", "curl -P8", "aria2c", "best/u",
         "targets (peer time / updater time)");
  for (const Summary& s : g_summary) {
    double best = 0;
    for (double t : {s.curl_k, s.curl_parallel, s.aria}) {
      if (t > 0 && (best == 0 || t < best)) best = t;
    }
    printf("%-52s %s %s %s %s %6.2f  %s\n", s.label.c_str(), cell(s.updater).c_str(), cell(s.curl_k).c_str(),
           cell(s.curl_parallel).c_str(), cell(s.aria).c_str(), s.updater > 0 ? best / s.updater : 0.0,
           s.verdicts.c_str());
  }
  fflush(stdout);
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
    w.target_curl = 0.8;
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
  double rtt = 50;
  if (getenv("UPDATE_BENCH_RTT")) rtt = std::max(1.0, atof(getenv("UPDATE_BENCH_RTT")));
  char rtt_text[32];
  snprintf(rtt_text, sizeof(rtt_text), "RTT %g ms", rtt);
  for (bool tls : {false, true}) {
    Workload w{tls ? "f" : "e", std::string("16 KiB files, ") + (tls ? "https, " : "http, ") + rtt_text};
    const int count = quick ? 200 : 1000;
    for (int i = 0; i < count; ++i) w.files.push_back({"small", "f" + std::to_string(i) + ".bin", 16384});
    w.rtt_ms = rtt;
    w.tls = tls;
    w.target_best_peer = 1.0;
    all.push_back(w);
  }
  {
    Workload w{"g", std::string("one big file, ") + rtt_text};
    w.files.push_back({"", "big.bin", (quick ? 64ull : 256ull) << 20});
    w.rtt_ms = rtt;
    w.target_aria = 1.0;
    all.push_back(w);
  }
  {
    Workload w{"h", std::string("link 8 MiB/s, MaxRate 4 MiB/s, ") + rtt_text};
    w.files.push_back({"", "capped.bin", (quick ? 16ull : 64ull) << 20});
    w.rtt_ms = rtt;
    w.link_rate = 8 << 20;
    w.max_rate = 4096;
    all.push_back(w);
  }

  bool ok = true;
  for (const Workload& w : all) {
    // The fixed cost is always measured: every ratio is read against it.
    bool wanted = argc < 2 || w.key == "0";
    for (int i = 1; i < argc; ++i) wanted = wanted || w.key == argv[i];
    if (wanted) ok = RunWorkload(w, env) && ok;
  }
  PrintSummary();
  return ok ? 0 : 1;
}
