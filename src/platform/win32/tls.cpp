#include "platform/tls.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/win32/windows_min.h"

#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

namespace platform {
namespace {

constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION;

// SECURITY_FLAG_IGNORE_UNKNOWN_CA of the SSL policy's checks (wininet.h).
constexpr DWORD kIgnoreUnknownCa = 0x00000100;

TlsFailure FromPolicyError(DWORD error) {
  switch (error) {
    case static_cast<DWORD>(CERT_E_EXPIRED):
    case static_cast<DWORD>(CERT_E_VALIDITYPERIODNESTING):
      return TlsFailure::kExpired;
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
      return TlsFailure::kWrongHost;
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
    case static_cast<DWORD>(CERT_E_UNTRUSTEDTESTROOT):
    case static_cast<DWORD>(CERT_E_CHAINING):
    case static_cast<DWORD>(TRUST_E_CERT_SIGNATURE):
      return TlsFailure::kUntrusted;
    default:
      return TlsFailure::kBadCertificate;
  }
}

// The chain's own findings, for a policy that passes what it should not
// (Wine's passes a chain that ends below any root). Revocation is not
// checked, so not knowing it is no fault.
TlsFailure FromChainStatus(DWORD status) {
  status &= ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION |
                                CERT_TRUST_IS_NOT_TIME_NESTED);
  if (status == CERT_TRUST_NO_ERROR) return TlsFailure::kNone;
  if (status & CERT_TRUST_IS_NOT_TIME_VALID) return TlsFailure::kExpired;
  if (status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) return TlsFailure::kUntrusted;
  return TlsFailure::kBadCertificate;
}

// Holds what SChannel allocated for an output token until it is copied.
struct ContextBuffer {
  void* data = nullptr;
  ~ContextBuffer() {
    if (data) FreeContextBuffer(data);
  }
};

// One credentials handle for the process: SChannel keeps its session cache
// with it, so a new connection to a server it spoke to resumes the session
// (looked up by the target name) instead of a full handshake. Null when
// SChannel refused; asked again next time.
CredHandle* SharedCredentials() {
  static CredHandle* shared = nullptr;  // lives as long as the process
  if (shared) return shared;
  SCHANNEL_CRED credentials = {};
  credentials.dwVersion = SCHANNEL_CRED_VERSION;
  credentials.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  // The chain and the name are checked by us once the handshake is over,
  // with the system's SSL policy; no client certificate is ever offered.
  credentials.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  std::unique_ptr<CredHandle> handle(new CredHandle());
  TimeStamp expiry;
  SECURITY_STATUS status =
      AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                &credentials, nullptr, nullptr, handle.get(), &expiry);
  if (status != SEC_E_OK) return nullptr;
  shared = handle.release();
  return shared;
}

class SChannelSession final : public TlsSession {
 public:
  explicit SChannelSession(const std::string& host) : host_(host.begin(), host.end()) {
    if (host.empty()) {
      failure_ = TlsFailure::kSetup;
      return;
    }
    credentials_ = SharedCredentials();
    if (!credentials_) {
      failure_ = TlsFailure::kSetup;
      return;
    }
    Handshake();
  }

  ~SChannelSession() override {
    if (have_context_) DeleteSecurityContext(&context_);
  }

  bool Received(const void* data, size_t size) override {
    if (failure_ != TlsFailure::kNone) return false;
    incoming_.append(static_cast<const char*>(data), size);
    if (!established_ || renegotiating_) Handshake();
    if (established_ && !renegotiating_) Decrypt();
    return failure_ == TlsFailure::kNone;
  }

  bool Write(const void* data, size_t size) override {
    if (failure_ != TlsFailure::kNone) return false;
    if (!established_ || renegotiating_) {
      early_.append(static_cast<const char*>(data), size);
      return true;
    }
    return Encrypt(static_cast<const char*>(data), size);
  }

  size_t TakeOutgoing(void* data, size_t size) override {
    if (failure_ != TlsFailure::kNone) return 0;
    size_t n = std::min(size, outgoing_.size() - outgoing_taken_);
    memcpy(data, outgoing_.data() + outgoing_taken_, n);
    outgoing_taken_ += n;
    if (outgoing_taken_ == outgoing_.size()) {
      outgoing_.clear();
      outgoing_taken_ = 0;
    }
    return n;
  }

