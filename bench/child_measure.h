#pragma once
// Runs a benchmark's contender as a child process and measures it: wall
// time, CPU time (user + system) and peak memory as wait4 reports them.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

struct Measure {
  double wall = 0, cpu = 0, peak_mib = 0;
  bool ok = false;
  int status = 0;  // as wait4 gives it
};

struct ChildOptions {
  std::string dir;          // working directory; empty: this one
  std::string output;       // standard output and error go here; empty: inherited
  bool headless = false;    // DISPLAY and WAYLAND_DISPLAY left out: the console front end
  bool sync_first = false;  // dirty pages of earlier contenders written out first
};

inline Measure RunMeasured(const std::vector<std::string>& argv, const ChildOptions& options = ChildOptions()) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (char** e = environ; *e; ++e) {
    if (options.headless && (!strncmp(*e, "DISPLAY=", 8) || !strncmp(*e, "WAYLAND_DISPLAY=", 16))) continue;
    env.push_back(*e);
  }
  env.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!options.dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.dir.c_str());
  if (!options.output.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, options.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  Measure m;
  if (options.sync_first) sync();
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid;
  int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return m;
  rusage usage{};
  wait4(pid, &m.status, 0, &usage);
  m.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  m.cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
  m.peak_mib = usage.ru_maxrss / 1024.0;
  m.ok = WIFEXITED(m.status) && WEXITSTATUS(m.status) == 0;
  return m;
}
