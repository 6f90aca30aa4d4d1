#include "platform/signature.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

namespace platform {

struct Sha256::State {
  EVP_MD_CTX* ctx = nullptr;
  bool failed = false;
  ~State() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() : state_(new State) {
  state_->ctx = EVP_MD_CTX_new();
  state_->failed = !state_->ctx || EVP_DigestInit_ex(state_->ctx, EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, size_t size) {
  if (state_->failed || size == 0) return;
  if (EVP_DigestUpdate(state_->ctx, data, size) != 1) state_->failed = true;
}

bool Sha256::Final(uint8_t digest[kSha256Size]) {
  if (state_->failed) return false;
  unsigned int size = 0;
  state_->failed = true;
  return EVP_DigestFinal_ex(state_->ctx, digest, &size) == 1 && size == kSha256Size;
}

bool Sha256::Reset() {
  // Keeps the digest the context already fetched.
  state_->failed = !state_->ctx || EVP_DigestInit_ex2(state_->ctx, nullptr, nullptr) != 1;
  return !state_->failed;
}

namespace {

// The key as OpenSSL wants it; null when the point is not on the curve.
EVP_PKEY* ImportPublicKey(const uint8_t public_key[kP256PublicKeySize]) {
  OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
  if (!build) return nullptr;
  EVP_PKEY* key = nullptr;
  OSSL_PARAM* params = nullptr;
  EVP_PKEY_CTX* ctx = nullptr;
  if (OSSL_PARAM_BLD_push_utf8_string(build, OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) == 1 &&
      OSSL_PARAM_BLD_push_octet_string(build, OSSL_PKEY_PARAM_PUB_KEY, public_key,
                                       kP256PublicKeySize) == 1 &&
      (params = OSSL_PARAM_BLD_to_param(build)) != nullptr &&
      (ctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr)) != nullptr &&
      EVP_PKEY_fromdata_init(ctx) == 1) {
    if (EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) != 1) key = nullptr;
  }
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(build);
  return key;
}

// OpenSSL checks DER signatures; ours travel as r || s.
bool ToDer(const uint8_t signature[kP256SignatureSize], unsigned char** der, int* size) {
  ECDSA_SIG* sig = ECDSA_SIG_new();
  BIGNUM* r = BN_bin2bn(signature, 32, nullptr);
  BIGNUM* s = BN_bin2bn(signature + 32, 32, nullptr);
  if (!sig || !r || !s || ECDSA_SIG_set0(sig, r, s) != 1) {
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(sig);
    return false;
  }
  *der = nullptr;
  *size = i2d_ECDSA_SIG(sig, der);
  ECDSA_SIG_free(sig);
  return *size > 0;
}

}  // namespace

bool VerifyP256(const uint8_t public_key[kP256PublicKeySize], const uint8_t digest[kSha256Size],
                const uint8_t signature[kP256SignatureSize]) {
  if (public_key[0] != 0x04) return false;
  EVP_PKEY* key = ImportPublicKey(public_key);
  if (!key) return false;
  unsigned char* der = nullptr;
  int der_size = 0;
  bool valid = false;
  if (ToDer(signature, &der, &der_size)) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    valid = ctx && EVP_PKEY_verify_init(ctx) == 1 &&
            EVP_PKEY_verify(ctx, der, static_cast<size_t>(der_size), digest, kSha256Size) == 1;
    EVP_PKEY_CTX_free(ctx);
    OPENSSL_free(der);
  }
  EVP_PKEY_free(key);
  return valid;
}

}  // namespace platform
