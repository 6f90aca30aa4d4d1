#include "platform/tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>

namespace platform {
namespace {

std::string EnvText(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

// The last session each host gave, so that the next connection to it
// resumes instead of running a full handshake. A session is only offered
// to the host whose certificate was checked for it.
std::map<std::string, SSL_SESSION*>& Sessions() {
  static auto* sessions = new std::map<std::string, SSL_SESSION*>;  // lives as long as the process
  return *sessions;
}

void ForgetSession(const std::string& host) {
  auto it = Sessions().find(host);
  if (it == Sessions().end()) return;
  SSL_SESSION_free(it->second);
  Sessions().erase(it);
}

// Sessions (TLS 1.3 tickets too) arrive here once the server issues them;
// the session's host rides on the connection as its app data.
int KeepSession(SSL* ssl, SSL_SESSION* session) {
  const auto* host = static_cast<const std::string*>(SSL_get_app_data(ssl));
  if (!host) return 0;
  ForgetSession(*host);
  Sessions()[*host] = session;
  return 1;  // the reference is ours now
}

// One context for the process: loading the trust store costs milliseconds
// and a transfer opens several connections. It is made again when
// SSL_CERT_FILE or SSL_CERT_DIR changed, since they name the trust store.
SSL_CTX* SharedContext() {
  static SSL_CTX* context = nullptr;
  static std::string file, dir;
  std::string now_file = EnvText(X509_get_default_cert_file_env());
  std::string now_dir = EnvText(X509_get_default_cert_dir_env());
  if (context && now_file == file && now_dir == dir) return context;
  SSL_CTX* fresh = SSL_CTX_new(TLS_client_method());
  if (!fresh) return nullptr;
  if (SSL_CTX_set_min_proto_version(fresh, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_default_verify_paths(fresh) != 1) {
    SSL_CTX_free(fresh);
    return nullptr;
  }
  SSL_CTX_set_verify(fresh, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_session_cache_mode(fresh, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(fresh, KeepSession);
  // Sessions checked against another trust store are not taken on trust.
  while (!Sessions().empty()) ForgetSession(Sessions().begin()->first);
  if (context) SSL_CTX_free(context);
  context = fresh;
  file = now_file;
  dir = now_dir;
  return context;
}

TlsFailure FromVerifyResult(long result) {
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return TlsFailure::kExpired;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return TlsFailure::kWrongHost;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
      return TlsFailure::kUntrusted;
    default:
      return TlsFailure::kBadCertificate;
  }
}

class OpenSslSession final : public TlsSession {
 public:
  explicit OpenSslSession(const std::string& host) : host_(host) {
    SSL_CTX* context = SharedContext();
    ssl_ = context ? SSL_new(context) : nullptr;
    if (!ssl_) {
      failure_ = TlsFailure::kSetup;
      return;
    }
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    if (!in || !out) {
      BIO_free(in);
      BIO_free(out);
      failure_ = TlsFailure::kSetup;
      return;
    }
    // A drained memory BIO reports "retry", not end of file.
    BIO_set_mem_eof_return(in, -1);
    SSL_set_bio(ssl_, in, out);
    in_ = in;
    out_ = out;
    SSL_set_connect_state(ssl_);
    in_addr ip;
    bool is_ip = inet_pton(AF_INET, host.c_str(), &ip) == 1;
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
    // Addresses are matched against the certificate's IP entries and are
    // never sent as a server name.
    bool named = is_ip ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1
                       : SSL_set_tlsext_host_name(ssl_, host.c_str()) == 1 &&
                             SSL_set1_host(ssl_, host.c_str()) == 1;
    if (host.empty() || !named) {
      failure_ = TlsFailure::kSetup;
      return;
    }
    SSL_set_app_data(ssl_, &host_);
    auto kept = Sessions().find(host_);
    if (kept != Sessions().end() && SSL_SESSION_is_resumable(kept->second)) {
      SSL_set_session(ssl_, kept->second);
    }
    Handshake();
  }

  ~OpenSslSession() override {
    if (ssl_) SSL_free(ssl_);
  }

  bool Received(const void* data, size_t size) override {
    if (failure_ != TlsFailure::kNone) return false;
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
      int piece = static_cast<int>(std::min<size_t>(size, INT_MAX));
      if (BIO_write(in_, bytes, piece) != piece) {
        failure_ = TlsFailure::kSetup;
        return false;
      }
      bytes += piece;
      size -= static_cast<size_t>(piece);
    }
    if (!established_) Handshake();
    return failure_ == TlsFailure::kNone;
  }

  bool Write(const void* data, size_t size) override {
    if (failure_ != TlsFailure::kNone) return false;
    if (!established_) {
      early_.append(static_cast<const char*>(data), size);
      return true;
    }
    return Encrypt(static_cast<const char*>(data), size);
  }

  size_t TakeOutgoing(void* data, size_t size) override {
    if (failure_ != TlsFailure::kNone || size == 0) return 0;
    int got = BIO_read(out_, data, static_cast<int>(std::min<size_t>(size, INT_MAX)));
    return got > 0 ? static_cast<size_t>(got) : 0;
  }

  size_t Read(void* data, size_t size) override {
    if (failure_ != TlsFailure::kNone || !established_ || peer_closed_ || size == 0) return 0;
    ERR_clear_error();
    int got = SSL_read(ssl_, data, static_cast<int>(std::min<size_t>(size, INT_MAX)));
    if (got > 0) return static_cast<size_t>(got);
    switch (SSL_get_error(ssl_, got)) {
      case SSL_ERROR_WANT_READ:
      case SSL_ERROR_WANT_WRITE:
        break;
      case SSL_ERROR_ZERO_RETURN:
        peer_closed_ = true;
        break;
      default:
        failure_ = TlsFailure::kProtocol;
        break;
    }
    return 0;
  }

  bool Established() const override { return established_; }
  bool PeerClosed() const override { return peer_closed_; }
  TlsFailure failure() const override { return failure_; }

 private:
  void Handshake() {
    ERR_clear_error();
    int result = SSL_do_handshake(ssl_);
    if (result == 1) {
      established_ = true;
      std::string early;
      early.swap(early_);
      if (!early.empty()) Encrypt(early.data(), early.size());
      return;
    }
    int error = SSL_get_error(ssl_, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return;
    ForgetSession(host_);
    long verify = SSL_get_verify_result(ssl_);
    failure_ = verify == X509_V_OK ? TlsFailure::kHandshake : FromVerifyResult(verify);
  }

  // Writes into the memory BIO cannot stall, so every byte is taken at once.
  bool Encrypt(const char* data, size_t size) {
    while (size > 0) {
      ERR_clear_error();
      int piece = static_cast<int>(std::min<size_t>(size, INT_MAX));
      int wrote = SSL_write(ssl_, data, piece);
      if (wrote <= 0) {
        failure_ = TlsFailure::kProtocol;
        return false;
      }
      data += wrote;
      size -= static_cast<size_t>(wrote);
    }
    return true;
  }

  const std::string host_;
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;   // owned by ssl_
  BIO* out_ = nullptr;  // owned by ssl_
  std::string early_;
  bool established_ = false;
  bool peer_closed_ = false;
  TlsFailure failure_ = TlsFailure::kNone;
};

}  // namespace

std::unique_ptr<TlsSession> StartTlsSession(const std::string& host) {
  return std::unique_ptr<TlsSession>(new OpenSslSession(host));
}

}  // namespace platform
