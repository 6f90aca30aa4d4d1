// The TLS session against nginx over TLS on 127.0.0.1, with certificates
// from a test CA that the client trusts through SSL_CERT_FILE. The test
// moves the bytes between a blocking socket and the session itself.
#include "platform/tls.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "support/servers.h"
#include "support/temp_dir.h"
#include "support/test_certs.h"

namespace {

using platform::TlsFailure;

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131) ^ (i >> 9));
  return data;
}

struct Exchange {
  bool established = false;
  bool peer_closed = false;
  TlsFailure failure = TlsFailure::kNone;
  std::string response;
  std::string body() const {
    size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
  }
};

struct Options {
  // Ciphertext goes into the session one byte at a time.
  bool byte_by_byte = false;
  // One bit of the first record after the handshake is flipped.
  bool corrupt_after_handshake = false;
};

bool SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

// Sends |request| to 127.0.0.1:|port| through a session for |host| and
// collects the response until the server closes.
Exchange Talk(int port, const std::string& host, const std::string& request, Options options = {}) {
  Exchange result;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    close(fd);
    return result;
  }
  std::unique_ptr<platform::TlsSession> session = platform::StartTlsSession(host);
  session->Write(request.data(), request.size());
  char buf[16384];
  bool corrupted = false;
  for (;;) {
    size_t out;
    while ((out = session->TakeOutgoing(buf, sizeof(buf))) > 0) {
      if (!SendAll(fd, buf, out)) break;
    }
    if (session->failure() != TlsFailure::kNone || session->PeerClosed()) break;
    pollfd p {fd, POLLIN, 0};
    // A safety net against a hanging peer, not a measurement.
    if (poll(&p, 1, 20000) <= 0) break;
    ssize_t got = recv(fd, buf, sizeof(buf), 0);
    if (got <= 0) break;
    if (options.corrupt_after_handshake && session->Established() && !corrupted) {
      buf[got / 2] ^= 0x10;
      corrupted = true;
    }
    bool accepted = true;
    if (options.byte_by_byte) {
      for (ssize_t i = 0; i < got && accepted; ++i) accepted = session->Received(buf + i, 1);
    } else {
      accepted = session->Received(buf, static_cast<size_t>(got));
    }
    size_t plain;
    while ((plain = session->Read(buf, sizeof(buf))) > 0) result.response.append(buf, plain);
    if (!accepted) break;
  }
  close(fd);
  result.established = session->Established();
  result.peer_closed = session->PeerClosed();
  result.failure = session->failure();
  return result;
}

std::string Get(const std::string& path, const std::string& host = "localhost") {
  return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
}

class TlsSessionTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    certs_ = new TestCertificates;
    root_ = new TempDir;
    mkdir(root_->File("update").c_str(), 0755);
    WriteFileBytes(root_->File("update/small.txt"), "hello over tls");
    WriteFileBytes(root_->File("update/big.bin"), Pattern(3 * 1048576 + 17));
    if (!certs_->ok()) return;
    setenv("SSL_CERT_FILE", certs_->ca().c_str(), 1);
    unsetenv("SSL_CERT_DIR");
    const std::string sni = "location = /sni { return 200 \"[$ssl_server_name] $ssl_protocol\"; }";
    servers_ = new std::map<std::string, NginxServer*>;
    for (const char* name : {"good", "expired", "wronghost", "untrusted"}) {
      (*servers_)[name] = new NginxServer(root_->path(), sni, certs_->Server(name));
    }
    (*servers_)["tls11"] = new NginxServer(root_->path(), "ssl_protocols TLSv1.1; ssl_ciphers DEFAULT:@SECLEVEL=0;",
                                           certs_->Server("good"));
    (*servers_)["plain"] = new NginxServer(root_->path());
  }
  static void TearDownTestSuite() {
    if (servers_) {
      for (auto& s : *servers_) delete s.second;
    }
    delete servers_;
    delete root_;
    delete certs_;
    servers_ = nullptr;
    unsetenv("SSL_CERT_FILE");
  }
  void SetUp() override {
    if (!certs_->ok()) GTEST_SKIP() << "the test certificates could not be made (openssl)";
    for (auto& s : *servers_) {
      if (!s.second->ok()) GTEST_SKIP() << "nginx is not installed";
    }
  }
  static int Port(const std::string& name) { return servers_->at(name)->port(); }

  static TestCertificates* certs_;
  static TempDir* root_;
  static std::map<std::string, NginxServer*>* servers_;
};

TestCertificates* TlsSessionTest::certs_ = nullptr;
TempDir* TlsSessionTest::root_ = nullptr;
std::map<std::string, NginxServer*>* TlsSessionTest::servers_ = nullptr;

TEST_F(TlsSessionTest, TrustedCertificateCarriesRequestAndResponse) {
  Exchange e = Talk(Port("good"), "localhost", Get("/update/small.txt"));
  EXPECT_TRUE(e.established);
  EXPECT_EQ(TlsFailure::kNone, e.failure);
  EXPECT_EQ(0u, e.response.find("HTTP/1.1 200 OK\r\n")) << e.response;
  EXPECT_EQ("hello over tls", e.body());
  // nginx ends a "Connection: close" response with close_notify.
  EXPECT_TRUE(e.peer_closed);
}

