#include "platform/signature.h"

#include <cstring>
#include <vector>

#include "platform/win32/windows_min.h"
#include <bcrypt.h>

namespace platform {

struct Sha256::State {
  BCRYPT_ALG_HANDLE alg = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool failed = false;
  ~State() {
    if (hash) BCryptDestroyHash(hash);
    if (alg) BCryptCloseAlgorithmProvider(alg, 0);
  }
};

Sha256::Sha256() : state_(new State) {
  state_->failed =
      !BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&state_->alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
      !BCRYPT_SUCCESS(BCryptCreateHash(state_->alg, &state_->hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, size_t size) {
  // CNG takes 32-bit lengths.
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (!state_->failed && size > 0) {
    ULONG part = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
    if (!BCRYPT_SUCCESS(BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes), part, 0))) {
      state_->failed = true;
    }
    bytes += part;
    size -= part;
  }
}

bool Sha256::Final(uint8_t digest[kSha256Size]) {
  if (state_->failed) return false;
  state_->failed = true;
  return BCRYPT_SUCCESS(BCryptFinishHash(state_->hash, digest, kSha256Size, 0));
}

bool Sha256::Reset() {
  // The provider stays open: opening it is what costs.
  if (state_->hash) BCryptDestroyHash(state_->hash);
  state_->hash = nullptr;
  state_->failed = !state_->alg ||
                   !BCRYPT_SUCCESS(BCryptCreateHash(state_->alg, &state_->hash, nullptr, 0, nullptr, 0, 0));
  return !state_->failed;
}

bool VerifyP256(const uint8_t public_key[kP256PublicKeySize], const uint8_t digest[kSha256Size],
                const uint8_t signature[kP256SignatureSize]) {
  if (public_key[0] != 0x04) return false;
  // A public key blob: the header, then X and Y.
  std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 64);
  BCRYPT_ECCKEY_BLOB header;
  header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header.cbKey = 32;
  memcpy(blob.data(), &header, sizeof(header));
  memcpy(blob.data() + sizeof(header), public_key + 1, 64);

  BCRYPT_ALG_HANDLE alg = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&alg, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) {
    return false;
  }
  bool valid = false;
  BCRYPT_KEY_HANDLE key = nullptr;
  if (BCRYPT_SUCCESS(BCryptImportKeyPair(alg, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob.data(),
                                         static_cast<ULONG>(blob.size()), 0))) {
    valid = BCryptVerifySignature(key, nullptr, const_cast<PUCHAR>(digest), kSha256Size,
                                  const_cast<PUCHAR>(signature), kP256SignatureSize, 0) == 0;
    BCryptDestroyKey(key);
  }
  BCryptCloseAlgorithmProvider(alg, 0);
  return valid;
}

}  // namespace platform
