#pragma once
// "UpdateTemp.ini": the recorded version, the server addresses and the home
// page. Every read goes to the file; nothing is cached.
#include <cstdint>
#include <functional>
#include <string>

class ResumeFile {
 public:
  // Buffer sizes of the values, terminator included.
  static constexpr size_t kServerBuffer = 256;
  static constexpr size_t kValueBuffer = 200;

  using LogFn = std::function<void(const std::wstring&)>;

  // |log| receives the values that are refused as read; it may be empty.
  explicit ResumeFile(std::wstring path, LogFn log = nullptr)
      : path_(std::move(path)), log_(std::move(log)) {}
  // The file beside the running executable.
  static ResumeFile BesideExecutable();

  // The recorded version, or |default_value| when none is recorded. A value
  // that is not digits and dots would end up in file names: it reads as "0"
  // and is logged.
  std::wstring ReadCurrentVersion(const std::wstring& default_value) const;
  // The descrambled base address of server |number| ("Temp%d"); empty when
  // that server is not configured.
  std::wstring ReadServerAddress(int number) const;
  std::wstring ReadHomeUrl() const;
  // "[Download] MaxRate": the bandwidth cap in KiB/s over all connections;
  // 0 (also when missing, negative or not a number) means none.
  uint32_t ReadMaxRate() const;

  // The digest of the updater's pending copy, recorded when the copy was
  // verified: a later start swaps it in only when it still matches.
  std::wstring ReadUpdaterMd5() const;
  bool WriteUpdaterMd5(const std::wstring& md5) const;

  bool WriteCurrentVersion(const std::wstring& version) const;
  // |address| is stored as given: scramble it first when it is longer than
  // 20 characters.
  bool WriteServerAddress(int number, const std::wstring& address) const;
  bool WriteHomeUrl(const std::wstring& url) const;

  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
  LogFn log_;
};

// Server entries longer than 20 characters are stored scrambled: the first
// 20 characters are filler, and the k-th character after them is shifted
// by -1, +1 or +3 for k mod 3 = 0, 1, 2.
std::wstring DescrambleServerEntry(const std::wstring& stored);
// Whether a descrambled entry can stand as a server's base address: no
// control characters, and a host (letters, digits, '-', '.', '_' or
// characters beyond ASCII) with at most a port, before any path. An entry
// written unscrambled where it had to be scrambled usually fails this.
bool IsUsableServerAddress(const std::wstring& address);
// The inverse, for the publisher tool; |filler| supplies the 20 leading
// characters.
std::wstring ScrambleServerEntry(const std::wstring& address, const std::wstring& filler);
