#include "support/headless_run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstring>
#include <vector>

extern char** environ;

pid_t StartHeadless(const std::string& exe) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addchdir_np(&actions, "/");
  std::string server = "127.0.0.1", mode = "auto";
  char* argv[] = {const_cast<char*>(exe.c_str()), const_cast<char*>(server.c_str()),
                  const_cast<char*>(mode.c_str()), nullptr};
  std::vector<char*> env;
  for (char** e = environ; *e; ++e) {
    if (strncmp(*e, "DISPLAY=", 8) && strncmp(*e, "WAYLAND_DISPLAY=", 16)) env.push_back(*e);
  }
  env.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, env.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int WaitExit(pid_t pid) {
  if (pid <= 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
