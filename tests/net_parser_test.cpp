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

TEST(HeadTranslate, HeaderNamesMatchWithoutCaseAndTheLastLineWins) {
  CHeadTranslate head = Scan(
      "HTTP/1.1 206 Partial Content\r\ncontent-length: 12\r\nCONTENT-LENGTH:  34 \r\n"
      "ETag: \"5f-abc\"\r\ncontent-range: bytes 100-133/200\r\nlocation: /x\r\n\r\n");
  EXPECT_EQ(head.content_length(), 34);
  EXPECT_EQ(head.entity_tag(), L"5f-abc");
  EXPECT_EQ(head.range_start(), 100);
  EXPECT_EQ(head.location(), "/x");
  EXPECT_FALSE(head.chunked());
}

TEST(HeadTranslate, MissingOrInvalidLengthsAndWeakTagsAreNotTaken) {
  EXPECT_EQ(Scan("HTTP/1.1 200 OK\r\n\r\n").content_length(), -1);
  EXPECT_EQ(Scan("HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n").content_length(), -1);
  EXPECT_EQ(Scan("HTTP/1.1 200 OK\r\nContent-Length: 12x\r\n\r\n").content_length(), -1);
  EXPECT_EQ(Scan("HTTP/1.1 200 OK\r\nETag: W/\"weak\"\r\n\r\n").entity_tag(), L"");
  EXPECT_TRUE(Scan("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n").chunked());
  // A last piece without CR LF is not a line.
  EXPECT_EQ(Scan("HTTP/1.1 200 OK\r\nContent-Length: 9").content_length(), -1);
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

TEST(ChunkedDecoder, FuzzedBodiesNeverOverrunOrCrash) {
  srand(11);
  const std::string seed = "a\r\n0123456789\r\n3;x\r\nabc\r\n0\r\n\r\n";
  for (int round = 0; round < 20000; ++round) {
    std::string body = seed;
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
  }
}

TEST(HeadTranslate, FuzzedHeadersNeverCrash) {
  srand(5);
  const std::string seed =
      "HTTP/1.1 206 Partial\r\nContent-Length: 10\r\nETag: \"x\"\r\nContent-Range: bytes 0-9/10\r\n"
      "Transfer-Encoding: chunked\r\nLocation: http://127.0.0.1/a\r\n\r\n";
  for (int round = 0; round < 20000; ++round) {
    std::string header = seed;
    if (round % 3 == 0) {
      header.resize(rand() % 1024);
      for (auto& c : header) c = static_cast<char>(rand());
    } else {
      for (int k = 0; k < 1 + rand() % 6; ++k) header[rand() % header.size()] = static_cast<char>(rand());
    }
    CHeadTranslate head = Scan(header);
    EXPECT_GE(head.content_length(), -1);
    EXPECT_LE(head.entity_tag().size(), 31u);
    ParseStatusCode(header.data(), static_cast<uint32_t>(header.size()));
  }
}

TEST(Url, SplitsHostPortAndUnescapedPath) {
  ParsedUrl u;
  ASSERT_TRUE(ParseUrl(L"http://127.0.0.1:8080/update/a%20b.dat?x=1#frag", &u));
  EXPECT_EQ(u.host, L"127.0.0.1");
  EXPECT_EQ(u.port, 8080);
  EXPECT_EQ(u.path, L"/update/a b.dat?x=1");
  ASSERT_TRUE(ParseUrl(L"HTTP://user:pw@host", &u));
  EXPECT_EQ(u.host, L"host");
  EXPECT_EQ(u.port, 80);
  EXPECT_EQ(u.path, L"/");
  EXPECT_FALSE(ParseUrl(L"https://host/x", &u));
  EXPECT_FALSE(ParseUrl(L"host/x", &u));
  EXPECT_FALSE(ParseUrl(L"http://host:99999/x", &u));
  EXPECT_FALSE(ParseUrl(L"http:///x", &u));
}

TEST(Url, RequestTargetEncodesBytesOutsideVisibleAscii) {
  EXPECT_EQ(EncodeRequestTarget(L"/update/6/数据/a b%.dat"),
            "/update/6/%E6%95%B0%E6%8D%AE/a%20b%25.dat");
  EXPECT_EQ(EncodeRequestTarget(L"/plain/x.xml?y=1"), "/plain/x.xml?y=1");
}

TEST(Url, LocationsResolveAgainstTheRequestUrl) {
  const std::wstring base = L"http://127.0.0.1:81/update/6/a.dat";
  EXPECT_EQ(ResolveLocation(base, L"http://other/x"), L"http://other/x");
  EXPECT_EQ(ResolveLocation(base, L"//other/x"), L"http://other/x");
  EXPECT_EQ(ResolveLocation(base, L"/root/y"), L"http://127.0.0.1:81/root/y");
  EXPECT_EQ(ResolveLocation(base, L"b.dat"), L"http://127.0.0.1:81/update/6/b.dat");
  EXPECT_EQ(ResolveLocation(base, L"../7/./c.dat"), L"http://127.0.0.1:81/update/7/c.dat");
  EXPECT_EQ(ResolveLocation(base, L"../../../../etc"), L"http://127.0.0.1:81/etc");
}
