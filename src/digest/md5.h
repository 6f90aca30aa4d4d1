#pragma once
// MD5 message digest (RFC 1321) and the digest of a whole file as text.
#include <cstdint>
#include <string>

class MD5_CTX {
 public:
  MD5_CTX();
  virtual ~MD5_CTX();

  void MD5Init();
  void MD5Update(const unsigned char* input, uint32_t length);
  // Writes the 16-byte digest, then wipes the context and starts afresh.
  void MD5Final(unsigned char digest[16]);

  // Digests the file at |path| into |text|:
  // 32 lower-case hexadecimal digits and a NUL, so |text| holds at least 33
  // bytes. False when the file cannot be opened or read; |text| is then
  // left untouched. Reads in chunks, so memory does not grow with the file.
  bool DigestFile(char* text, const std::wstring& path);

 private:
  void Transform(const unsigned char* block, uint32_t blocks);

  uint32_t state_[4];
  uint32_t count_[2];
  unsigned char buffer_[64];
  unsigned char padding_[64];
};
