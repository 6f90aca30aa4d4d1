#include "net/multipart.h"

#include <cctype>
#include <utility>

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  size_t a = 0, b = text.size();
  while (a < b && (text[a] == ' ' || text[a] == '\t')) ++a;
  while (b > a && (text[b - 1] == ' ' || text[b - 1] == '\t')) --b;
  return text.substr(a, b - a);
}

bool Digits(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *value = v;
  return true;
}

}  // namespace

std::string ByterangesBoundary(const std::string& content_type) {
  const size_t semicolon = content_type.find(';');
  if (Lower(Trim(content_type.substr(0, semicolon))) != "multipart/byteranges") return std::string();
  size_t at = semicolon;
  while (at != std::string::npos) {
    const size_t next = content_type.find(';', at + 1);
    const std::string param = content_type.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
    at = next;
    const size_t eq = param.find('=');
    if (eq == std::string::npos || Lower(Trim(param.substr(0, eq))) != "boundary") continue;
    std::string value = Trim(param.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    if (value.empty() || value.size() > 70) return std::string();
    for (char c : value) {
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) return std::string();
    }
    return value;
  }
  return std::string();
}

bool ParseContentRange(const std::string& value, uint64_t* first, uint64_t* last, int64_t* total) {
  const std::string text = Trim(value);
  if (text.size() < 6 || Lower(text.substr(0, 6)) != "bytes ") return false;
  const size_t dash = text.find('-', 6);
  const size_t slash = text.find('/', 6);
  if (dash == std::string::npos || slash == std::string::npos || dash > slash) return false;
  uint64_t a = 0, b = 0, t = 0;
  if (!Digits(Trim(text.substr(6, dash - 6)), &a) || !Digits(Trim(text.substr(dash + 1, slash - dash - 1)), &b)) {
    return false;
  }
  const std::string size = Trim(text.substr(slash + 1));
  if (size == "*") {
    *total = -1;
  } else if (Digits(size, &t)) {
    *total = static_cast<int64_t>(t);
  } else {
    return false;
  }
  if (a > b) return false;
  *first = a;
  *last = b;
  return true;
}

MultipartReader::MultipartReader(std::string boundary, uint64_t file_length, PartStart start, PartData data)
    : boundary_(std::move(boundary)), file_length_(file_length), start_(std::move(start)), data_(std::move(data)) {
  if (boundary_.empty()) state_ = kFailed;
}

bool MultipartReader::IsBoundary(const std::string& line, bool* closing) const {
  // Transport padding may follow the boundary.
  const std::string text = Trim(line);
  const std::string delimiter = "--" + boundary_;
  if (text == delimiter) {
    *closing = false;
    return true;
  }
  if (text == delimiter + "--") {
    *closing = true;
    return true;
  }
  return false;
}

bool MultipartReader::Feed(const char* data, size_t size) {
  size_t i = 0;
  while (i < size) {
    if (state_ == kFailed) return false;
    if (state_ == kDone) return true;
    if (state_ == kBody) {
      const uint64_t left = last_ - next_ + 1;
      const size_t n = left < size - i ? static_cast<size_t>(left) : size - i;
      if (!data_(next_, data + i, n)) {
        state_ = kFailed;
        return false;
      }
      next_ += n;
      i += n;
      if (next_ > last_) {
        state_ = kAfterBody;
        section_bytes_ = 0;
      }
      continue;
    }
    const char c = data[i++];
    if (c != '\n') {
      if (line_.size() >= kMaxLine) {
        state_ = kFailed;
        return false;
      }
      line_ += c;
      continue;
    }
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    const std::string line = std::move(line_);
    line_.clear();
    if (!TakeLine(line)) {
      state_ = kFailed;
      return false;
    }
  }
  return state_ != kFailed;
}

bool MultipartReader::TakeLine(const std::string& line) {
  bool closing = false;
  switch (state_) {
    case kPreamble:
      section_bytes_ += line.size() + 2;
      if (section_bytes_ > kMaxPreamble) return false;
      if (!IsBoundary(line, &closing)) return true;
      break;
    case kAfterBody:
      // The line break that ends the part's bytes comes first.
      section_bytes_ += line.size() + 2;
      if (section_bytes_ > kMaxLine) return false;
      if (line.empty()) return true;
      if (!IsBoundary(line, &closing)) return false;
      break;
    case kHeaders: {
      section_bytes_ += line.size() + 2;
      if (section_bytes_ > kMaxPartHeader) return false;
      if (line.empty()) {
        if (!have_range_ || !start_(first_, last_)) return false;
        next_ = first_;
        state_ = kBody;
        return true;
      }
      const size_t colon = line.find(':');
      if (colon == std::string::npos) return false;
      if (Lower(Trim(line.substr(0, colon))) != "content-range") return true;
      int64_t total = 0;
      if (have_range_ || !ParseContentRange(line.substr(colon + 1), &first_, &last_, &total)) return false;
      if (total != static_cast<int64_t>(file_length_) || last_ >= file_length_) return false;
      have_range_ = true;
      return true;
    }
    default:
      return false;
  }
  if (closing) {
    state_ = kDone;
    return true;
  }
  state_ = kHeaders;
  section_bytes_ = 0;
  have_range_ = false;
  return true;
}
