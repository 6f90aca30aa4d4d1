#include "signing_key.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "platform/file.h"
#include "platform/text.h"
#include "update/signature_file.h"

struct SigningKey::Key {
  EVP_PKEY* pkey = nullptr;
  ~Key() { EVP_PKEY_free(pkey); }
};

SigningKey::SigningKey() : key_(new Key) {}
SigningKey::~SigningKey() = default;

bool SigningKey::TakePublicPoint() {
  size_t size = 0;
  return EVP_PKEY_get_octet_string_param(key_->pkey, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point_,
                                         sizeof(point_), &size) == 1 &&
         size == sizeof(point_) && point_[0] == 0x04;
}

bool SigningKey::Generate(const std::wstring& path, std::wstring* error) {
  std::string name = platform::ToAnsi(path);
  int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = access(name.c_str(), F_OK) == 0 ? L"the key file exists already: " + path
                                             : L"cannot create the key file: " + path;
    return false;
  }
  FILE* out = fdopen(fd, "w");
  key_->pkey = EVP_EC_gen("P-256");
  bool ok = out && key_->pkey && TakePublicPoint() &&
            PEM_write_PrivateKey(out, key_->pkey, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  ok = (out ? fclose(out) == 0 : close(fd) == 0) && ok;
  if (!ok) {
    unlink(name.c_str());
    *error = L"cannot write the key file: " + path;
  }
  return ok;
}

bool SigningKey::Load(const std::wstring& path, std::wstring* error) {
  FILE* in = fopen(platform::ToAnsi(path).c_str(), "r");
  if (!in) {
    *error = L"cannot read the key file: " + path;
    return false;
  }
  key_->pkey = PEM_read_PrivateKey(in, nullptr, nullptr, nullptr);
  fclose(in);
  if (!key_->pkey || EVP_PKEY_get_base_id(key_->pkey) != EVP_PKEY_EC || !TakePublicPoint()) {
    *error = L"not a P-256 key made by keygen: " + path;
    return false;
  }
  return true;
}

std::string SigningKey::PublicKeyLine() const { return ::PublicKeyLine(point_); }

bool SigningKey::Sign(const std::wstring& document_path, const std::string& document_name,
                      const int64_t* expires, std::wstring* error) const {
  std::string lines = SignedLines(document_name, KeyId(point_), expires);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = ctx && EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key_->pkey) == 1;
  platform::File document;
  ok = ok && document.Open(document_path, platform::File::kRead);
  std::vector<char> buf(1 << 16);
  while (ok) {
    long n = document.Read(buf.data(), buf.size());
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    ok = EVP_DigestSignUpdate(ctx, buf.data(), static_cast<size_t>(n)) == 1;
  }
  ok = ok && EVP_DigestSignUpdate(ctx, lines.data(), lines.size()) == 1;
  std::vector<unsigned char> der(128);
  size_t der_size = der.size();
  ok = ok && EVP_DigestSignFinal(ctx, der.data(), &der_size) == 1;
  EVP_MD_CTX_free(ctx);

  // OpenSSL signs in DER; the signature file carries r || s.
  uint8_t raw[platform::kP256SignatureSize] = {};
  if (ok) {
    const unsigned char* p = der.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der_size));
    ok = sig && BN_bn2binpad(ECDSA_SIG_get0_r(sig), raw, 32) == 32 &&
         BN_bn2binpad(ECDSA_SIG_get0_s(sig), raw + 32, 32) == 32;
    ECDSA_SIG_free(sig);
  }
  std::string text = SignatureFileText(lines, raw);
  std::wstring sig_path = document_path + L".sig";
  platform::File out;
  ok = ok && out.Open(sig_path, platform::File::kCreateTruncate) &&
       out.Write(text.data(), text.size());
  ok = out.Close() && ok;
  if (!ok) *error = L"cannot sign " + document_path;
  return ok;
}
