// updater-publish: builds the update server's tree from a game directory.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "install_config.h"
#include "platform/text.h"
#include "publish.h"
#include "signing_key.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  updater-publish keygen --out FILE\n"
    "      Makes a signing key, writes it to FILE (readable by you only; an\n"
    "      existing FILE is never replaced) and prints its public key line for\n"
    "      the clients' UpdateTrust.pub.\n"
    "  updater-publish release --version V --from DIR --to ROOT [--sign FILE]\n"
    "      Publishes the game files in DIR as version V: writes\n"
    "      ROOT/update/V/FileConfig.xml and copies the files below ROOT/update/V/.\n"
    "      Files of 128 KiB and more get a chunk index NAME.chunks beside\n"
    "      them, so clients fetch only the parts that changed.\n"
    "      With --sign, every entry carries its SHA-256 and FileConfig.xml.sig\n"
    "      is written.\n"
    "  updater-publish versions --to ROOT --product P --max M [--url ADDRESS]...\n"
    "                           [--sign FILE [--expires DAYS]]\n"
    "      Writes ROOT/update/VerAndUrl.xml: product version P, newest version M\n"
    "      and up to eight server base addresses. With --sign, VerAndUrl.xml.sig\n"
    "      is written, valid for DAYS days (30 unless given); publish the list\n"
    "      again before then.\n"
    "Serve ROOT over HTTP; the clients' UpdateTemp.ini names its address.\n";

const int kDefaultExpiryDays = 30;

int Fail(const std::string& message) {
  fprintf(stderr, "updater-publish: %s\n", message.c_str());
  return 1;
}

bool ParseDays(const std::wstring& text, int* days) {
  if (text.empty() || text.size() > 5) return false;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
  }
  *days = platform::LeadingInt(text);
  return *days > 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")) {
    fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  std::string command = argv[1];
  std::wstring version, from, to, product, max, out, sign, expires, home;
  std::vector<std::wstring> urls, servers;
  for (int i = 2; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--help") {
      fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) return Fail("missing value after " + flag + "\n" + kUsage);
    std::wstring value = platform::FromAnsi(argv[++i]);
    if (flag == "--version") version = value;
    else if (flag == "--from") from = value;
    else if (flag == "--to") to = value;
    else if (flag == "--product") product = value;
    else if (flag == "--max") max = value;
    else if (flag == "--url") urls.push_back(value);
    else if (flag == "--out") out = value;
    else if (flag == "--sign") sign = value;
    else if (flag == "--expires") expires = value;
    else if (flag == "--server") servers.push_back(value);
    else if (flag == "--home") home = value;
    else return Fail("unknown option " + flag + "\n" + kUsage);
  }
  std::wstring error, table;
  SigningKey key;
  if (command == "keygen") {
    if (out.empty()) return Fail("keygen needs --out\n" + std::string(kUsage));
    if (!key.Generate(out, &error)) return Fail(platform::ToAnsi(error));
    printf("%s\n", key.PublicKeyLine().c_str());
    return 0;
  }
  if (command == "install-config") {
    if (to.empty()) return Fail("install-config needs --to\n" + std::string(kUsage));
    if (!WriteInstallConfig(InstallConfig{to, servers, version, home}, &error)) {
      return Fail(platform::ToAnsi(error));
    }
    printf("wrote %s/UpdateTemp.ini (%zu server%s)\n", platform::ToAnsi(to).c_str(), servers.size(),
           servers.size() == 1 ? "" : "s");
    return 0;
  }
  if (!sign.empty() && !key.Load(sign, &error)) return Fail(platform::ToAnsi(error));
  const SigningKey* signer = sign.empty() ? nullptr : &key;
  if (command == "release") {
    if (version.empty() || from.empty() || to.empty()) {
      return Fail("release needs --version, --from and --to\n" + std::string(kUsage));
    }
    if (!expires.empty()) return Fail("--expires applies to the version list only");
    std::wstring warning;
    if (!PublishRelease(version, from, to, &error, &table, signer, &warning)) {
      return Fail(platform::ToAnsi(error));
    }
    printf("%s", platform::ToAnsi(table).c_str());
    if (!warning.empty()) fprintf(stderr, "updater-publish: %s\n", platform::ToAnsi(warning).c_str());
    printf("published version %s into %s/update/%s%s\n", platform::ToAnsi(version).c_str(),
           platform::ToAnsi(to).c_str(), platform::ToAnsi(version).c_str(),
           signer ? ", signed" : "");
    return 0;
  }
  if (command == "versions") {
    if (to.empty() || product.empty() || max.empty()) {
      return Fail("versions needs --to, --product and --max\n" + std::string(kUsage));
    }
    int days = kDefaultExpiryDays;
    if (!expires.empty() && (!signer || !ParseDays(expires, &days))) {
      return Fail("--expires needs --sign and a number of days");
    }
    int64_t until = static_cast<int64_t>(time(nullptr)) + int64_t{days} * 86400;
    if (!PublishVersionList(to, product, max, urls, &error, signer, until)) {
      return Fail(platform::ToAnsi(error));
    }
    printf("wrote %s/update/VerAndUrl.xml (newest version %s, %zu server%s)%s\n",
           platform::ToAnsi(to).c_str(), platform::ToAnsi(max).c_str(), urls.size(),
           urls.size() == 1 ? "" : "s", signer ? ", signed" : "");
    return 0;
  }
  return Fail("unknown command " + command + "\n" + kUsage);
}
