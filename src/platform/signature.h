#pragma once
// SHA-256 and ECDSA P-256 signature checks from the system's cryptography
// (never our own): OpenSSL's libcrypto on Linux, CNG on Windows.
#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform {

constexpr size_t kSha256Size = 32;
// An uncompressed curve point: 0x04, X, Y (32 bytes each, big-endian).
constexpr size_t kP256PublicKeySize = 65;
// r then s, 32 bytes each, big-endian.
constexpr size_t kP256SignatureSize = 64;

// A streaming SHA-256. A context that failed (the system refused to set one
// up) stays failed and Final reports it.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, size_t size);
  // Writes the digest; false when the context failed. The context cannot be
  // updated afterwards.
  bool Final(uint8_t digest[kSha256Size]);
  // Starts a new digest in the same context, far cheaper than a new one for
  // the many short digests of chunking; false when that failed.
  bool Reset();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// True only when |signature| is a valid ECDSA P-256 signature of the SHA-256
// |digest| under |public_key|. A key that is not a point of the curve, or a
// signature out of range, is simply not valid.
bool VerifyP256(const uint8_t public_key[kP256PublicKeySize], const uint8_t digest[kSha256Size],
                const uint8_t signature[kP256SignatureSize]);

}  // namespace platform
