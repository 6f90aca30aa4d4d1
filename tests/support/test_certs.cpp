#include "support/test_certs.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <vector>

#include "support/temp_dir.h"

TestCertificates::TestCertificates() {
  std::string base = std::string(UPDATER_BINARY_DIR) + "/test-scratch";
  mkdir(base.c_str(), 0755);
  std::string pattern = base + "/certs-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return;
  dir_ = buf.data();
  std::string command = "bash '" + std::string(UPDATER_SOURCE_DIR) + "/tests/support/make_test_certs.sh' '" +
                        dir_ + "'";
  int status = system(command.c_str());
  ok_ = WIFEXITED(status) && WEXITSTATUS(status) == 0 && PathExists(Server("expired").certificate);
}
