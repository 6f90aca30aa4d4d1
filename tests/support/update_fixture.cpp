#include "support/update_fixture.h"

#include <sys/stat.h>

#include <ctime>
#include <sstream>

#include "manifest/update_files.h"
#include "platform/event_loop.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "publish.h"

namespace {

void MakeParents(const std::string& path) {
  for (size_t i = 1; i < path.size(); ++i) {
    if (path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
  }
}

void WriteGameFiles(const std::string& dir, const GameFiles& files) {
  for (const auto& f : files) {
    std::string path = dir + "/" + f.first;
    MakeParents(path);
    WriteFileBytes(path, f.second.content);
    platform::SetAllFileTimes(platform::FromUtf8(path), f.second.stamp);
  }
}

}  // namespace

platform::FILETIME Stamp(int version, int index) {
  return platform::FILETIME{static_cast<uint32_t>(1000000 + index),
                            static_cast<uint32_t>(30000000 + version)};
}

UpdateFixture::UpdateFixture() {
  mkdir(dir_.File("server").c_str(), 0755);
  mkdir(dir_.File("install").c_str(), 0755);
  WriteFileBytes(Install("updater"), "the running updater");
  WriteFileBytes(Install("kelvora.exe"), "#!/bin/sh\necho started >> lobby.txt\n");
  chmod(Install("kelvora.exe").c_str(), 0755);
  server_.reset(new TestUpdateServer(ServerRoot()));
}

UpdateFixture::~UpdateFixture() = default;

void UpdateFixture::Publish(int version, const GameFiles& files, const SigningKey* key) {
  std::string src = dir_.File("src" + std::to_string(version));
  mkdir(src.c_str(), 0755);
  WriteGameFiles(src, files);
  std::wstring error, table;
  PublishRelease(std::to_wstring(version), platform::FromUtf8(src), platform::FromUtf8(ServerRoot()),
                 &error, &table, key);
}

void UpdateFixture::PublishVersionList(int product, int max, const std::vector<std::string>& urls,
                                       const SigningKey* key, int64_t expires_in) {
  std::vector<std::wstring> wide;
  for (const std::string& u : urls) wide.push_back(platform::FromUtf8(u));
  std::wstring error;
  ::PublishVersionList(platform::FromUtf8(ServerRoot()), std::to_wstring(product),
                       std::to_wstring(max), wide, &error, key,
                       static_cast<int64_t>(time(nullptr)) + expires_in);
}

void UpdateFixture::InstallFiles(const GameFiles& files) { WriteGameFiles(Install(), files); }

void UpdateFixture::WriteIni(const std::string& text) { WriteFileBytes(Install("UpdateTemp.ini"), text); }

std::string UpdateFixture::IniValue(const std::string& section, const std::string& key) {
  return platform::ToUtf8(platform::GetProfileString(platform::FromUtf8(section), platform::FromUtf8(key),
                                                     L"<none>", 256,
                                                     platform::FromUtf8(Install("UpdateTemp.ini"))));
}

void UpdateFixture::Run(ScriptedUi* ui) {
  app.reset(new FastClockApp(platform::FromUtf8(Install("updater")), clock_speed, disk));
  app->InitInstance(L"127.0.0.1 " + mode, ui);
}

std::string UpdateFixture::Complaints() const {
  std::istringstream in(Log());
  std::string out;
  for (std::string line; std::getline(in, line);) {
    if (line.find("从本地文件复用") == std::string::npos) out += line + "\n";
  }
  return out;
}

bool UpdateFixture::LobbyStarted() {
  platform::RunUntil([&] { return PathExists(Install("lobby.txt")); }, 3000);
  return PathExists(Install("lobby.txt"));
}

bool UpdateFixture::FileMatches(const std::string& name, const GameFile& file) {
  platform::FILETIME t;
  return ReadFileBytes(Install(name)) == file.content &&
         platform::GetLastWriteTime(platform::FromUtf8(Install(name)), &t) &&
         platform::ToTicks(t) == platform::ToTicks(file.stamp);
}
