// Runs the updater's signature check on the Windows back end:
//   trust_probe KEYFILE DOCUMENT NAME [expiring]  prints the verdict; 0 when trusted
//   trust_probe --sha256 FILE                     prints the file's SHA-256
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "digest/sha256_file.h"
#include "platform/text.h"
#include "update/trust.h"

int main(int argc, char** argv) {
  if (argc == 3 && !strcmp(argv[1], "--sha256")) {
    std::wstring hex;
    if (!Sha256OfFile(platform::FromAnsi(argv[2]), &hex)) return 2;
    printf("%s\n", platform::ToAnsi(hex).c_str());
    return 0;
  }
  if (argc != 4 && argc != 5) {
    fprintf(stderr, "usage: trust_probe KEYFILE DOCUMENT NAME [expiring]\n");
    return 2;
  }
  CUpdateTrust trust;
  trust.Load(platform::FromAnsi(argv[1]));
  if (!trust.Enabled()) {
    printf("no keys\n");
    return 2;
  }
  std::wstring document = platform::FromAnsi(argv[2]);
  TrustVerdict verdict = trust.Verify(document, document + L".sig", argv[3], argc == 5,
                                      static_cast<int64_t>(time(nullptr)));
  static const char* const kNames[] = {"trusted", "missing", "malformed", "unknown-key",
                                       "bad-signature", "wrong-document", "expired", "rollback"};
  printf("%s\n", kNames[static_cast<int>(verdict)]);
  return verdict == TrustVerdict::kTrusted ? 0 : 1;
}
