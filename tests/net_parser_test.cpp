#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "net/head_translate.h"
#include "net/url.h"
#include "net/web_socket.h"

namespace {

CHeadTranslate Scan(const std::string& header) {
  CHeadTranslate head;
  head.Parse(header.data(), static_cast<uint32_t>(header.size()));
  return head;
}

std::string DecodeInPieces(const std::string& body, size_t piece, ChunkedDecoder::Result* result,
                           size_t* used_total) {
  ChunkedDecoder decoder;
  std::string out;
  *used_total = 0;
  *result = ChunkedDecoder::kMore;
  for (size_t pos = 0; pos < body.size() && *result == ChunkedDecoder::kMore; pos += piece) {
    size_t used = 0;
    *result = decoder.Feed(body.data() + pos, std::min(piece, body.size() - pos), &out, &used);
    *used_total += used;
  }
  return out;
}

}  // namespace

TEST(HeadTranslate, HeaderNamesMatchWithoutCase) {
  CHeadTranslate head = Scan(
      "HTTP/1.1 206 Partial Content\r\ncontent-length: 34\r\n"
      "ETag: \"5f-abc\"\r\ncontent-range: bytes 100-133/200\r\nlocation: /x\r\n\r\n");
  EXPECT_EQ(head.content_length(), 34);
  EXPECT_FALSE(head.length_invalid());
  EXPECT_EQ(head.entity_tag(), L"5f-abc");
  EXPECT_EQ(head.range_start(), 100);
  EXPECT_EQ(head.location(), "/x");
  EXPECT_FALSE(head.chunked());
}

TEST(HeadTranslate, ContentLengthListsAndRepeatsMustAgree) {
  struct Case {
    const char* lines;
    int64_t length;  // -1 with invalid: the response cannot be framed
    bool invalid;
  };
  const Case cases[] = {
      {"Content-Length: 7\r\n", 7, false},
      {"Content-Length: 5, 5\r\n", 5, false},
      {"Content-Length: 5,5 ,  5\r\n", 5, false},
      {"Content-Length: 12\r\ncontent-length:  12 \r\n", 12, false},
      {"Content-Length: 9223372036854775807\r\n", INT64_MAX, false},
      {"Content-Length: 5, 7\r\n", -1, true},
      {"Content-Length: 12\r\nCONTENT-LENGTH: 34\r\n", -1, true},
      {"Content-Length: 9223372036854775808\r\n", -1, true},
      {"Content-Length: 18446744073709551626\r\n", -1, true},
      {"Content-Length: 12345678901234567890\r\n", -1, true},
      {"Content-Length: -5\r\n", -1, true},
      {"Content-Length: 12x\r\n", -1, true},
      {"Content-Length: +3\r\n", -1, true},
      {"Content-Length:\r\n", -1, true},
      {"", -1, false},
  };
  for (const Case& c : cases) {
    CHeadTranslate head = Scan(std::string("HTTP/1.1 200 OK\r\n") + c.lines + "\r\n");
    EXPECT_EQ(head.content_length(), c.length) << c.lines;
    EXPECT_EQ(head.length_invalid(), c.invalid) << c.lines;
  }
}

TEST(HeadTranslate, WeakTagsAreNotTakenAndChunkedIsTheLastCoding) {
  EXPECT_EQ(Scan("HTTP/1.1 200 OK\r\nETag: W/\"weak\"\r\n\r\n").entity_tag(), L"");
  EXPECT_TRUE(Scan("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n").chunked());
  // A last piece without a line end is not a line.
  EXPECT_EQ(Scan("HTTP/1.1 200 OK\r\nContent-Length: 9").content_length(), -1);
}

TEST(HeadTranslate, LinesMayEndInABareLf) {
  CHeadTranslate head = Scan("HTTP/1.1 200 OK\nContent-Length: 10\nETag: \"t\"\r\nLocation: /y\n\n");
  EXPECT_EQ(head.content_length(), 10);
  EXPECT_EQ(head.entity_tag(), L"t");
  EXPECT_EQ(head.location(), "/y");
}

