#include "update/signature_file.h"

#include <cstring>
#include <vector>

#include "digest/hex.h"

namespace {

const char kKeyPrefix[] = "ecdsa-p256 ";
const char kMagicLine[] = "updater-signature 1\n";
const size_t kKeyIdDigits = 16;
// Cap on what the parser looks at; a real signature file is under 300 bytes.
const size_t kMaxSignatureFile = 4096;

// Takes the line starting at |*pos| if it begins with |prefix|; its value
// (without the prefix and the LF) goes to |value|.
bool TakeLine(const std::string& text, size_t* pos, const char* prefix, std::string* value) {
  size_t n = strlen(prefix);
  if (text.compare(*pos, n, prefix) != 0) return false;
  size_t end = text.find('\n', *pos);
  if (end == std::string::npos) return false;
  *value = text.substr(*pos + n, end - *pos - n);
  *pos = end + 1;
  return true;
}

bool ParseSeconds(const std::string& text, int64_t* out) {
  if (text.empty() || text.size() > 18) return false;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  *out = value;
  return true;
}

}  // namespace

std::string KeyId(const uint8_t point[platform::kP256PublicKeySize]) {
  platform::Sha256 sha;
  sha.Update(point, platform::kP256PublicKeySize);
  uint8_t digest[platform::kSha256Size] = {};
  if (!sha.Final(digest)) return std::string();
  return ToHex(digest, kKeyIdDigits / 2);
}

std::string PublicKeyLine(const uint8_t point[platform::kP256PublicKeySize]) {
  return kKeyPrefix + ToHex(point, platform::kP256PublicKeySize);
}

bool ParsePublicKeyLine(const std::string& line, TrustedKey* key) {
  size_t n = strlen(kKeyPrefix);
  if (line.compare(0, n, kKeyPrefix) != 0) return false;
  size_t digits = 2 * platform::kP256PublicKeySize;
  if (line.size() < n + digits) return false;
  if (line.size() > n + digits && line[n + digits] != ' ' && line[n + digits] != '\t') return false;
  std::vector<uint8_t> point;
  if (!FromHex(line.substr(n, digits), &point) || point[0] != 0x04) return false;
  memcpy(key->point, point.data(), point.size());
  key->id = KeyId(key->point);
  return !key->id.empty();
}

std::string SignedLines(const std::string& document, const std::string& key_id,
                        const int64_t* expires) {
  std::string out = kMagicLine;
  out += "document " + document + "\n";
  out += "key " + key_id + "\n";
  if (expires) out += "expires " + std::to_string(*expires) + "\n";
  return out;
}

std::string SignatureFileText(const std::string& signed_lines,
                              const uint8_t signature[platform::kP256SignatureSize]) {
  return signed_lines + "signature " + ToHex(signature, platform::kP256SignatureSize) + "\n";
}

bool ParseSignatureFile(const std::string& text, SignatureFile* out) {
  if (text.size() > kMaxSignatureFile) return false;
  if (text.compare(0, strlen(kMagicLine), kMagicLine) != 0) return false;
  size_t pos = strlen(kMagicLine);
  std::string value;
  if (!TakeLine(text, &pos, "document ", &out->document) || out->document.empty()) return false;
  if (!TakeLine(text, &pos, "key ", &out->key_id) || out->key_id.size() != kKeyIdDigits) {
    return false;
  }
  out->has_expiry = TakeLine(text, &pos, "expires ", &value);
  if (out->has_expiry && !ParseSeconds(value, &out->expires)) return false;
  out->signed_lines = text.substr(0, pos);
  std::vector<uint8_t> signature;
  if (!TakeLine(text, &pos, "signature ", &value) || pos != text.size() ||
      value.size() != 2 * platform::kP256SignatureSize || !FromHex(value, &signature)) {
    return false;
  }
  memcpy(out->signature, signature.data(), signature.size());
  return true;
}
