#include "install_config.h"

#include "manifest/path_safety.h"
#include "platform/file.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "publish.h"
#include "update/resume_file.h"

namespace {

constexpr int kMaxServers = 8;

bool CheckConfig(const InstallConfig& config, std::wstring* error) {
  if (config.servers.empty() || config.servers.size() > kMaxServers) {
    *error = L"give one to eight --server addresses";
    return false;
  }
  for (const std::wstring& server : config.servers) {
    if (!IsUsableServerAddress(server)) {
      *error = L"not a server address: " + server;
      return false;
    }
    if (StoredServerEntry(server).size() >= ResumeFile::kServerBuffer) {
      *error = L"the updater cannot store an address this long: " + server;
      return false;
    }
  }
  if (!config.version.empty() && !IsSafeVersionText(config.version)) {
    *error = L"the version must be digits and dots, for example 7: " + config.version;
    return false;
  }
  if (!config.home.empty() &&
      (!platform::IsProfileText(config.home) || config.home.size() >= ResumeFile::kValueBuffer)) {
    *error = L"the updater cannot store this home page address: " + config.home;
    return false;
  }
  if (!platform::IsDirectory(config.dir)) {
    *error = L"no such directory: " + config.dir;
    return false;
  }
  return true;
}

// A copy of |from| at |to|; an empty |to| when there is no |from|. False
// when |from| is there but cannot be read: its values must not be lost.
bool CopyOrCreate(const std::wstring& from, const std::wstring& to) {
  platform::File in, out;
  if (!out.Open(to, platform::File::kCreateTruncate)) return false;
  uint64_t size = 0;
  if (in.Open(from, platform::File::kRead)) {
    char buf[1 << 14];
    long n;
    while ((n = in.Read(buf, sizeof(buf))) > 0) {
      if (!out.Write(buf, static_cast<size_t>(n))) return false;
    }
    if (n < 0) return false;
  } else if (platform::GetFileSize(from, &size)) {
    return false;
  }
  return out.Close();
}

// What the updater will take from the file, compared with what was meant.
bool ReadsBack(const InstallConfig& config, const ResumeFile& file, const std::wstring& path,
               std::wstring* error) {
  for (int number = 1; number <= kMaxServers; ++number) {
    const size_t i = static_cast<size_t>(number - 1);
    const std::wstring meant = i < config.servers.size() ? config.servers[i] : L"";
    if (file.ReadServerAddress(number) != meant) {
      *error = platform::Format(L"%s would not read back as meant: Temp%d", path.c_str(), number);
      return false;
    }
  }
  if ((!config.version.empty() && file.ReadCurrentVersion(L"") != config.version) ||
      (!config.home.empty() && file.ReadHomeUrl() != config.home)) {
    *error = path + L" would not read back as meant";
    return false;
  }
  return true;
}

}  // namespace

bool WriteInstallConfig(const InstallConfig& config, std::wstring* error) {
  if (!CheckConfig(config, error)) return false;
  // Written and read back beside the file, then moved over it: a value the
  // file would not give back as meant leaves the installation as it was.
  const std::wstring path = config.dir + L"/UpdateTemp.ini";
  const ResumeFile file(path + L".writing");
  bool ok = CopyOrCreate(path, file.path());
  for (int number = 1; number <= kMaxServers; ++number) {
    const size_t i = static_cast<size_t>(number - 1);
    if (i < config.servers.size()) {
      ok = ok && file.WriteServerAddress(number, StoredServerEntry(config.servers[i]));
    } else if (ok && !file.ReadServerAddress(number).empty()) {
      // The updater tries servers in turn until one is empty.
      ok = file.WriteServerAddress(number, L"");
    }
  }
  if (!config.version.empty()) ok = ok && file.WriteCurrentVersion(config.version);
  if (!config.home.empty()) ok = ok && file.WriteHomeUrl(config.home);
  if (!ok) *error = L"cannot write " + path;
  ok = ok && ReadsBack(config, file, path, error);
  if (!ok || !platform::ReplaceFile(file.path(), path)) {
    if (ok) *error = L"cannot write " + path;
    platform::DeleteFile(file.path());
    return false;
  }
  return true;
}
