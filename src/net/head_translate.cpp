#include "net/head_translate.h"

#include <cstring>
#include <vector>

#include "platform/text.h"

namespace {

constexpr size_t kMaxTag = 32;
constexpr size_t kMaxValidator = 256;

bool StartsNoCase(const char* line, size_t length, const char* prefix) {
  size_t n = strlen(prefix);
  if (length < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (tolower(static_cast<unsigned char>(line[i])) != prefix[i]) return false;
  }
  return true;
}

std::string Trimmed(const char* p, size_t n) {
  while (n > 0 && (*p == ' ' || *p == '\t')) ++p, --n;
  while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\t')) --n;
  return std::string(p, n);
}

// A decimal made of digits only that fits in 63 bits; -1 otherwise.
int64_t Decimal(const std::string& text) {
  if (text.empty()) return -1;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || value > (INT64_MAX - (c - '0')) / 10) return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// Whether a Connection value lists the option "close".
bool ListsClose(const std::string& value) {
  size_t start = 0;
  while (start <= value.size()) {
    size_t comma = value.find(',', start);
    if (comma == std::string::npos) comma = value.size();
    std::string item = Trimmed(value.data() + start, comma - start);
    if (item.size() == 5 && StartsNoCase(item.data(), item.size(), "close")) return true;
    start = comma + 1;
  }
  return false;
}

// HTTP/1.1 and later keep the connection unless told otherwise; an older
// answer does not, whatever it says.
bool PersistentVersion(const char* line, size_t length) {
  if (length < 8 || memcmp(line, "HTTP/", 5) != 0) return false;
  const char major = line[5];
  if (major < '1' || major > '9') return false;
  if (major > '1') return true;
  return line[6] == '.' && line[7] >= '1' && line[7] <= '9';
}

}  // namespace

int32_t FindHeaderEnd(const char* data, uint32_t size) {
  uint32_t line_start = 0;
  for (uint32_t i = 0; i < size; ++i) {
    if (data[i] == '\r') {
      if (i + 1 == size) return kHeaderIncomplete;
      if (data[i + 1] != '\n') return kHeaderMalformed;
    } else if (data[i] == '\n') {
      uint32_t content = i - line_start;
      if (content > 0 && data[i - 1] == '\r') --content;
      if (content == 0) return static_cast<int32_t>(i + 1);
      line_start = i + 1;
    }
  }
  return kHeaderIncomplete;
}

void CHeadTranslate::Clear() {
  content_length_ = -1;
  length_invalid_ = false;
  entity_tag_.clear();
  strong_tag_.clear();
  last_modified_.clear();
  chunked_ = false;
  keep_alive_ = false;
  location_.clear();
  content_type_.clear();
  range_start_ = -1;
  range_total_ = -1;
  range_end_ = -1;
}

void CHeadTranslate::TakeContentLength(const std::string& value) {
  size_t start = 0;
  bool any = false;
  while (start <= value.size()) {
    size_t comma = value.find(',', start);
    if (comma == std::string::npos) comma = value.size();
    std::string item = Trimmed(value.data() + start, comma - start);
    start = comma + 1;
    if (item.empty()) continue;  // empty list elements carry nothing
    any = true;
    int64_t length = Decimal(item);
    if (length < 0 || (content_length_ >= 0 && length != content_length_)) {
      length_invalid_ = true;
      return;
    }
    content_length_ = length;
  }
  if (!any) length_invalid_ = true;
}

void CHeadTranslate::TakeField(const char* line, size_t n, bool* closes) {
  if (StartsNoCase(line, n, "connection:")) {
    if (ListsClose(Trimmed(line + 11, n - 11))) *closes = true;
  } else if (StartsNoCase(line, n, "content-length:")) {
    TakeContentLength(std::string(line + 15, n - 15));
  } else if (StartsNoCase(line, n, "etag:")) {
    std::string tag = Trimmed(line + 5, n - 5);
    // Only a strong tag may be sent back in If-Range.
    if (tag.size() >= 2 && tag.size() <= kMaxValidator && tag.front() == '"' && tag.back() == '"') {
      strong_tag_ = tag;
    }
    if (tag.size() >= 2 && tag.front() == '"' && tag.back() == '"') {
      tag = tag.substr(1, std::min(tag.size() - 2, kMaxTag));
      entity_tag_ = platform::FromAnsi(tag).substr(0, 31);
    }
  } else if (StartsNoCase(line, n, "transfer-encoding:")) {
    std::string value = platform::ToAnsi(platform::ToLowerAscii(
        platform::FromAnsi(Trimmed(line + 18, n - 18))));
    chunked_ = value.size() >= 7 && value.compare(value.size() - 7, 7, "chunked") == 0;
  } else if (StartsNoCase(line, n, "last-modified:")) {
    std::string date = Trimmed(line + 14, n - 14);
    if (date.size() <= kMaxValidator) last_modified_ = date;
  } else if (StartsNoCase(line, n, "content-type:")) {
    std::string type = Trimmed(line + 13, n - 13);
    content_type_ = type.size() <= kMaxValidator ? type : std::string();
  } else if (StartsNoCase(line, n, "location:")) {
    location_ = Trimmed(line + 9, n - 9);
  } else if (StartsNoCase(line, n, "content-range:")) {
    std::string value = Trimmed(line + 14, n - 14);
    range_start_ = range_total_ = range_end_ = -1;
    if (StartsNoCase(value.c_str(), value.size(), "bytes ")) {
      size_t dash = value.find('-');
      size_t slash = value.find('/');
      if (dash != std::string::npos) range_start_ = Decimal(Trimmed(value.c_str() + 6, dash - 6));
      if (dash != std::string::npos && slash != std::string::npos && slash > dash) {
        range_end_ = Decimal(Trimmed(value.c_str() + dash + 1, slash - dash - 1));
      }
      if (slash != std::string::npos) {
        range_total_ = Decimal(Trimmed(value.c_str() + slash + 1, value.size() - slash - 1));
      }
    }
  }
}

