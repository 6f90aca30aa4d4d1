// Downloads from nginx on 127.0.0.1: one job (five ranges) against curl (one
// stream) and aria2c -x5 -s5 (five connections), each as a child process
// measured for wall time, CPU time and peak memory, over plain HTTP and over
// HTTPS (a test CA made at start, trusted by all three); then 2,000 small
// files one job after another against curl fetching the same list in one
// process.
//
//   download_bench [--size-mib N] [--limited-size-mib N] [--files N] [--rounds N]
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "child_measure.h"
#include "manifest/update_file.h"
#include "update/file_job.h"
#include "platform/text.h"
#include "support/job_runner.h"
#include "support/servers.h"
#include "support/temp_dir.h"
#include "support/test_certs.h"

extern char** environ;

namespace {

Measure RunChild(const std::vector<std::string>& argv) { return RunMeasured(argv); }

// Child mode: fetch each URL with one job into the matching output file.
int RunJobs(int argc, char** argv) {
  JobRunner runner;
  for (int i = 2; i + 2 < argc; i += 3) {
    CUpdateFile entry(L"");
    auto job = std::make_unique<CInetFile>(platform::FromUtf8(argv[i]), nullptr, L"1");
    job->Kind = kJobFile;
    job->TargetPath = platform::FromUtf8(argv[i + 1]);
    job->ExpectedLength = strtoull(argv[i + 2], nullptr, 10);
    if (runner.Run(job.get(), true, 600000, 0) != kJobOk) return 1;
  }
  return 0;
}

// Child mode with a list file: "url output length" per line.
int RunJobList(const char* list) {
  FILE* f = fopen(list, "r");
  if (!f) return 1;
  char url[1024], out[1024];
  unsigned long long length;
  JobRunner runner;
  while (fscanf(f, "%1023s %1023s %llu", url, out, &length) == 3) {
    auto job = std::make_unique<CInetFile>(platform::FromUtf8(url), nullptr, L"1");
    job->Kind = kJobFile;
    job->TargetPath = platform::FromUtf8(out);
    job->ExpectedLength = length;
    if (runner.Run(job.get(), true, 60000, 0) != kJobOk) return 1;
  }
  fclose(f);
  return 0;
}

void MakeFile(const std::string& path, uint64_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  std::vector<char> block(1 << 20);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + (i >> 11));
  for (uint64_t done = 0; done < size;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), size - done));
    fwrite(block.data(), 1, n, f);
    done += n;
  }
  fclose(f);
}

void Row(const char* name, const Measure& m, double mib) {
  printf("  %-22s %s wall %7.2f s  %8.1f MiB/s  cpu %6.2f s (%5.2f s/GiB)  peak %7.1f MiB\n", name,
         m.ok ? "  " : "!!", m.wall, mib / m.wall, m.cpu, m.cpu / (mib / 1024), m.peak_mib);
}

