#pragma once
// The certificates of the TLS tests, made at test time by
// tests/support/make_test_certs.sh in a scratch directory of the build.
#include <string>

#include "support/servers.h"

class TestCertificates {
 public:
  TestCertificates();
  bool ok() const { return ok_; }
  // The test CA, to be trusted through SSL_CERT_FILE.
  std::string ca() const { return dir_ + "/ca.pem"; }
  // "good", "expired", "wronghost" or "untrusted".
  TlsFiles Server(const std::string& name) const {
    return TlsFiles {dir_ + "/" + name + ".pem", dir_ + "/" + name + ".key"};
  }

 private:
  std::string dir_;
  bool ok_ = false;
};