void CHeadTranslate::Parse(const char* header, uint32_t length) {
  Clear();
  bool closes = false;
  // The field lines, each with the lines folded onto it.
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t i = 0; i < length; ++i) {
    if (header[i] != '\n') continue;
    const char* line = header + start;
    size_t n = i - start;
    if (n > 0 && line[n - 1] == '\r') --n;
    const bool status_line = start == 0;
    start = i + 1;
    if (status_line) {
      keep_alive_ = PersistentVersion(line, n);
    } else if (n > 0 && (line[0] == ' ' || line[0] == '\t')) {
      // An obsolete line folding goes on the field before, after one blank;
      // right after the status line it continues nothing.
      if (!fields.empty()) fields.back() += " " + Trimmed(line, n);
    } else {
      fields.emplace_back(line, n);
    }
  }
  for (const std::string& field : fields) TakeField(field.data(), field.size(), &closes);
  if (length_invalid_) content_length_ = -1;
  if (closes) keep_alive_ = false;
}

ChunkedDecoder::Result ChunkedDecoder::Feed(const char* data, size_t size, std::string* out,
                                            size_t* used) {
  size_t i = 0;
  while (i < size && state_ != kEnd && state_ != kError) {
    char c = data[i];
    if ((state_ == kSize || state_ == kSizeExtension || state_ == kSizeLf || state_ == kTrailer ||
         state_ == kTrailerLf) &&
        ++framing_ > kMaxFraming) {
      state_ = kError;
      break;
    }
    switch (state_) {
      case kSize: {
        int digit = c >= '0' && c <= '9' ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit >= 0) {
          // At most 15 significant digits; leading zeros pad, as some
          // servers write sizes of a fixed width.
          ++size_digits_;
          if (remaining_ >> 56 != 0) state_ = kError;
          remaining_ = remaining_ * 16 + static_cast<uint64_t>(digit);
        } else if (size_digits_ == 0) {
          state_ = kError;
        } else if (c == '\r') {
          state_ = kSizeLf;
        } else if (c == ';' || c == ' ' || c == '\t') {
          state_ = kSizeExtension;
        } else {
          state_ = kError;
        }
        ++i;
        break;
      }
      case kSizeExtension:
        if (c == '\r') state_ = kSizeLf;
        ++i;
        break;
      case kSizeLf:
        if (c != '\n') {
          state_ = kError;
          break;
        }
        ++i;
        size_digits_ = 0;
        line_length_ = 0;
        if (remaining_ == 0) {
          state_ = kTrailer;
        } else {
          state_ = kData;
          framing_ = 0;
        }
        break;
      case kData: {
        size_t take = static_cast<size_t>(std::min<uint64_t>(remaining_, size - i));
        out->append(data + i, take);
        i += take;
        remaining_ -= take;
        if (remaining_ == 0) state_ = kDataCr;
        break;
      }
      case kDataCr:
        state_ = c == '\r' ? kDataLf : kError;
        ++i;
        break;
      case kDataLf:
        state_ = c == '\n' ? kSize : kError;
        ++i;
        break;
      case kTrailer:
        // Trailer lines are skipped; an empty one ends the body.
        if (c == '\r') state_ = kTrailerLf;
        else ++line_length_;
        ++i;
        break;
      case kTrailerLf:
        if (c != '\n') {
          state_ = kError;
          break;
        }
        ++i;
        state_ = line_length_ == 0 ? kEnd : kTrailer;
        line_length_ = 0;
        break;
      case kEnd:
      case kError:
        break;
    }
  }
  *used = i;
  return state_ == kEnd ? kDone : state_ == kError ? kFailed : kMore;
}
