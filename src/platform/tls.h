#pragma once
// A TLS client session that never touches a socket: the owner feeds it the
// bytes the socket received and sends the bytes it hands out, so TLS runs on
// the loop events the socket already gets, on the loop thread, without
// blocking and without threads of its own.
//
// The session sends the host name (SNI) unless it is an IP address, speaks
// TLS 1.2 or later, and accepts the server only when its certificate chains
// to the system's trust store and names the host. There is no way to turn
// that check off. Linux: OpenSSL's default verify paths, which honour
// SSL_CERT_FILE and SSL_CERT_DIR. Windows: SChannel, with the chain checked
// by the system's SSL policy.
//
// Once failed, a session stays failed and hands out nothing more.
#include <cstddef>
#include <memory>
#include <string>

namespace platform {

// Why a session failed; the owner turns it into a line for the user.
enum class TlsFailure : int {
  kNone = 0,
  kSetup,         // the TLS library could not start a session
  kHandshake,     // no common protocol, an alert from the server, bad data
  kExpired,       // the certificate (or one above it) is out of its validity
  kWrongHost,     // the certificate does not name the host
  kUntrusted,     // the chain ends at a root the system does not trust
  kBadCertificate,// any other fault of the certificate or its chain
  kProtocol,      // corrupt or forged data after the handshake
};

class TlsSession {
 public:
  virtual ~TlsSession() = default;

  // Ciphertext the socket received. False when the session has failed (now
  // or before); the bytes are then dropped.
  virtual bool Received(const void* data, size_t size) = 0;

  // Plaintext for the server. Accepted before the handshake is over too; it
  // is encrypted as soon as it can be. False when the session has failed.
  virtual bool Write(const void* data, size_t size) = 0;

  // Copies up to |size| bytes of ciphertext to send into |data|; 0 when
  // nothing is waiting. Everything handed out must reach the socket in order.
  virtual size_t TakeOutgoing(void* data, size_t size) = 0;

  // Copies up to |size| bytes of decrypted data into |data|; 0 when none is
  // ready (more ciphertext is needed, or the server closed, or it failed).
  virtual size_t Read(void* data, size_t size) = 0;

  // The handshake is over and the server's certificate was accepted.
  virtual bool Established() const = 0;
  // The server ended the session cleanly (close_notify); nothing follows.
  virtual bool PeerClosed() const = 0;
  virtual TlsFailure failure() const = 0;
};

// Starts the client side of a handshake with |host| (a DNS name or a dotted
// IPv4 address). The first flight is ready in TakeOutgoing at once. Never
// null: a session that cannot be set up reports TlsFailure::kSetup.
std::unique_ptr<TlsSession> StartTlsSession(const std::string& host);

}  // namespace platform