TEST_F(TlsSessionTest, SendsTheHostNameAndSpeaksTls12OrLater) {
  Exchange e = Talk(Port("good"), "localhost", Get("/sni"));
  ASSERT_TRUE(e.established);
  EXPECT_TRUE(e.body() == "[localhost] TLSv1.3" || e.body() == "[localhost] TLSv1.2") << e.body();
}

TEST_F(TlsSessionTest, AddressIsCheckedAgainstTheCertificateAndNotSentAsName) {
  Exchange e = Talk(Port("good"), "127.0.0.1", Get("/sni", "127.0.0.1"));
  ASSERT_TRUE(e.established) << static_cast<int>(e.failure);
  EXPECT_EQ(0u, e.body().find("[] TLSv1."));
}

TEST_F(TlsSessionTest, BodyLargerThanManyRecordsArrivesWhole) {
  Exchange e = Talk(Port("good"), "localhost", Get("/update/big.bin"));
  ASSERT_TRUE(e.established);
  EXPECT_TRUE(e.body() == Pattern(3 * 1048576 + 17)) << "body of " << e.body().size() << " bytes";
}

TEST_F(TlsSessionTest, CiphertextInPiecesOfOneByteIsEnough) {
  Options options;
  options.byte_by_byte = true;
  Exchange e = Talk(Port("good"), "localhost", Get("/update/small.txt"), options);
  EXPECT_TRUE(e.established);
  EXPECT_EQ("hello over tls", e.body());
}

TEST_F(TlsSessionTest, BadCertificatesFailTheHandshakeWithTheirReason) {
  const std::map<std::string, TlsFailure> cases = {
      {"expired", TlsFailure::kExpired},
      {"wronghost", TlsFailure::kWrongHost},
      {"untrusted", TlsFailure::kUntrusted},
  };
  for (const auto& c : cases) {
    Exchange e = Talk(Port(c.first), "localhost", Get("/update/small.txt"));
    EXPECT_FALSE(e.established) << c.first;
    EXPECT_EQ(c.second, e.failure) << c.first;
    EXPECT_EQ("", e.response) << c.first;
  }
  // An address the certificate does not name is a wrong host as well.
  Exchange by_address = Talk(Port("wronghost"), "127.0.0.1", Get("/update/small.txt"));
  EXPECT_EQ(TlsFailure::kWrongHost, by_address.failure);
}

TEST_F(TlsSessionTest, HostNameIsTheOneAskedFor) {
  Exchange e = Talk(Port("wronghost"), "other.invalid", Get("/update/small.txt", "other.invalid"));
  EXPECT_TRUE(e.established);
  EXPECT_EQ("hello over tls", e.body());
}

TEST_F(TlsSessionTest, CertificateFromTheSystemStoreIsNotTrustedForTheTestCa) {
  unsetenv("SSL_CERT_FILE");
  Exchange e = Talk(Port("good"), "localhost", Get("/update/small.txt"));
  setenv("SSL_CERT_FILE", certs_->ca().c_str(), 1);
  EXPECT_EQ(TlsFailure::kUntrusted, e.failure);
  EXPECT_TRUE(Talk(Port("good"), "localhost", Get("/update/small.txt")).established);
}

TEST_F(TlsSessionTest, ServerBelowTls12IsRefused) {
  Exchange e = Talk(Port("tls11"), "localhost", Get("/update/small.txt"));
  EXPECT_FALSE(e.established);
  EXPECT_EQ(TlsFailure::kHandshake, e.failure);
}

TEST_F(TlsSessionTest, PlainHttpServerFailsTheHandshake) {
  Exchange e = Talk(Port("plain"), "localhost", Get("/update/small.txt"));
  EXPECT_FALSE(e.established);
  EXPECT_EQ(TlsFailure::kHandshake, e.failure);
  EXPECT_EQ("", e.response);
}

TEST_F(TlsSessionTest, AlteredRecordFailsAndNothingMoreIsDelivered) {
  Options options;
  options.corrupt_after_handshake = true;
  Exchange e = Talk(Port("good"), "localhost", Get("/update/big.bin"), options);
  EXPECT_TRUE(e.established);
  EXPECT_EQ(TlsFailure::kProtocol, e.failure);
  EXPECT_LT(e.body().size(), 3u * 1048576);
}

TEST(TlsSessionSetup, EmptyHostCannotBeChecked) {
  std::unique_ptr<platform::TlsSession> session = platform::StartTlsSession("");
  char buf[64];
  EXPECT_EQ(TlsFailure::kSetup, session->failure());
  EXPECT_EQ(0u, session->TakeOutgoing(buf, sizeof(buf)));
  EXPECT_FALSE(session->Write("x", 1));
  EXPECT_FALSE(session->Received("x", 1));
}

}  // namespace
