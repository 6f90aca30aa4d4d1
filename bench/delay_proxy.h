#pragma once
// tools/delay_proxy.py as a child of a benchmark: a far server made of a
// port on 127.0.0.1, and what went through it while one contender ran.
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "support/servers.h"
#include "support/temp_dir.h"

struct ProxyTraffic {
  long connections = -1;  // opened in the window; -1: unknown
  uint64_t bytes = 0;     // carried towards the client
  double held_rate = 0;   // bytes/s between 10% and 90% of those bytes; 0: too few samples
};

class DelayProxyChild {
 public:
  // |rate|: bytes/s per direction shared by all connections, 0 for none.
  DelayProxyChild(const std::string& dir, int upstream, double rtt_ms, double rate)
      : port_file_(dir + "/proxy.port"), stats_(dir + "/proxy.stats") {
    char rtt[32], cap[32];
    snprintf(rtt, sizeof(rtt), "%g", rtt_ms);
    snprintf(cap, sizeof(cap), "%.0f", rate);
    child_.reset(new ChildProcess({"python3", std::string(UPDATER_SOURCE_DIR) + "/tools/delay_proxy.py",
                                   "--upstream", std::to_string(upstream), "--rtt", rtt, "--rate", cap,
                                   "--port-file", port_file_, "--stats", stats_}));
    for (int i = 0; i < 200 && port_ == 0; ++i) {
      port_ = atoi(ReadFileBytes(port_file_).c_str());
      if (port_ == 0) usleep(50000);
    }
  }
  bool ok() const { return port_ != 0; }
  int port() const { return port_; }

  static double Now() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    return tv.tv_sec + tv.tv_usec / 1e6;
  }

  // What went through between |from| and |to| (times of Now()); waits for
  // the proxy's last report of the window first.
  ProxyTraffic Between(double from, double to) const {
    usleep(350000);
    struct Sample {
      double time;
      long connections;
      uint64_t down;
    };
    std::vector<Sample> samples;
    std::unique_ptr<FILE, int (*)(FILE*)> f(fopen(stats_.c_str(), "r"), fclose);
    if (!f) return ProxyTraffic();
    Sample base = {0, 0, 0}, s;
    unsigned long long down, up;
    while (fscanf(f.get(), "%lf %ld %llu %llu", &s.time, &s.connections, &down, &up) == 4) {
      s.down = down;
      if (s.time <= from) {
        base = s;
      } else if (s.time <= to + 0.3) {
        samples.push_back(s);
      }
    }
    ProxyTraffic t;
    t.connections = samples.empty() ? 0 : samples.back().connections - base.connections;
    t.bytes = samples.empty() ? 0 : samples.back().down - base.down;
    const Sample* low = nullptr;
    const Sample* high = nullptr;
    for (const Sample& x : samples) {
      if (!low && x.down - base.down >= t.bytes / 10) low = &x;
      if (!high && x.down - base.down >= t.bytes / 10 * 9) high = &x;
    }
    if (low && high && high->time > low->time) t.held_rate = (high->down - low->down) / (high->time - low->time);
    return t;
  }

 private:
  std::string port_file_, stats_;
  std::unique_ptr<ChildProcess> child_;
  int port_ = 0;
};