TEST(HeadTranslate, TheHeaderEndsAtTheFirstEmptyLine) {
  struct Case {
    std::string bytes;
    int32_t end;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\nA: b\r\n\r\nbody", 25},
      {"HTTP/1.1 200 OK\nA: b\n\nbody", 22},
      {"HTTP/1.1 200 OK\nA: b\r\n\nbody", 23},
      {"HTTP/1.1 200 OK\r\nA: b\n\r\nbody", 24},
      {"HTTP/1.1 200 OK\r\nA: b\r\n", kHeaderIncomplete},
      {"HTTP/1.1 200 OK\r\nA: b\r\n\r", kHeaderIncomplete},
      {"HTTP/1.1 200 OK\r", kHeaderIncomplete},
      {"HTTP/1.1 200 OK\r\nA: b\rc\r\n\r\n", kHeaderMalformed},
      {"HTTP/1.1 200 OK\r\r\n\r\n", kHeaderMalformed},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FindHeaderEnd(c.bytes.data(), static_cast<uint32_t>(c.bytes.size())), c.end) << c.bytes;
  }
}

TEST(HeadTranslate, StatusCodeFollowsTheFirstBlank) {
  const char ok[] = "HTTP/1.1 200 OK\r\n\r\n";
  EXPECT_EQ(ParseStatusCode(ok, sizeof(ok) - 1), 200);
  const char none[] = "HTTP/1.1\r\n\r\n";
  EXPECT_EQ(ParseStatusCode(none, sizeof(none) - 1), 0);
  const char odd[] = "X   404 gone";
  EXPECT_EQ(ParseStatusCode(odd, sizeof(odd) - 1), 404);
}

TEST(ChunkedDecoder, DecodesInPiecesOfAnySizeAndStopsAtTheEnd) {
  const std::string body =
      "4;name=x\r\nWiki\r\n5\r\npedia\r\nE\r\n in\r\n\r\nchunks.\r\n0\r\nTrailer: 1\r\n\r\nNEXT";
  for (size_t piece : {1u, 2u, 3u, 7u, 100u}) {
    ChunkedDecoder::Result result;
    size_t used;
    EXPECT_EQ(DecodeInPieces(body, piece, &result, &used), "Wikipedia in\r\n\r\nchunks.") << piece;
    EXPECT_EQ(result, ChunkedDecoder::kDone);
    EXPECT_EQ(body.substr(used), "NEXT");
  }
}

TEST(ChunkedDecoder, BrokenBodiesFailAndStayFailed) {
  for (const char* bad : {"x\r\n", "4\r\nWikiXX", "4\n", "fffffffffffffffff\r\n", "\r\n"}) {
    ChunkedDecoder decoder;
    std::string out;
    size_t used;
    EXPECT_EQ(decoder.Feed(bad, strlen(bad), &out, &used), ChunkedDecoder::kFailed) << bad;
    EXPECT_EQ(decoder.Feed("0\r\n\r\n", 5, &out, &used), ChunkedDecoder::kFailed);
  }
}

