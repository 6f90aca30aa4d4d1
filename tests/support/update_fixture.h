#pragma once
// An update server tree made with the publisher, an install directory, and a
// run of the real application object and update controller on the real loop.
#include <map>
#include <memory>
#include <string>

#include "app/app.h"
#include "signing_key.h"
#include "platform/files.h"
#include "support/scripted_ui.h"
#include "support/servers.h"
#include "support/temp_dir.h"

struct GameFile {
  std::string content;
  platform::FILETIME stamp;
};
using GameFiles = std::map<std::string, GameFile>;

// The application with its controller's timers running |speed| times faster
// than real time.
class FastClockApp : public CAutoUpdateClientApp {
 public:
  FastClockApp(std::wstring exePath, unsigned speed, platform::Disk* disk = nullptr)
      : CAutoUpdateClientApp(std::move(exePath)), speed_(speed), disk_(disk) {}
  unsigned ClockSpeed() const override { return speed_; }
  platform::Disk& GetDisk() override { return disk_ ? *disk_ : CAutoUpdateClientApp::GetDisk(); }

 private:
  unsigned speed_;
  platform::Disk* disk_;
};

// A stamp the manifest carries exactly (its low half stays below 2^31).
platform::FILETIME Stamp(int version, int index);

class UpdateFixture {
 public:
  UpdateFixture();
  ~UpdateFixture();

  std::string ServerRoot() const { return dir_.File("server"); }
  std::string Install(const std::string& name = "") const {
    return name.empty() ? dir_.File("install") : dir_.File("install/" + name);
  }
  TestUpdateServer& server() { return *server_; }

  // Publishes |files| as version |version|, signed with |key| when given.
  void Publish(int version, const GameFiles& files, const SigningKey* key = nullptr);
  // A signed list expires |expires_in| seconds from now.
  void PublishVersionList(int product, int max, const std::vector<std::string>& urls,
                          const SigningKey* key = nullptr, int64_t expires_in = 3600);
  // Puts |files| into the install directory with their stamps.
  void InstallFiles(const GameFiles& files);
  void WriteIni(const std::string& text);
  std::string IniValue(const std::string& section, const std::string& key);
  std::string Log() const { return ReadFileBytes(Install("UpdateLog.log")); }
  // The log without the lines that count a version's reused and fetched
  // bytes: what is left of a clean update is empty.
  std::string Complaints() const;
  // "127.0.0.1:port" of the test server.
  std::string ServerWord() const { return "127.0.0.1:" + std::to_string(server_->port()); }

  // Runs the application as the program would, with |ui| standing in for
  // the window. Returns when the window has closed.
  void Run(ScriptedUi* ui);
  bool LobbyStarted();
  bool FileMatches(const std::string& name, const GameFile& file);

  std::unique_ptr<CAutoUpdateClientApp> app;
  // The mode word Run() starts the application with.
  std::wstring mode = L"auto";
  // How much faster than real time the controller's timers run in Run().
  unsigned clock_speed = 1;
  // The file system of Run(); null for the real one.
  platform::Disk* disk = nullptr;

 private:
  TempDir dir_;
  std::unique_ptr<TestUpdateServer> server_;
};
