#pragma once
// The application object: start-up, completion of a pending swap of the
// updater's own executable, the command line, shutdown, and the update log.
#include <memory>
#include <string>

#include "update/update_host.h"

namespace platform {
class InstanceLock;
class Ui;
}

class CAutoUpdateClientApp : public UpdateHost {
 public:
  // |exePath| is the running executable; everything else lives beside it.
  explicit CAutoUpdateClientApp(std::wstring exePath);
  virtual ~CAutoUpdateClientApp();

  // The whole start-up and the update run in the main window; false in
  // every case, as nothing is left to run afterwards. When another updater
  // runs on the same install, one line is logged and nothing else is done.
  bool InitInstance(const std::wstring& commandLine, platform::Ui* ui);
  // 0 when the run handed over to the lobby, 1 otherwise.
  int ExitInstance();

  void CompletePendingSwap();
  // False when the command line lacks its two words.
  bool ParseCommandLine(const std::wstring& commandLine);

  // What the update controller asks of its host.
  std::wstring ExePath() const override { return exe_path_; }
  std::wstring ExeDir() const override;
  std::wstring ExeName() const override { return ExeFileName; }
  std::wstring ResumeFilePath() const override;
  std::wstring ServerWord() const override { return ServerAddress; }
  bool RepairMode() const override { return RepairFlag; }
  void WriteLog(const std::wstring& text) override;
  // Goes to standard error when UPDATER_DEBUG is set.
  void DebugLog(const std::wstring& text) override;
  void OnLobbyStarted() override { LobbyStarted = true; }

  // Only emptiness is ever tested; any non-empty default serves.
  std::wstring ServerAddress = L"http://127.0.0.1";
  std::wstring ExeFileName;
  bool AutoFlag = false;
  bool RepairFlag = false;
  // Set when the lobby was started.
  bool LobbyStarted = false;

 private:
  std::wstring exe_path_;
  // Held until the application object goes.
  std::unique_ptr<platform::InstanceLock> lock_;
};