TEST(ChunkedDecoder, FramingLinesAreCapped) {
  struct Case {
    std::string body;
    ChunkedDecoder::Result result;
  };
  std::string many_chunks;
  for (int i = 0; i < 2000; ++i) many_chunks += "1;ext=abc\r\nx\r\n";
  std::string trailers = "3\r\nabc\r\n0\r\n";
  while (trailers.size() < 2 * ChunkedDecoder::kMaxFraming) trailers += "X-More: yes\r\n";
  const std::string long_extension = "3;" + std::string(ChunkedDecoder::kMaxFraming, 'e') + "\r\nabc\r\n0\r\n\r\n";
  const std::string fitting_extension = "3;" + std::string(ChunkedDecoder::kMaxFraming - 8, 'e') + "\r\nabc\r\n0\r\n\r\n";
  const Case cases[] = {
      {many_chunks + "0\r\nA: 1\r\nB: 2\r\n\r\n", ChunkedDecoder::kDone},
      {fitting_extension, ChunkedDecoder::kDone},
      {trailers, ChunkedDecoder::kFailed},
      {long_extension, ChunkedDecoder::kFailed},
      {"3\r\nabc\r\n0;" + std::string(600, 'e') + "\r\nT: " + std::string(600, 't') + "\r\n\r\n",
       ChunkedDecoder::kFailed},
  };
  for (const Case& c : cases) {
    ChunkedDecoder::Result result;
    size_t used;
    DecodeInPieces(c.body, 5, &result, &used);
    EXPECT_EQ(result, c.result) << c.body.substr(0, 40);
  }
}

TEST(ChunkedDecoder, FuzzedBodiesNeverOverrunOrCrash) {
  srand(11);
  const std::string seeds[] = {"a\r\n0123456789\r\n3;x\r\nabc\r\n0\r\n\r\n",
                               "3\r\nabc\r\n0\r\nT: 1\r\nU: " + std::string(1000, 'u') + "\r\n\r\n"};
  for (int round = 0; round < 20000; ++round) {
    std::string body = seeds[round % 2];
    int mutations = 1 + rand() % 4;
    for (int k = 0; k < mutations; ++k) {
      size_t at = rand() % body.size();
      switch (rand() % 3) {
        case 0: body[at] = static_cast<char>(rand()); break;
        case 1: body.insert(at, 1, "0123456789abcdef\r\n;"[rand() % 19]); break;
        default: body.erase(at, 1 + rand() % 3); break;
      }
      if (body.empty()) body = "0";
    }
    ChunkedDecoder::Result result;
    size_t used;
    std::string out = DecodeInPieces(body, 1 + rand() % 8, &result, &used);
    ASSERT_LE(used, body.size());
    ASSERT_LE(out.size(), body.size());
    // The pieces a body comes in change nothing.
    ChunkedDecoder::Result whole_result;
    size_t whole_used;
    ASSERT_EQ(DecodeInPieces(body, body.size(), &whole_result, &whole_used), out);
    ASSERT_EQ(whole_result, result);
    ASSERT_EQ(whole_used, used);
  }
}

TEST(HeadTranslate, FuzzedHeadersNeverCrash) {
  srand(5);
  const std::string seeds[] = {
      "HTTP/1.1 206 Partial\r\nContent-Length: 10\r\nETag: \"x\"\r\nContent-Range: bytes 0-9/10\r\n"
      "Transfer-Encoding: chunked\r\nLocation: http://127.0.0.1/a\r\n\r\n",
      "HTTP/1.1 200 OK\nContent-Length: 10, 10\ncontent-length: 10\r\nLocation: ?v=2\n\n"};
  for (int round = 0; round < 20000; ++round) {
    std::string header = seeds[round % 2];
    if (round % 3 == 0) {
      header.resize(rand() % 1024);
      for (auto& c : header) c = static_cast<char>(rand());
    } else {
      for (int k = 0; k < 1 + rand() % 6; ++k) header[rand() % header.size()] = static_cast<char>(rand());
    }
    CHeadTranslate head = Scan(header);
    EXPECT_GE(head.content_length(), -1);
    if (head.length_invalid()) {
      EXPECT_EQ(head.content_length(), -1);
    }
    EXPECT_LE(head.entity_tag().size(), 31u);
    ParseStatusCode(header.data(), static_cast<uint32_t>(header.size()));
    int32_t end = FindHeaderEnd(header.data(), static_cast<uint32_t>(header.size()));
    ASSERT_GE(end, kHeaderMalformed);
    ASSERT_LE(end, static_cast<int32_t>(header.size()));
    if (end > 0) {
      ASSERT_EQ(header[end - 1], '\n');
      // Nothing before the end is itself an end.
      ASSERT_EQ(FindHeaderEnd(header.data(), static_cast<uint32_t>(end - 1)), kHeaderIncomplete);
    }
  }
}

