#include "net/head_translate.h"

#include <cstring>

#include "platform/text.h"

namespace {

constexpr size_t kMaxLine = 4096;
constexpr size_t kMaxTag = 32;

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

// A decimal made of digits only; -1 otherwise.
int64_t Decimal(const std::string& text) {
  if (text.empty() || text.size() > 18) return -1;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

void CHeadTranslate::Clear() {
  header_length_ = 0;
  header_ = nullptr;
  content_length_ = -1;
  entity_tag_.clear();
  chunked_ = false;
  location_.clear();
  range_start_ = -1;
  range_total_ = -1;
}

void CHeadTranslate::Parse(const char* header, uint32_t length) {
  Clear();
  header_ = header;
  header_length_ = length;
  size_t start = 0;
  for (size_t i = 0; i + 1 < length; ++i) {
    if (header[i] != '\r' || header[i + 1] != '\n') continue;
    const char* line = header + start;
    size_t n = i - start;
    start = i + 2;
    if (StartsNoCase(line, n, "content-length:")) {
      content_length_ = Decimal(Trimmed(line + 15, n - 15));
    } else if (StartsNoCase(line, n, "etag:")) {
      std::string tag = Trimmed(line + 5, n - 5);
      if (tag.size() >= 2 && tag.front() == '"' && tag.back() == '"') {
        tag = tag.substr(1, std::min(tag.size() - 2, kMaxTag));
        entity_tag_ = platform::FromAnsi(tag).substr(0, 31);
      }
    } else if (StartsNoCase(line, n, "transfer-encoding:")) {
      std::string value = platform::ToAnsi(platform::ToLowerAscii(
          platform::FromAnsi(Trimmed(line + 18, n - 18))));
      chunked_ = value.size() >= 7 && value.compare(value.size() - 7, 7, "chunked") == 0;
    } else if (StartsNoCase(line, n, "location:")) {
      location_ = Trimmed(line + 9, n - 9);
    } else if (StartsNoCase(line, n, "content-range:")) {
      std::string value = Trimmed(line + 14, n - 14);
      range_start_ = range_total_ = -1;
      if (StartsNoCase(value.c_str(), value.size(), "bytes ")) {
        size_t dash = value.find('-');
        if (dash != std::string::npos) range_start_ = Decimal(Trimmed(value.c_str() + 6, dash - 6));
        size_t slash = value.find('/');
        if (slash != std::string::npos) {
          range_total_ = Decimal(Trimmed(value.c_str() + slash + 1, value.size() - slash - 1));
        }
      }
    }
  }
  header_ = nullptr;
}

ChunkedDecoder::Result ChunkedDecoder::Feed(const char* data, size_t size, std::string* out,
                                            size_t* used) {
  size_t i = 0;
  while (i < size && state_ != kEnd && state_ != kError) {
    char c = data[i];
    switch (state_) {
      case kSize: {
        int digit = c >= '0' && c <= '9' ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit >= 0) {
          if (++size_digits_ > 15) state_ = kError;
          remaining_ = remaining_ * 16 + static_cast<uint64_t>(digit);
        } else if (size_digits_ == 0) {
          state_ = kError;
        } else if (c == '\r') {
          state_ = kSizeLf;
        } else if (c == ';' || c == ' ' || c == '\t') {
          state_ = kSizeExtension;
          line_length_ = 0;
        } else {
          state_ = kError;
        }
        ++i;
        break;
      }
      case kSizeExtension:
        if (c == '\r') state_ = kSizeLf;
        else if (++line_length_ > kMaxLine) state_ = kError;
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
        state_ = remaining_ == 0 ? kTrailer : kData;
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
        else if (++line_length_ > kMaxLine) state_ = kError;
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