// |ca| is the CA to trust for an https |base|; the updater finds it through
// SSL_CERT_FILE, set by the caller.
void CompareLarge(const char* title, const std::string& exe, const std::string& base,
                  const std::string& out_dir, uint64_t size, int rounds, const std::string& ca = "",
                  double memory_target = 16) {
  const std::string url = base + "/big.bin";
  const double mib = size / 1048576.0;
  const std::string ours_out = out_dir + "/ours.bin", curl_out = out_dir + "/curl.bin";
  const std::string curl_ca = ca.empty() ? "" : "--cacert '" + ca + "' ";
  std::vector<std::vector<std::string>> commands = {
      {exe, "--jobs", url, ours_out, std::to_string(size)},
      {"sh", "-c", "curl -s " + curl_ca + "-o '" + curl_out + "' '" + url + "' && sync '" + curl_out + "'"},
      {"aria2c", "-q", "-x5", "-s5", "-k1M", "--allow-overwrite=true", "--auto-file-renaming=false",
       "--file-allocation=none", "-d", out_dir, "-o", "aria.bin", url},
  };
  if (!ca.empty()) commands[2].push_back("--ca-certificate=" + ca);
  const std::string outputs[] = {ours_out + ".update.1", curl_out, out_dir + "/aria.bin"};
  Measure best[3];
  // Rounds alternate the contenders, each starting from a clean page cache
  // state; the best round of each counts.
  for (int round = 0; round < rounds; ++round) {
    for (int i = 0; i < 3; ++i) {
      sync();
      Measure m = RunChild(commands[i]);
      unlink(outputs[i].c_str());
      if (!best[i].ok || (m.ok && m.wall < best[i].wall)) best[i] = m;
    }
  }
  printf("%s (%.0f MiB, best of %d)\n", title, mib, rounds);
  Row("ours (1 job, 5 ranges)", best[0], mib);
  Row("curl (1 stream)", best[1], mib);
  Row("aria2c -x5 -s5", best[2], mib);
  double best_peer = std::min(best[1].wall, best[2].wall);
  printf("  throughput vs faster peer: %.2f (target >= 1.0); vs curl: %.2f; cpu/GiB vs aria2c: %.2f "
         "(target <= 1.0); peak memory %.1f MiB (target < %.0f)\n",
         best_peer / best[0].wall, best[1].wall / best[0].wall, best[0].cpu / best[2].cpu,
         best[0].peak_mib, memory_target);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && !strcmp(argv[1], "--jobs")) return RunJobs(argc, argv);
  if (argc > 2 && !strcmp(argv[1], "--job-list")) return RunJobList(argv[2]);
  uint64_t size_mib = 512, limited_mib = 64;
  int files = 2000, rounds = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--size-mib")) size_mib = strtoull(argv[i + 1], nullptr, 10);
    if (!strcmp(argv[i], "--limited-size-mib")) limited_mib = strtoull(argv[i + 1], nullptr, 10);
    if (!strcmp(argv[i], "--files")) files = atoi(argv[i + 1]);
    if (!strcmp(argv[i], "--rounds")) rounds = atoi(argv[i + 1]);
  }
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  self[n > 0 ? n : 0] = '\0';

  TempDir root, out;
  MakeFile(root.File("big.bin"), size_mib << 20);
  {
    NginxServer nginx(root.path());
    if (!nginx.ok()) {
      fprintf(stderr, "nginx is needed\n");
      return 1;
    }
    CompareLarge("(a) plain loopback", self, nginx.base(), out.path(), size_mib << 20, rounds);
  }
  {
    TestCertificates certs;
    NginxServer nginx(root.path(), "", certs.Server("good"));
    if (certs.ok() && nginx.ok()) {
      setenv("SSL_CERT_FILE", certs.ca().c_str(), 1);
      CompareLarge("(a') TLS loopback (throughput target vs curl >= 0.9)", self, nginx.base(), out.path(),
                   size_mib << 20, rounds, certs.ca(), 24);
      unsetenv("SSL_CERT_FILE");
    } else {
      fprintf(stderr, "TLS comparison skipped: no certificates or nginx\n");
    }
  }
  MakeFile(root.File("big.bin"), limited_mib << 20);
  {
    NginxServer nginx(root.path(), "limit_rate 4m;");
    CompareLarge("(b) limit_rate 4m per connection", self, nginx.base(), out.path(), limited_mib << 20, 1);
  }

  mkdir(root.File("small").c_str(), 0755);
  std::string list, curl_config;
  for (int i = 0; i < files; ++i) {
    std::string name = "small/f" + std::to_string(i) + ".bin";
    MakeFile(root.File(name), 16384);
    list += "URL/" + name + " " + out.File("o" + std::to_string(i)) + " 16384\n";
    curl_config += "url = \"URL/" + name + "\"\noutput = \"" + out.File("c" + std::to_string(i)) + "\"\n";
  }
  NginxServer nginx(root.path());
  auto fill = [&](std::string text) {
    for (size_t at; (at = text.find("URL/")) != std::string::npos;) text.replace(at, 3, nginx.base());
    return text;
  };
  WriteFileBytes(out.File("jobs.txt"), fill(list));
  WriteFileBytes(out.File("curl.txt"), fill(curl_config));
  Measure ours = RunChild({self, "--job-list", out.File("jobs.txt")});
  Measure curl = RunChild({"curl", "-s", "-K", out.File("curl.txt")});
  printf("%d files of 16 KiB, one after another\n", files);
  printf("  ours %s %.0f files/s; curl (one process) %s %.0f files/s; ratio %.2f\n", ours.ok ? "" : "!!",
         files / ours.wall, curl.ok ? "" : "!!", files / curl.wall, curl.wall / ours.wall);
  return 0;
}
