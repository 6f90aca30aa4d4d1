#pragma once
// The publisher's private key: made once by "keygen", then used to sign
// every manifest and version list (OpenSSL; the publisher runs on Linux).
#include <cstdint>
#include <memory>
#include <string>

#include "platform/signature.h"

class SigningKey {
 public:
  SigningKey();
  ~SigningKey();
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;

  // Makes a new key and writes it to |path| readable by its owner only.
  // Never replaces an existing file.
  bool Generate(const std::wstring& path, std::wstring* error);
  bool Load(const std::wstring& path, std::wstring* error);

  // The line that goes into the clients' UpdateTrust.pub.
  std::string PublicKeyLine() const;
  // Writes DOCUMENT.sig for the file at |document_path|, naming it
  // |document_name| (its path below the server's base address); |expires|
  // (Unix seconds) may be null.
  bool Sign(const std::wstring& document_path, const std::string& document_name,
            const int64_t* expires, std::wstring* error) const;

 private:
  bool TakePublicPoint();

  struct Key;
  std::unique_ptr<Key> key_;
  uint8_t point_[platform::kP256PublicKeySize] = {};
};
