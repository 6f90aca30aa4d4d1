#pragma once
// What the log says when a secure (https) connection is refused; users read
// these lines, so they stay as they are, byte for byte.
#include "platform/tls.h"

namespace texts {

// The server's address, then why.
constexpr wchar_t kSecureConnectFailed[] = L"安全连接失败 [%s]：%s";
// The address that a redirect from https pointed to.
constexpr wchar_t kInsecureRedirect[] = L"拒绝从安全连接重定向到非安全地址 [%s]";

// Why a secure connection failed; never null.
const wchar_t* TlsFailureReason(platform::TlsFailure failure);

}  // namespace texts
