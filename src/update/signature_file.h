#pragma once
// The text formats of release signing, shared by the publisher and the
// updater. No cryptography here: only lines in and out.
//
// A public key is one line: "ecdsa-p256 " and the uncompressed curve point
// in 130 hexadecimal digits, optionally followed by a blank and a comment.
//
// A document's signature lives beside it as DOCUMENT.sig:
//   updater-signature 1
//   document update/6/FileConfig.xml
//   key 0123456789abcdef
//   expires 1767225600
//   signature <128 hexadecimal digits: r then s>
// Lines end in LF. "document" names the document by its path below the
// server's base address, so a signature cannot be moved to another version
// or to the other kind of document. "key" is the first 16 digits of the
// SHA-256 of the signing key's point. "expires" (Unix seconds, UTC) is
// required on version lists and optional elsewhere. The signature covers
// the document's exact bytes followed by every line before "signature".
#include <cstdint>
#include <string>

#include "platform/signature.h"

struct TrustedKey {
  uint8_t point[platform::kP256PublicKeySize];
  std::string id;
};

// The key's id as the signature file names it.
std::string KeyId(const uint8_t point[platform::kP256PublicKeySize]);
std::string PublicKeyLine(const uint8_t point[platform::kP256PublicKeySize]);
// False when the line is not a public key line.
bool ParsePublicKeyLine(const std::string& line, TrustedKey* key);

struct SignatureFile {
  std::string document;
  std::string key_id;
  bool has_expiry = false;
  int64_t expires = 0;
  uint8_t signature[platform::kP256SignatureSize] = {};
  // The lines the signature covers after the document's bytes.
  std::string signed_lines;
};

// The covered lines for a new signature; |expires| may be null.
std::string SignedLines(const std::string& document, const std::string& key_id,
                        const int64_t* expires);
std::string SignatureFileText(const std::string& signed_lines,
                              const uint8_t signature[platform::kP256SignatureSize]);
// Strict: the lines in the order above, nothing else; false otherwise.
bool ParseSignatureFile(const std::string& text, SignatureFile* out);