TEST(Url, SplitsHostPortAndKeepsThePathAsWritten) {
  ParsedUrl u;
  ASSERT_TRUE(ParseUrl(L"http://127.0.0.1:8080/update/a%20b.dat?sig=a%2Bb%26c#frag", &u));
  EXPECT_EQ(u.host, L"127.0.0.1");
  EXPECT_EQ(u.port, 8080);
  EXPECT_EQ(u.path, L"/update/a%20b.dat?sig=a%2Bb%26c");
  ASSERT_TRUE(ParseUrl(L"HTTP://user:pw@host", &u));
  EXPECT_EQ(u.host, L"host");
  EXPECT_EQ(u.port, 80);
  EXPECT_EQ(u.path, L"/");
  ASSERT_TRUE(ParseUrl(L"HTTPS://host/x", &u));
  EXPECT_EQ(u.scheme, L"https");
  EXPECT_EQ(u.port, 443);
  EXPECT_FALSE(ParseUrl(L"gopher://host/x", &u));
  EXPECT_FALSE(ParseUrl(L"host/x", &u));
  EXPECT_FALSE(ParseUrl(L"http://host:99999/x", &u));
  EXPECT_FALSE(ParseUrl(L"http:///x", &u));
}

TEST(Url, RequestTargetKeepsEscapesAndEncodesWhatCannotBeSent) {
  EXPECT_EQ(EncodeRequestTarget(L"/update/6/数据/a b.dat"), "/update/6/%E6%95%B0%E6%8D%AE/a%20b.dat");
  EXPECT_EQ(EncodeRequestTarget(L"/f?sig=a%2Bb%26c%3Dd"), "/f?sig=a%2Bb%26c%3Dd");
  EXPECT_EQ(EncodeRequestTarget(L"/100%/x%4"), "/100%25/x%254");
  EXPECT_EQ(EncodeRequestTarget(L"/plain/x.xml?y=1&z=a+b"), "/plain/x.xml?y=1&z=a+b");
}

TEST(Url, ManifestPathsEscapeEverythingButUnreservedAndSlash) {
  EXPECT_EQ(PercentEncodePath("100%41.dat"), "100%2541.dat");
  EXPECT_EQ(PercentEncodePath("C#1.dat"), "C%231.dat");
  EXPECT_EQ(PercentEncodePath("d/a+b&c=d;e?f g~_-.x"), "d/a%2Bb%26c%3Dd%3Be%3Ff%20g~_-.x");
  EXPECT_EQ(PercentEncodePath("\xE6\x95\xB0"), "%E6%95%B0");
  EXPECT_EQ(UrlFromBytes("/a%2B b\xB5?x"), L"/a%2B%20b%B5?x");
}

