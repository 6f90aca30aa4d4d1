// updater-publish: builds the update server's tree from a game directory.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/text.h"
#include "publish.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  updater-publish release --version V --from DIR --to ROOT\n"
    "      Publishes the game files in DIR as version V: writes\n"
    "      ROOT/update/V/FileConfig.xml and copies the files below ROOT/update/V/.\n"
    "  updater-publish versions --to ROOT --product P --max M [--url ADDRESS]...\n"
    "      Writes ROOT/update/VerAndUrl.xml: product version P, newest version M\n"
    "      and up to eight server base addresses.\n"
    "Serve ROOT over HTTP; the clients' UpdateTemp.ini names its address.\n";

int Fail(const std::string& message) {
  fprintf(stderr, "updater-publish: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")) {
    fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  std::string command = argv[1];
  std::wstring version, from, to, product, max;
  std::vector<std::wstring> urls;
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
    else return Fail("unknown option " + flag + "\n" + kUsage);
  }
  std::wstring error, table;
  if (command == "release") {
    if (version.empty() || from.empty() || to.empty()) {
      return Fail("release needs --version, --from and --to\n" + std::string(kUsage));
    }
    if (!PublishRelease(version, from, to, &error, &table)) return Fail(platform::ToAnsi(error));
    printf("%s", platform::ToAnsi(table).c_str());
    printf("published version %s into %s/update/%s\n", platform::ToAnsi(version).c_str(),
           platform::ToAnsi(to).c_str(), platform::ToAnsi(version).c_str());
    return 0;
  }
  if (command == "versions") {
    if (to.empty() || product.empty() || max.empty()) {
      return Fail("versions needs --to, --product and --max\n" + std::string(kUsage));
    }
    if (!PublishVersionList(to, product, max, urls, &error)) return Fail(platform::ToAnsi(error));
    printf("wrote %s/update/VerAndUrl.xml (newest version %s, %zu server%s)\n",
           platform::ToAnsi(to).c_str(), platform::ToAnsi(max).c_str(), urls.size(),
           urls.size() == 1 ? "" : "s");
    return 0;
  }
  return Fail("unknown command " + command + "\n" + kUsage);
}
