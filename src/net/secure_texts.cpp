#include "net/secure_texts.h"

namespace texts {

const wchar_t* TlsFailureReason(platform::TlsFailure failure) {
  switch (failure) {
    case platform::TlsFailure::kNone:
    case platform::TlsFailure::kSetup:
      return L"无法建立安全连接";
    case platform::TlsFailure::kHandshake:
      return L"安全连接握手失败";
    case platform::TlsFailure::kExpired:
      return L"服务器证书已过期";
    case platform::TlsFailure::kWrongHost:
      return L"服务器证书与服务器地址不符";
    case platform::TlsFailure::kUntrusted:
      return L"服务器证书不受信任";
    case platform::TlsFailure::kBadCertificate:
      return L"服务器证书无效";
    case platform::TlsFailure::kProtocol:
      return L"安全连接的数据被篡改或损坏";
  }
  return L"无法建立安全连接";
}

}  // namespace texts