TEST(Url, ReferencesResolveAsRfc3986Says) {
  // The examples of RFC 3986, section 5.4.
  const std::wstring base = L"http://a/b/c/d;p?q";
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"g:h", L"g:h"},
      {L"g", L"http://a/b/c/g"},
      {L"./g", L"http://a/b/c/g"},
      {L"g/", L"http://a/b/c/g/"},
      {L"/g", L"http://a/g"},
      {L"//g", L"http://g"},
      {L"?y", L"http://a/b/c/d;p?y"},
      {L"g?y", L"http://a/b/c/g?y"},
      {L"#s", L"http://a/b/c/d;p?q"},
      {L"g#s", L"http://a/b/c/g"},
      {L";x", L"http://a/b/c/;x"},
      {L"", L"http://a/b/c/d;p?q"},
      {L".", L"http://a/b/c/"},
      {L"./", L"http://a/b/c/"},
      {L"..", L"http://a/b/"},
      {L"../g", L"http://a/b/g"},
      {L"../..", L"http://a/"},
      {L"../../g", L"http://a/g"},
      {L"../../../g", L"http://a/g"},
      {L"/./g", L"http://a/g"},
      {L"/../g", L"http://a/g"},
      {L"g.", L"http://a/b/c/g."},
      {L"..g", L"http://a/b/c/..g"},
      {L"./../g", L"http://a/b/g"},
      {L"g/./h", L"http://a/b/c/g/h"},
      {L"g/../h", L"http://a/b/c/h"},
      {L"g?y/./x", L"http://a/b/c/g?y/./x"},
  };
  for (const auto& c : cases) EXPECT_EQ(ResolveReference(base, c.first), c.second) << c.first;

  const std::wstring file = L"http://127.0.0.1:81/update/6/a.dat";
  EXPECT_EQ(ResolveReference(file, L"/ok/f?from=http://x"), L"http://127.0.0.1:81/ok/f?from=http://x");
  EXPECT_EQ(ResolveReference(file, L"?v=2"), L"http://127.0.0.1:81/update/6/a.dat?v=2");
  EXPECT_EQ(ResolveReference(file, L"HTTP://other:82/x"), L"HTTP://other:82/x");
  EXPECT_EQ(ResolveReference(file, L"//other/x"), L"http://other/x");
  EXPECT_EQ(ResolveReference(file, L"../7/./c.dat"), L"http://127.0.0.1:81/update/7/c.dat");
  EXPECT_EQ(ResolveReference(L"http://h:81", L"x"), L"http://h:81/x");
  EXPECT_EQ(ResolveReference(file, L"/f?sig=a%2Bb%26c%3Dd"), L"http://127.0.0.1:81/f?sig=a%2Bb%26c%3Dd");
}

TEST(ChunkedDecoder, LeadingZerosOfAChunkSizeDoNotCountTowardsItsCap) {
  // Servers that pad sizes to a fixed width; the cap is on the value.
  const std::string padded = std::string(20, '0') + "3\r\nabc\r\n" + std::string(40, '0') + "\r\n\r\n";
  for (size_t piece : {1u, 4u, 100u}) {
    ChunkedDecoder::Result result;
    size_t used;
    EXPECT_EQ(DecodeInPieces(padded, piece, &result, &used), "abc") << piece;
    EXPECT_EQ(result, ChunkedDecoder::kDone) << piece;
    EXPECT_EQ(used, padded.size());
  }
  const std::string too_big = "00" + std::string(16, 'f') + "\r\n";
  ChunkedDecoder::Result result;
  size_t used;
  DecodeInPieces(too_big, 1, &result, &used);
  EXPECT_EQ(result, ChunkedDecoder::kFailed);
}

TEST(HeadTranslate, FoldedLinesGoOnTheLineBefore) {
  // Obsolete line folding: a line that begins with a blank continues the
  // one before it.
  CHeadTranslate head = Scan(
      "HTTP/1.1 206 Partial Content\r\nContent-Length:\r\n 34\r\nContent-Type: multipart/byteranges;\r\n"
      "\tboundary=XYZ\r\nConnection: keep-alive,\r\n  close\r\nLocation:\n /x\r\n\r\n");
  EXPECT_EQ(head.content_length(), 34);
  EXPECT_FALSE(head.length_invalid());
  EXPECT_EQ(head.content_type(), "multipart/byteranges; boundary=XYZ");
  EXPECT_FALSE(head.keep_alive());
  EXPECT_EQ(head.location(), "/x");
  // One right after the status line continues no field: it is dropped.
  head = Scan("HTTP/1.1 200 OK\r\n Content-Length: 5\r\nETag: \"t\"\r\n\r\n");
  EXPECT_EQ(head.content_length(), -1);
  EXPECT_EQ(head.entity_tag(), L"t");
  EXPECT_TRUE(head.keep_alive());
}
