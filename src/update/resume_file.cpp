#include "update/resume_file.h"

#include "manifest/path_safety.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "update/status_texts.h"

namespace {

constexpr size_t kFillerLength = 20;
const int kShift[3] = {-1, 1, 3};

bool IsControl(wchar_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

bool IsHostCharacter(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
         c == L'-' || c == L'.' || c == L'_' || c >= 0xA0;
}

// A port after the host: 1 to 65535, or nothing, as the URL parser takes.
bool IsPort(const std::wstring& digits) {
  long value = 0;
  for (wchar_t c : digits) {
    if (c < L'0' || c > L'9' || (value = value * 10 + (c - L'0')) > 65535) return false;
  }
  return digits.empty() || value > 0;
}

}  // namespace

ResumeFile ResumeFile::BesideExecutable() {
  return ResumeFile(platform::ModuleDir() + platform::kPathSeparator + L"UpdateTemp.ini");
}

std::wstring ResumeFile::ReadCurrentVersion(const std::wstring& default_value) const {
  const std::wstring recorded =
      platform::GetProfileString(L"Version", L"CurrentVersion", default_value, kValueBuffer, path_);
  if (recorded.empty() || recorded == default_value || IsSafeVersionText(recorded)) return recorded;
  if (log_) log_(platform::Format(texts::kBadRecordedVersion, recorded.c_str()));
  return L"0";
}

std::wstring ResumeFile::ReadServerAddress(int number) const {
  std::wstring key = platform::Format(L"Temp%d", number);
  return DescrambleServerEntry(
      platform::GetProfileString(L"Temp", key, L"", kServerBuffer, path_));
}

std::wstring ResumeFile::ReadHomeUrl() const {
  return platform::GetProfileString(L"HOME", L"URL", L"", kValueBuffer, path_);
}

uint32_t ResumeFile::ReadMaxRate() const {
  const int32_t rate = platform::LeadingInt(platform::GetProfileString(L"Download", L"MaxRate", L"0", kValueBuffer, path_));
  return rate > 0 ? static_cast<uint32_t>(rate) : 0;
}

std::wstring ResumeFile::ReadUpdaterMd5() const {
  return platform::GetProfileString(L"Version", L"UpdaterMd5", L"", kValueBuffer, path_);
}

bool ResumeFile::WriteUpdaterMd5(const std::wstring& md5) const {
  return platform::WriteProfileString(L"Version", L"UpdaterMd5", md5, path_);
}

bool ResumeFile::WriteCurrentVersion(const std::wstring& version) const {
  return platform::WriteProfileString(L"Version", L"CurrentVersion", version, path_);
}

bool ResumeFile::WriteServerAddress(int number, const std::wstring& address) const {
  return platform::WriteProfileString(L"Temp", platform::Format(L"Temp%d", number), address,
                                      path_);
}

bool ResumeFile::WriteHomeUrl(const std::wstring& url) const {
  return platform::WriteProfileString(L"HOME", L"URL", url, path_);
}

std::wstring DescrambleServerEntry(const std::wstring& stored) {
  if (stored.size() <= kFillerLength) return stored;
  std::wstring out;
  out.reserve(stored.size() - kFillerLength);
  for (size_t k = 0; k + kFillerLength < stored.size(); ++k) {
    auto code = static_cast<uint16_t>(stored[k + kFillerLength]);
    out += static_cast<wchar_t>(static_cast<uint16_t>(code + kShift[k % 3]));
  }
  return out;
}

std::wstring ScrambleServerEntry(const std::wstring& address, const std::wstring& filler) {
  std::wstring out = filler.substr(0, kFillerLength);
  out.resize(kFillerLength, L'0');
  for (size_t k = 0; k < address.size(); ++k) {
    auto code = static_cast<uint16_t>(address[k]);
    out += static_cast<wchar_t>(static_cast<uint16_t>(code - kShift[k % 3]));
  }
  return out;
}

bool IsUsableServerAddress(const std::wstring& address) {
  for (wchar_t c : address) {
    if (IsControl(c)) return false;
  }
  // The controller takes an address without either scheme as plain HTTP.
  const std::wstring scheme = platform::ToLowerAscii(address.substr(0, 8));
  size_t start = scheme.compare(0, 7, L"http://") == 0 ? 7 : scheme == L"https://" ? 8 : 0;
  size_t end = address.find_first_of(L"/?#", start);
  if (end == std::wstring::npos) end = address.size();
  const std::wstring authority = address.substr(start, end - start);
  const size_t colon = authority.find(L':');
  const std::wstring host = authority.substr(0, colon);
  if (host.empty()) return false;
  for (wchar_t c : host) {
    if (!IsHostCharacter(c)) return false;
  }
  return colon == std::wstring::npos || IsPort(authority.substr(colon + 1));
}
