#pragma once
// Reading the lines of a response header that the transfer needs, and the
// decoder of chunked bodies.
#include <cstddef>
#include <cstdint>
#include <string>

class CHeadTranslate {
 public:
  CHeadTranslate() = default;
  virtual ~CHeadTranslate() = default;

  // Scans a complete header (status line through the blank line). Header
  // names match without regard to case; of repeated lines the last wins.
  void Parse(const char* header, uint32_t length);
  void Clear();

  // -1 when the header announced no (valid) length.
  int64_t content_length() const { return content_length_; }
  const std::wstring& entity_tag() const { return entity_tag_; }
  bool chunked() const { return chunked_; }
  const std::string& location() const { return location_; }
  // First byte of a Content-Range, -1 when there is none; the complete
  // length it gives after the slash, -1 when none or "*".
  int64_t range_start() const { return range_start_; }
  int64_t range_total() const { return range_total_; }

 private:
  uint32_t header_length_ = 0;
  const char* header_ = nullptr;
  int64_t content_length_ = -1;
  std::wstring entity_tag_;
  bool chunked_ = false;
  std::string location_;
  int64_t range_start_ = -1;
  int64_t range_total_ = -1;
};

// Decodes a chunked body fed in pieces of any size. Once failed it stays
// failed; sizes and line lengths are capped.
class ChunkedDecoder {
 public:
  enum Result { kMore, kDone, kFailed };
  // Appends decoded bytes of |data| to |out| and tells whether the body
  // goes on, ended (|*used| then counts the bytes that belonged to it) or is
  // broken.
  Result Feed(const char* data, size_t size, std::string* out, size_t* used);

 private:
  enum State { kSize, kSizeExtension, kSizeLf, kData, kDataCr, kDataLf, kTrailer, kTrailerLf, kEnd, kError };
  State state_ = kSize;
  uint64_t remaining_ = 0;
  int size_digits_ = 0;
  size_t line_length_ = 0;
};
