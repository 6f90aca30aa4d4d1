#include "update/trust.h"

#include <vector>

#include "digest/sha256_file.h"
#include "platform/file.h"
#include "platform/files.h"
#include "platform/signature.h"
#include "platform/text.h"
#include "update/status_texts.h"

namespace {

// Signature files are small; anything larger is not ours. A key file may
// carry long comments, and one larger than its cap is refused, not cut.
const size_t kMaxSignatureFile = 64 * 1024;
const size_t kMaxKeyFile = 1024 * 1024;

const char kByteOrderMark[] = "\xEF\xBB\xBF";

// False when the file cannot be read or holds more than |cap| bytes.
bool ReadSmallFile(const std::wstring& path, size_t cap, std::string* out) {
  platform::File file;
  if (!file.Open(path, platform::File::kRead)) return false;
  out->clear();
  char buf[4096];
  for (;;) {
    long n = file.Read(buf, sizeof(buf));
    if (n < 0) return false;
    if (n == 0) return true;
    out->append(buf, static_cast<size_t>(n));
    if (out->size() > cap) return false;
  }
}

// SHA-256 of the document's bytes followed by |tail|.
bool DigestDocument(const std::wstring& path, const std::string& tail,
                    uint8_t digest[platform::kSha256Size]) {
  platform::Sha256 sha;
  if (!FeedFile(path, &sha)) return false;
  sha.Update(tail.data(), tail.size());
  return sha.Final(digest);
}

std::vector<long long> VersionNumbers(const std::wstring& text) {
  std::vector<long long> out(1, 0);
  for (wchar_t c : text) {
    if (c == L'.') {
      out.push_back(0);
    } else if (c >= L'0' && c <= L'9') {
      if (out.back() < 100000000000LL) out.back() = out.back() * 10 + (c - L'0');
    } else {
      break;
    }
  }
  while (out.size() > 1 && out.back() == 0) out.pop_back();
  return out;
}

}  // namespace

constexpr wchar_t CUpdateTrust::kKeyFileName[];

const wchar_t* TrustVerdictText(TrustVerdict verdict) {
  switch (verdict) {
    case TrustVerdict::kTrusted: return L"签名有效";
    case TrustVerdict::kMissing: return L"缺少签名";
    case TrustVerdict::kMalformed: return L"签名格式错误";
    case TrustVerdict::kUnknownKey: return L"签名密钥不受信任";
    case TrustVerdict::kBadSignature: return L"签名与内容不符";
    case TrustVerdict::kWrongDocument: return L"签名不属于该文件";
    case TrustVerdict::kExpired: return L"签名已过期";
    case TrustVerdict::kRollback: return L"版本低于已安装的版本";
  }
  return L"";
}

void CUpdateTrust::Load(const std::wstring& path) {
  keys_.clear();
  load_error_.clear();
  enabled_ = !platform::IsMissing(path);
  if (!enabled_) return;
  std::string text;
  if (!ReadSmallFile(path, kMaxKeyFile, &text)) {
    load_error_ = platform::Format(texts::kTrustKeyUnreadable, path.c_str());
    return;
  }
  size_t pos = text.compare(0, 3, kByteOrderMark) == 0 ? 3 : 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    TrustedKey key;
    if (ParsePublicKeyLine(line.substr(first), &key)) keys_.push_back(key);
  }
  if (keys_.empty()) load_error_ = platform::Format(texts::kTrustKeyNone, path.c_str());
}

TrustVerdict CUpdateTrust::Verify(const std::wstring& document_path,
                                  const std::wstring& signature_path,
                                  const std::string& document_name, bool expiring,
                                  int64_t now) const {
  std::string text;
  if (signature_path.empty() || !ReadSmallFile(signature_path, kMaxSignatureFile, &text) || text.empty()) {
    return TrustVerdict::kMissing;
  }
  SignatureFile sig;
  if (!ParseSignatureFile(text, &sig)) return TrustVerdict::kMalformed;
  bool known = false, valid = false;
  uint8_t digest[platform::kSha256Size];
  bool digested = false;
  for (const TrustedKey& key : keys_) {
    if (key.id != sig.key_id) continue;
    known = true;
    if (!digested && !DigestDocument(document_path, sig.signed_lines, digest)) break;
    digested = true;
    if (platform::VerifyP256(key.point, digest, sig.signature)) valid = true;
  }
  if (!known) return TrustVerdict::kUnknownKey;
  if (!valid) return TrustVerdict::kBadSignature;
  // Only signed lines are believed, so these checks come after the signature.
  if (sig.document != document_name) return TrustVerdict::kWrongDocument;
  if (expiring && !sig.has_expiry) return TrustVerdict::kMalformed;
  if (sig.has_expiry && now >= sig.expires) return TrustVerdict::kExpired;
  return TrustVerdict::kTrusted;
}

bool IsRollback(const std::wstring& recorded, const std::wstring& newest) {
  return VersionNumbers(newest) < VersionNumbers(recorded);
}