  size_t Read(void* data, size_t size) override {
    if (failure_ != TlsFailure::kNone) return 0;
    size_t n = std::min(size, plain_.size() - plain_taken_);
    memcpy(data, plain_.data() + plain_taken_, n);
    plain_taken_ += n;
    if (plain_taken_ == plain_.size()) {
      plain_.clear();
      plain_taken_ = 0;
    }
    return n;
  }

  bool Established() const override { return established_; }
  bool PeerClosed() const override { return peer_closed_; }
  TlsFailure failure() const override { return failure_; }

 private:
  // Runs the handshake (or a renegotiation) as far as the bytes received
  // allow. The first call, with nothing received, makes the first flight.
  void Handshake() {
    for (;;) {
      SecBuffer in[2] = {};
      in[0].BufferType = SECBUFFER_TOKEN;
      in[0].pvBuffer = incoming_.empty() ? nullptr : &incoming_[0];
      in[0].cbBuffer = static_cast<unsigned long>(incoming_.size());
      in[1].BufferType = SECBUFFER_EMPTY;
      SecBufferDesc in_desc = {SECBUFFER_VERSION, 2, in};
      SecBuffer out[1] = {};
      out[0].BufferType = SECBUFFER_TOKEN;
      SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, out};
      ULONG attributes = 0;
      TimeStamp expiry;
      SECURITY_STATUS status = InitializeSecurityContextW(
          credentials_, have_context_ ? &context_ : nullptr, &host_[0], kContextFlags, 0, 0,
          have_context_ ? &in_desc : nullptr, 0, have_context_ ? nullptr : &context_, &out_desc, &attributes,
          &expiry);
      ContextBuffer token {out[0].pvBuffer};
      bool first = !have_context_;
      if (first && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) have_context_ = true;
      if (status == SEC_E_INCOMPLETE_MESSAGE) return;
      if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
        failure_ = TlsFailure::kHandshake;
        return;
      }
      if (token.data && out[0].cbBuffer > 0) {
        outgoing_.append(static_cast<const char*>(token.data), out[0].cbBuffer);
      }
      if (!first) Consume(in[1]);
      if (status == SEC_E_OK) {
        Finish();
        return;
      }
      if (incoming_.empty()) return;
    }
  }

  // Keeps only what SChannel left over at the end of the input.
  void Consume(const SecBuffer& extra) {
    if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0 && extra.cbBuffer <= incoming_.size()) {
      incoming_.erase(0, incoming_.size() - extra.cbBuffer);
    } else {
      incoming_.clear();
    }
  }

  // A renegotiation is checked like the first handshake: the server may
  // present another certificate.
  void Finish() {
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK) {
      failure_ = TlsFailure::kHandshake;
      return;
    }
    TlsFailure verdict = CheckCertificate();
    if (verdict != TlsFailure::kNone) {
      failure_ = verdict;
      return;
    }
    established_ = true;
    renegotiating_ = false;
    std::string early;
    early.swap(early_);
    if (!early.empty()) Encrypt(early.data(), early.size());
  }

  TlsFailure CheckCertificate() {
    PCCERT_CONTEXT certificate = nullptr;
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK ||
        !certificate) {
      return TlsFailure::kBadCertificate;
    }
    LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA chain_para = {};
    chain_para.cbSize = sizeof(chain_para);
    chain_para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chain_para.RequestedUsage.Usage.cUsageIdentifier = 1;
    chain_para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    TlsFailure verdict = TlsFailure::kBadCertificate;
    if (CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chain_para, 0, nullptr,
                                &chain)) {
      SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
      ssl.cbSize = sizeof(ssl);
      ssl.dwAuthType = AUTHTYPE_SERVER;
      ssl.pwszServerName = &host_[0];
      CERT_CHAIN_POLICY_PARA policy = {};
      policy.cbSize = sizeof(policy);
      policy.pvExtraPolicyPara = &ssl;
      CERT_CHAIN_POLICY_STATUS policy_status = {};
      policy_status.cbSize = sizeof(policy_status);
      if (CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &policy_status)) {
        verdict = policy_status.dwError == 0 ? FromChainStatus(chain->TrustStatus.dwErrorStatus)
                                             : FromPolicyError(policy_status.dwError);
      }
      // A chain in doubt hides whether the certificate had run out or the
      // name matched: the chain's own finding on time, then the policy
      // asked again with the root's trust set aside, decide the reason (the
      // connection fails either way).
      if (verdict == TlsFailure::kUntrusted && (chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_NOT_TIME_VALID)) {
        verdict = TlsFailure::kExpired;
      }
      if (verdict == TlsFailure::kUntrusted) {
        ssl.fdwChecks = kIgnoreUnknownCa;
        CERT_CHAIN_POLICY_STATUS name_status = {};
        name_status.cbSize = sizeof(name_status);
        if (CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &name_status) &&
            name_status.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH)) {
          verdict = TlsFailure::kWrongHost;
        }
      }
      CertFreeCertificateChain(chain);
    }
    CertFreeCertificateContext(certificate);
    return verdict;
  }

  void Decrypt() {
    while (!incoming_.empty() && failure_ == TlsFailure::kNone && !peer_closed_) {
      SecBuffer buffers[4] = {};
      buffers[0].BufferType = SECBUFFER_DATA;
      buffers[0].pvBuffer = &incoming_[0];
      buffers[0].cbBuffer = static_cast<unsigned long>(incoming_.size());
      for (int i = 1; i < 4; ++i) buffers[i].BufferType = SECBUFFER_EMPTY;
      SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
      SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE) return;
      if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED && status != SEC_I_RENEGOTIATE) {
        failure_ = TlsFailure::kProtocol;
        return;
      }
      // The plaintext lies inside the input: copy it before the input moves.
      const SecBuffer* extra = nullptr;
      for (const SecBuffer& b : buffers) {
        if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0) {
          plain_.append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
        } else if (b.BufferType == SECBUFFER_EXTRA) {
          extra = &b;
        }
      }
      if (extra) {
        Consume(*extra);
      } else {
        incoming_.clear();
      }
      if (status == SEC_I_CONTEXT_EXPIRED) {
        peer_closed_ = true;
        incoming_.clear();
      } else if (status == SEC_I_RENEGOTIATE) {
        renegotiating_ = true;
        Handshake();
        if (renegotiating_) return;
      }
    }
  }

  bool Encrypt(const char* data, size_t size) {
    while (size > 0) {
      size_t piece = std::min<size_t>(size, sizes_.cbMaximumMessage);
      std::vector<char> record(sizes_.cbHeader + piece + sizes_.cbTrailer);
      memcpy(record.data() + sizes_.cbHeader, data, piece);
      SecBuffer buffers[4] = {};
      buffers[0] = {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()};
      buffers[1] = {static_cast<unsigned long>(piece), SECBUFFER_DATA, record.data() + sizes_.cbHeader};
      buffers[2] = {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + piece};
      buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
      SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
      if (EncryptMessage(&context_, 0, &desc, 0) != SEC_E_OK) {
        failure_ = TlsFailure::kProtocol;
        return false;
      }
      outgoing_.append(record.data(), buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
      data += piece;
      size -= piece;
    }
    return true;
  }

  std::wstring host_;
  CredHandle* credentials_ = nullptr;
  CtxtHandle context_ = {};
  bool have_context_ = false;
  SecPkgContext_StreamSizes sizes_ = {};
  std::string incoming_;  // ciphertext not yet used
  std::string outgoing_;  // ciphertext to send, from outgoing_taken_ on
  size_t outgoing_taken_ = 0;
  std::string plain_;  // decrypted, from plain_taken_ on
  size_t plain_taken_ = 0;
  std::string early_;  // plaintext written before the handshake was over
  bool established_ = false;
  bool renegotiating_ = false;
  bool peer_closed_ = false;
  TlsFailure failure_ = TlsFailure::kNone;
};

}  // namespace

std::unique_ptr<TlsSession> StartTlsSession(const std::string& host) {
  return std::unique_ptr<TlsSession>(new SChannelSession(host));
}

}  // namespace platform
