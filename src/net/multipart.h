#pragma once
// The body of a 206 answer to a request for several ranges: parts of the
// file, each with its own Content-Range, between boundary lines.
//
// The reader trusts nothing: the boundary must be one the Content-Type
// named, every header section and line is capped, a part's length comes
// from its Content-Range alone (never from a search for the boundary in
// the data) and must lie inside the file. Whether a part is one the caller
// asked for is the caller's decision.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The boundary of a "multipart/byteranges" Content-Type (quoted or not,
// any case for the names); empty for any other type or a boundary longer
// than 70 characters.
std::string ByterangesBoundary(const std::string& content_type);

// "bytes FIRST-LAST/TOTAL" (TOTAL may be "*": -1). False for anything
// else, or FIRST > LAST.
bool ParseContentRange(const std::string& value, uint64_t* first, uint64_t* last, int64_t* total);

class MultipartReader {
 public:
  static constexpr size_t kMaxLine = 1024;
  static constexpr size_t kMaxPartHeader = 8192;
  static constexpr size_t kMaxPreamble = 4096;

  // A part begins: bytes |first| to |last| of the file. False refuses it
  // and fails the reader.
  using PartStart = std::function<bool(uint64_t first, uint64_t last)>;
  // Bytes of the current part from |offset| in the file. False fails the
  // reader.
  using PartData = std::function<bool(uint64_t offset, const char* data, size_t size)>;

  // |file_length| bounds every part: a Content-Range for another length is
  // a failure.
  MultipartReader(std::string boundary, uint64_t file_length, PartStart start, PartData data);

  // False once the body cannot be a byteranges body, and from then on.
  bool Feed(const char* data, size_t size);
  // The closing boundary came (what follows it is ignored).
  bool Done() const { return state_ == kDone; }
  bool Failed() const { return state_ == kFailed; }

 private:
  enum State {
    kPreamble,   // lines before the first boundary
    kHeaders,    // a part's header lines, up to the blank line
    kBody,       // the part's bytes
    kAfterBody,  // the line break and the next boundary line
    kDone,       // the closing boundary came
    kFailed,
  };
  bool TakeLine(const std::string& line);
  bool IsBoundary(const std::string& line, bool* closing) const;

  std::string boundary_;
  uint64_t file_length_;
  PartStart start_;
  PartData data_;
  State state_ = kPreamble;
  std::string line_;
  size_t section_bytes_ = 0;  // of the preamble or header section so far
  bool have_range_ = false;
  uint64_t first_ = 0;
  uint64_t last_ = 0;
  uint64_t next_ = 0;  // the file offset of the next body byte
};
