// The cost of signed releases on a whole update: the real updater, headless,
// brings an installation from version 1 to version 2 (one 512 MiB file that
// changed) from nginx on 127.0.0.1, once from an unsigned server tree without
// a key file, once from a signed tree with UpdateTrust.pub. The best of the
// rounds counts; the ratio is signed / unsigned wall time.
//
//   signed_update_bench [--size-mib N] [--rounds N]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
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

// Headless (the console front end) in |dir|, its output dropped.
Measure RunChild(const std::vector<std::string>& argv, const std::string& dir) {
  ChildOptions options;
  options.dir = dir;
  options.output = "/dev/null";
  options.headless = true;
  return RunMeasured(argv, options);
}

int Shell(const std::string& command) { return system(command.c_str()); }

void MakeFile(const std::string& path, uint64_t size, char seed) {
  FILE* f = fopen(path.c_str(), "wb");
  std::vector<char> block(1 << 20);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(seed + i * 7 + (i >> 11));
  for (uint64_t done = 0; done < size;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), size - done));
    fwrite(block.data(), 1, n, f);
    done += n;
  }
  fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t size_mib = 512;
  int rounds = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--size-mib")) size_mib = strtoull(argv[i + 1], nullptr, 10);
    else if (!strcmp(argv[i], "--rounds")) rounds = atoi(argv[i + 1]);
  }
  TempDir dir;
  const std::string bin = std::string(UPDATER_BINARY_DIR) + "/bin/";
  const std::string publish = bin + "updater-publish";
  for (const char* v : {"v1", "v2", "plain", "signed"}) mkdir(dir.File(v).c_str(), 0755);
  MakeFile(dir.File("v1/big.bin"), size_mib << 20, 'a');
  MakeFile(dir.File("v2/big.bin"), size_mib << 20, 'b');
  Shell("touch -d '2026-01-01 12:00:00 UTC' " + dir.File("v1/big.bin"));
  Shell("touch -d '2026-02-01 12:00:00 UTC' " + dir.File("v2/big.bin"));
  std::string key = dir.File("k.pem");
  Shell(publish + " keygen --out " + key + " > " + dir.File("UpdateTrust.pub"));
  for (const char* v : {"1", "2"}) {
    Shell(publish + " release --version " + v + " --from " + dir.File(std::string("v") + v) + " --to " +
          dir.File("plain") + " >/dev/null");
    Shell(publish + " release --version " + v + " --from " + dir.File(std::string("v") + v) + " --to " +
          dir.File("signed") + " --sign " + key + " >/dev/null");
  }
  NginxServer plain(dir.File("plain")), signed_tree(dir.File("signed"));
  if (!plain.ok() || !signed_tree.ok()) {
    fprintf(stderr, "nginx is needed\n");
    return 1;
  }
  Shell(publish + " versions --to " + dir.File("plain") + " --product 2 --max 2 >/dev/null");
  Shell(publish + " versions --to " + dir.File("signed") + " --product 2 --max 2 --sign " + key + " >/dev/null");

  Measure best[2];
  const char* names[2] = {"unsigned", "signed"};
  for (int round = 0; round < rounds; ++round) {
    for (int s = 0; s < 2; ++s) {
      std::string install = dir.File("install");
      Shell("rm -rf " + install + " && mkdir " + install + " && cp -a " + dir.File("v1/.") + " " + install +
            " && cp " + bin + "updater " + install + " && printf '#!/bin/sh\\n' > " + install +
            "/kelvora.exe && chmod +x " + install + "/kelvora.exe");
      if (s == 1) Shell("cp " + dir.File("UpdateTrust.pub") + " " + install);
      int port = s == 0 ? plain.port() : signed_tree.port();
      std::string ini = "[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=127.0.0.1:" + std::to_string(port) + "\r\n";
      WriteFileBytes(install + "/UpdateTemp.ini", ini);
      Shell("sync");
      Measure m = RunChild({install + "/updater", "127.0.0.1:" + std::to_string(port), "auto"}, install);
      m.ok = m.ok && Shell("cmp -s " + install + "/big.bin " + dir.File("v2/big.bin")) == 0;
      printf("  round %d %-9s %s wall %6.2f s  cpu %6.2f s\n", round + 1, names[s], m.ok ? "ok" : "!!", m.wall,
             m.cpu);
      if (m.ok && (best[s].wall == 0 || m.wall < best[s].wall)) best[s] = m;
    }
  }
  printf("%llu MiB file, best of %d: unsigned %.2f s, signed %.2f s, ratio %.3f\n",
         static_cast<unsigned long long>(size_mib), rounds, best[0].wall, best[1].wall,
         best[0].wall > 0 ? best[1].wall / best[0].wall : 0.0);
  return best[0].ok && best[1].ok ? 0 : 1;
}
