#pragma once
// What the update controller needs from the program around it: where it
// lives, what it was started with, where texts are logged, and the clock its
// timers run on. The application object implements it; tests may too.
#include <string>

#include "platform/disk.h"

class UpdateHost {
 public:
  // The running executable, its directory (no trailing separator) and its
  // file name.
  virtual std::wstring ExePath() const = 0;
  virtual std::wstring ExeDir() const = 0;
  virtual std::wstring ExeName() const = 0;
  virtual std::wstring ResumeFilePath() const = 0;
  // The server word of the command line; empty when none was given.
  virtual std::wstring ServerWord() const = 0;

  // Started with the mode word "repair": the recorded version's files are
  // checked and mended, and no later version is fetched.
  virtual bool RepairMode() const { return false; }
  // A line for the update log.
  virtual void WriteLog(const std::wstring& text) = 0;
  // A line for whoever debugs the controller; dropped unless asked for.
  virtual void DebugLog(const std::wstring& text) = 0;
  // The lobby was started: the run handed over.
  virtual void OnLobbyStarted() = 0;

  // How many times faster than real time the controller's timers run: 1 in
  // the program, more in tests that would otherwise wait for the watchdog.
  virtual unsigned ClockSpeed() const { return 1; }

  // The file system the update writes to; tests may hand in one that fails.
  virtual platform::Disk& GetDisk() { return platform::RealDisk(); }

 protected:
  ~UpdateHost() = default;
};
