#pragma once
// Which publishers the updater believes. Trust is on unless UpdateTrust.pub
// beside the executable is missing altogether; then every server document
// must come with a valid signature by one of its keys (blank lines and lines
// starting with '#' are not keys) and every file must match its manifest's
// Sha256. A key file that cannot be read whole, or holds no valid key,
// keeps trust on with nothing to match: a damaged or unreadable key file
// refuses updates rather than silently accepting unsigned ones.
#include <cstdint>
#include <string>
#include <vector>

#include "update/signature_file.h"

// Why a document was or was not accepted.
enum class TrustVerdict {
  kTrusted,
  kMissing,         // no signature file was received
  kMalformed,       // the signature file is not in the format
  kUnknownKey,      // signed by a key that is not trusted
  kBadSignature,    // the signature does not match the document's bytes
  kWrongDocument,   // the signature belongs to another document
  kExpired,         // the version list's signature has run out
  kRollback,        // the version list is older than the installation
};

// The reason as the log line names it.
const wchar_t* TrustVerdictText(TrustVerdict verdict);

class CUpdateTrust {
 public:
  static constexpr wchar_t kKeyFileName[] = L"UpdateTrust.pub";

  // (Re)reads the key file; only a path with no directory entry turns
  // trust off. A UTF-8 byte-order mark at its start is skipped.
  void Load(const std::wstring& path);
  bool Enabled() const { return enabled_; }
  // Why the last Load found no key to trust, as a log line; empty when it
  // found one or trust is off.
  const std::wstring& load_error() const { return load_error_; }
  const std::vector<TrustedKey>& keys() const { return keys_; }

  // Checks the downloaded document at |document_path| against the
  // signature file at |signature_path| (empty: none was received).
  // |document_name| is the path below the server's base address;
  // |expiring| documents need an expiry later than |now| (Unix seconds).
  TrustVerdict Verify(const std::wstring& document_path, const std::wstring& signature_path,
                      const std::string& document_name, bool expiring, int64_t now) const;

 private:
  bool enabled_ = false;
  std::vector<TrustedKey> keys_;
  std::wstring load_error_;
};

// True when the version list's newest version is lower than the recorded
// one; versions compare number by number between the dots.
bool IsRollback(const std::wstring& recorded, const std::wstring& newest);
