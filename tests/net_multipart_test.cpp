// The reader of multi-range answers, fed as nginx sends them and as a
// hostile server might.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "net/multipart.h"

namespace {

struct Collected {
  std::map<uint64_t, std::string> parts;  // first byte -> bytes
  uint64_t current = 0;
};

MultipartReader MakeReader(Collected* out, uint64_t length = 100, const std::string& boundary = "00000000001") {
  return MultipartReader(
      boundary, length,
      [out](uint64_t first, uint64_t) {
        out->current = first;
        out->parts[first];
        return true;
      },
      [out](uint64_t offset, const char* data, size_t size) {
        std::string& part = out->parts[out->current];
        EXPECT_EQ(out->current + part.size(), offset);
        part.append(data, size);
        return true;
      });
}

const char kTwoParts[] =
    "\r\n--00000000001\r\n"
    "Content-Type: application/octet-stream\r\n"
    "Content-Range: bytes 0-3/100\r\n"
    "\r\n"
    "abcd\r\n"
    "--00000000001\r\n"
    "Content-Type: application/octet-stream\r\n"
    "Content-Range: bytes 90-99/100\r\n"
    "\r\n"
    "0123456789\r\n"
    "--00000000001--\r\n";

TEST(MultipartBoundary, TakesTheBoundaryOfByterangesOnly) {
  EXPECT_EQ("00000000001", ByterangesBoundary("multipart/byteranges; boundary=00000000001"));
  EXPECT_EQ("a b", ByterangesBoundary("Multipart/ByteRanges;charset=x; BOUNDARY=\"a b\""));
  EXPECT_EQ("", ByterangesBoundary("multipart/mixed; boundary=x"));
  EXPECT_EQ("", ByterangesBoundary("application/octet-stream"));
  EXPECT_EQ("", ByterangesBoundary("multipart/byteranges"));
  EXPECT_EQ("", ByterangesBoundary("multipart/byteranges; boundary=" + std::string(71, 'x')));
  EXPECT_EQ("", ByterangesBoundary("multipart/byteranges; boundary=a\x01" "b"));
}

TEST(MultipartContentRange, ReadsFirstLastAndTotal) {
  uint64_t a = 0, b = 0;
  int64_t t = 0;
  ASSERT_TRUE(ParseContentRange(" bytes 5-9/10", &a, &b, &t));
  EXPECT_EQ(5u, a);
  EXPECT_EQ(9u, b);
  EXPECT_EQ(10, t);
  ASSERT_TRUE(ParseContentRange("bytes 0-0/*", &a, &b, &t));
  EXPECT_EQ(-1, t);
  EXPECT_FALSE(ParseContentRange("bytes 9-5/10", &a, &b, &t));
  EXPECT_FALSE(ParseContentRange("bytes */10", &a, &b, &t));
  EXPECT_FALSE(ParseContentRange("bytes 1-2", &a, &b, &t));
  EXPECT_FALSE(ParseContentRange("bytes -1-2/10", &a, &b, &t));
  EXPECT_FALSE(ParseContentRange("bytes 99999999999999999999-1/10", &a, &b, &t));
}

TEST(MultipartReaderTest, ReadsPartsInPiecesOfAnySize) {
  const std::string body = kTwoParts;
  for (size_t step : {body.size(), size_t{1}, size_t{3}, size_t{17}}) {
    Collected got;
    MultipartReader reader = MakeReader(&got);
    for (size_t i = 0; i < body.size(); i += step) {
      ASSERT_TRUE(reader.Feed(body.data() + i, std::min(step, body.size() - i))) << step;
    }
    EXPECT_TRUE(reader.Done());
    ASSERT_EQ(2u, got.parts.size());
    EXPECT_EQ("abcd", got.parts[0]);
    EXPECT_EQ("0123456789", got.parts[90]);
  }
}

TEST(MultipartReaderTest, DataThatLooksLikeTheBoundaryIsData) {
  const std::string body =
      "--b\r\nContent-Range: bytes 0-8/10\r\n\r\n\r\n--b--\r\n\r\n--b--\r\n";
  Collected got;
  MultipartReader reader = MakeReader(&got, 10, "b");
  ASSERT_TRUE(reader.Feed(body.data(), body.size()));
  EXPECT_TRUE(reader.Done());
  EXPECT_EQ("\r\n--b--\r\n", got.parts[0]);
}

TEST(MultipartReaderTest, AnEndWithoutTheClosingBoundaryIsNotDone) {
  const std::string body = std::string(kTwoParts).substr(0, sizeof(kTwoParts) - 1 - 8);
  Collected got;
  MultipartReader reader = MakeReader(&got);
  EXPECT_TRUE(reader.Feed(body.data(), body.size()));
  EXPECT_FALSE(reader.Done());
}

TEST(MultipartReaderTest, RefusesHostileBodies) {
  const std::string part_of_other_file = "--b\r\nContent-Range: bytes 0-3/99\r\n\r\nabcd\r\n--b--\r\n";
  const std::string past_the_end = "--b\r\nContent-Range: bytes 98-100/100\r\n\r\nabc\r\n--b--\r\n";
  const std::string no_range = "--b\r\nContent-Type: x\r\n\r\nabcd\r\n--b--\r\n";
  const std::string two_ranges = "--b\r\nContent-Range: bytes 0-3/100\r\nContent-Range: bytes 0-9/100\r\n\r\n";
  const std::string wrong_boundary = "--b\r\nContent-Range: bytes 0-3/100\r\n\r\nabcd\r\n--c--\r\n";
  const std::string junk_after_body = "--b\r\nContent-Range: bytes 0-3/100\r\n\r\nabcdXYZ\r\n--b--\r\n";
  const std::string long_line = "--b\r\nContent-Range: bytes 0-3/100\r\nX: " + std::string(5000, 'x') + "\r\n";
  const std::string long_preamble = std::string(10000, '\n');
  const std::string bare_header = "--b\r\nnot a header\r\n\r\n";
  for (const std::string& body : {part_of_other_file, past_the_end, no_range, two_ranges, wrong_boundary,
                                  junk_after_body, long_line, long_preamble, bare_header}) {
    Collected got;
    MultipartReader reader = MakeReader(&got, 100, "b");
    EXPECT_FALSE(reader.Feed(body.data(), body.size())) << body.substr(0, 80);
    EXPECT_TRUE(reader.Failed());
    EXPECT_FALSE(reader.Feed("--b--\r\n", 7)) << "stays failed";
  }
}

TEST(MultipartReaderTest, ACallerThatRefusesAPartFailsTheReader) {
  MultipartReader reader("b", 100, [](uint64_t, uint64_t) { return false; },
                         [](uint64_t, const char*, size_t) { return true; });
  const std::string body = "--b\r\nContent-Range: bytes 0-3/100\r\n\r\nabcd\r\n--b--\r\n";
  EXPECT_FALSE(reader.Feed(body.data(), body.size()));
}

}  // namespace
