#pragma once
// The real program started as a player's shortcut starts it, without a
// display: the console front end. It runs from "/", so it must find its
// install directory from its own path.
#include <sys/types.h>

#include <string>

// Starts |exe| with the server word "127.0.0.1" and mode "auto", its
// output thrown away. Returns its pid, or -1.
pid_t StartHeadless(const std::string& exe);

// Waits for |pid| and returns its exit status as a shell reports it:
// 128 + the signal for a process killed or crashed; -1 when none.
int WaitExit(pid_t pid);
