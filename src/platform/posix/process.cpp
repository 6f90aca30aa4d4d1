#include "platform/process.h"

#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/text.h"

extern char** environ;

namespace platform {
namespace {

bool Spawn(const std::string& program, const std::string& arg, const std::string& work_dir,
           bool search_path) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!work_dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, work_dir.c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The started program outlives us: give it its own session.
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  std::string prog = program, argument = arg;
  char* argv[] = {&prog[0], argument.empty() ? nullptr : &argument[0], nullptr};
  pid_t pid = 0;
  int rc = search_path ? posix_spawnp(&pid, prog.c_str(), &actions, &attr, argv, environ)
                       : posix_spawn(&pid, prog.c_str(), &actions, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0;
}

}  // namespace

bool InitializeProcess() { return true; }
void ShutdownProcess() {}

std::vector<ProcessEntry> ListProcesses() {
  std::vector<ProcessEntry> list;
  DIR* dir = opendir("/proc");
  if (!dir) return list;
  while (dirent* e = readdir(dir)) {
    char* end = nullptr;
    long pid = strtol(e->d_name, &end, 10);
    if (pid <= 0 || *end) continue;
    char link[64], target[4096];
    snprintf(link, sizeof(link), "/proc/%ld/exe", pid);
    ssize_t n = readlink(link, target, sizeof(target) - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    std::string path = target;
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
      path.resize(path.size() - deleted.size());
    }
    list.push_back(ProcessEntry{static_cast<uint32_t>(pid), FromAnsi(path.substr(path.rfind('/') + 1))});
  }
  closedir(dir);
  return list;
}

bool TerminateProcess(uint32_t id) {
  if (id == 0) return false;
  if (id == static_cast<uint32_t>(getpid())) _exit(0);
  return kill(static_cast<pid_t>(id), SIGKILL) == 0;
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

bool StartProcess(const std::wstring& path, const std::wstring& work_dir, uintptr_t) {
  std::string program = ToAnsi(path);
  if (access(program.c_str(), X_OK) != 0) return false;
  return Spawn(program, std::string(), ToAnsi(work_dir), false);
}

bool OpenUrl(const std::wstring& url) {
  if (!IsWebAddress(url)) return false;
  return Spawn("xdg-open", ToAnsi(url), std::string(), true);
}

void Sleep(unsigned ms) {
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0) {
  }
}

void ExitProcessNow(int code) {
  fflush(nullptr);
  _exit(code);
}

}  // namespace platform
