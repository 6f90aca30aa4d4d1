#pragma once
// Reading the lines of a response header that the transfer needs, and the
// decoder of chunked bodies.
#include <cstddef>
#include <cstdint>
#include <string>

// Header lines end in CR LF or in a bare LF; a CR followed by anything else
// breaks the header.
enum HeaderEnd : int32_t { kHeaderMalformed = -1, kHeaderIncomplete = 0 };
// The length of the header at the start of |data|, blank line included;
// kHeaderIncomplete while its blank line has not arrived.
int32_t FindHeaderEnd(const char* data, uint32_t size);

class CHeadTranslate {
 public:
  CHeadTranslate() = default;
  virtual ~CHeadTranslate() = default;

  // Scans a complete header (status line through the blank line). Header
  // names match without regard to case.
  void Parse(const char* header, uint32_t length);
  void Clear();

  // -1 when the header announced no length. Repeated lines and lists that
  // all give one value give that value.
  int64_t content_length() const { return content_length_; }
  // Differing lengths, a length that is not digits, or one that does not
  // fit in 63 bits: the response cannot be framed.
  bool length_invalid() const { return length_invalid_; }
  const std::wstring& entity_tag() const { return entity_tag_; }
  // The ETag line as sent when it is a strong tag, quotes included; the
  // Last-Modified date as sent. Empty when absent or too long.
  const std::string& strong_tag() const { return strong_tag_; }
  const std::string& last_modified() const { return last_modified_; }
  bool chunked() const { return chunked_; }
  // The answer leaves its connection open for another request: HTTP/1.1
  // or later, and no "close" among its Connection options.
  bool keep_alive() const { return keep_alive_; }
  const std::string& location() const { return location_; }
  // The Content-Type line's value as sent; empty when absent or too long.
  const std::string& content_type() const { return content_type_; }
  // First byte of a Content-Range, -1 when there is none; the complete
  // length it gives after the slash, -1 when none or "*".
  int64_t range_start() const { return range_start_; }
  int64_t range_total() const { return range_total_; }
  // The last byte its Content-Range names, -1 when none.
  int64_t range_end() const { return range_end_; }

 private:
  // One field line, folded lines joined; |closes| is set when it asks for
  // the connection's end.
  void TakeField(const char* line, size_t n, bool* closes);
  void TakeContentLength(const std::string& value);

  int64_t content_length_ = -1;
  bool length_invalid_ = false;
  std::wstring entity_tag_;
  std::string strong_tag_;
  std::string last_modified_;
  bool chunked_ = false;
  bool keep_alive_ = false;
  std::string location_;
  std::string content_type_;
  int64_t range_start_ = -1;
  int64_t range_total_ = -1;
  int64_t range_end_ = -1;
};

// Decodes a chunked body fed in pieces of any size. Once failed it stays
// failed. Sizes are capped, and so are the framing lines: each chunk-size
// line, and the last one together with the trailer lines, may take at most
// kMaxFraming bytes.
class ChunkedDecoder {
 public:
  static constexpr size_t kMaxFraming = 1024;
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
  size_t framing_ = 0;
};
