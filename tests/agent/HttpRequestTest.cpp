#include "agent/HttpRequest.h"

#include <gtest/gtest.h>

#include <string>

namespace agent {
namespace {

using namespace std::string_literals;

struct HeadCase {
  const char* name;
  std::string bytes;
  HeadStatus status;
};

// Every head below is complete (it ends in an empty line) unless said.
const HeadCase kHeadCases[] = {
    {"get", "GET /metrics HTTP/1.1\r\nHost: h\r\n\r\n", HeadStatus::kComplete},
    {"bare line feeds", "GET / HTTP/1.1\nHost: h\n\n", HeadStatus::kComplete},
    {"empty lines first", "\r\n\r\nGET / HTTP/1.1\r\nHost: h\r\n\r\n", HeadStatus::kComplete},
    {"http 1.0 without host", "GET / HTTP/1.0\r\n\r\n", HeadStatus::kComplete},
    {"any method token", "BREW / HTTP/1.1\r\nHost: h\r\n\r\n", HeadStatus::kComplete},
    {"not ended", "GET / HTTP/1.1\r\nHost: h\r\n", HeadStatus::kIncomplete},
    {"no host in 1.1", "GET / HTTP/1.1\r\n\r\n", HeadStatus::kBadRequest},
    {"two hosts", "GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", HeadStatus::kBadRequest},
    {"command protocol", "RESUMEMON\r\n\r\n", HeadStatus::kBadRequest},
    {"two blanks", "GET  / HTTP/1.1\r\nHost: h\r\n\r\n", HeadStatus::kBadRequest},
    {"nul in target", "GET /me\0trics HTTP/1.1\r\nHost: h\r\n\r\n"s, HeadStatus::kBadRequest},
    {"nul in field", "GET / HTTP/1.1\r\nHost: h\0x\r\n\r\n"s, HeadStatus::kBadRequest},
    {"high byte in target", "GET /\xe9 HTTP/1.1\r\nHost: h\r\n\r\n", HeadStatus::kBadRequest},
    {"blank before colon", "GET / HTTP/1.1\r\nHost : h\r\n\r\n", HeadStatus::kBadRequest},
    {"folded field", "GET / HTTP/1.1\r\nHost: h\r\nAccept: a,\r\n b\r\n\r\n",
     HeadStatus::kBadRequest},
    {"field without colon", "GET / HTTP/1.1\r\nHost: h\r\nnonsense\r\n\r\n",
     HeadStatus::kBadRequest},
    {"relative target", "GET metrics HTTP/1.1\r\nHost: h\r\n\r\n", HeadStatus::kBadRequest},
    {"lower-case version", "GET / http/1.1\r\nHost: h\r\n\r\n", HeadStatus::kBadRequest},
    {"two lengths", "GET / HTTP/1.1\r\nHost: h\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n",
     HeadStatus::kBadRequest},
    {"signed length", "GET / HTTP/1.1\r\nHost: h\r\nContent-Length: +1\r\n\r\n",
     HeadStatus::kBadRequest},
    {"version 2", "GET / HTTP/2.0\r\nHost: h\r\n\r\n", HeadStatus::kVersionUnknown},
    {"version 1.2", "GET / HTTP/1.2\r\nHost: h\r\n\r\n", HeadStatus::kVersionUnknown},
    {"request line of 1 MiB", "GET /" + std::string(1 << 20, 'a'), HeadStatus::kUriTooLong},
    {"empty lines past the limit", std::string(kMaxRequestHeadBytes + 2, '\n'),
     HeadStatus::kUriTooLong},
    {"fields past the limit",
     "GET / HTTP/1.1\r\nHost: h\r\nX-Pad: " + std::string(kMaxRequestHeadBytes, 'p') + "\r\n\r\n",
     HeadStatus::kHeadTooLarge},
    {"fields past the limit, not ended",
     "GET / HTTP/1.1\r\nX-Pad: " + std::string(kMaxRequestHeadBytes, 'p'),
     HeadStatus::kHeadTooLarge},
};

TEST(ParseRequestHeadTest, AnswersEachHeadWithItsStatus) {
  for (const HeadCase& c : kHeadCases) {
    EXPECT_EQ(ParseRequestHead(c.bytes).Status, c.status) << c.name;
  }
}

TEST(ParseRequestHeadTest, ReadsTheFieldsTheEndpointUses) {
  const std::string head =
      "GET http://agent:9464/metrics?debug=1 HTTP/1.1\r\nhost: agent\r\n"
      "ACCEPT: text/plain\r\nAccept: */*;q=0.1\r\nAccept-Encoding:\tgzip \r\n"
      "Connection: Upgrade, close\r\n\r\nGET / HTTP/1.1\r\n";
  const HeadParse parse = ParseRequestHead(head);
  ASSERT_EQ(parse.Status, HeadStatus::kComplete);
  EXPECT_EQ(parse.Length, head.find("GET /"));
  EXPECT_EQ(parse.Request.Method, "GET");
  EXPECT_EQ(parse.Request.Path, "/metrics");
  EXPECT_EQ(parse.Request.Accept, "text/plain,*/*;q=0.1");
  EXPECT_EQ(parse.Request.AcceptEncoding, "gzip");
  EXPECT_FALSE(parse.Request.KeepAlive);
  EXPECT_FALSE(parse.Request.HasBody);

  const HeadParse old = ParseRequestHead("HEAD / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
  ASSERT_EQ(old.Status, HeadStatus::kComplete);
  EXPECT_EQ(old.Request.MinorVersion, 0);
  EXPECT_TRUE(old.Request.KeepAlive);
  EXPECT_FALSE(ParseRequestHead("GET / HTTP/1.0\r\n\r\n").Request.KeepAlive);
}

TEST(ParseRequestHeadTest, RecognisesABodySoItCanBeRefused) {
  const auto body_of = [](const std::string& field) {
    return ParseRequestHead("GET / HTTP/1.1\r\nHost: h\r\n" + field + "\r\n\r\n").Request.HasBody;
  };
  EXPECT_TRUE(body_of("Content-Length: 5"));
  EXPECT_TRUE(body_of("Transfer-Encoding: chunked"));
  EXPECT_FALSE(body_of("Content-Length: 000"));
}

TEST(FindHeadEndTest, FindsTheEndWhenScanningOnlyTheNewPart) {
  const std::string head = "GET / HTTP/1.1\r\nHost: h\r\n\r\n";
  for (size_t cut = 0; cut < head.size(); ++cut) {
    // The caller scanned head[0, cut) without finding the end.
    EXPECT_FALSE(FindHeadEnd(std::string_view(head).substr(0, cut)));
    EXPECT_EQ(FindHeadEnd(head, cut > 3 ? cut - 3 : 0), head.size()) << cut;
  }
  EXPECT_FALSE(FindHeadEnd("\r\n\r\n\n"));
}

TEST(ParseWeightedListTest, ReadsValuesVersionsAndWeights) {
  const auto items = ParseWeightedList(
      "Application/OpenMetrics-Text; version=\"1.0.0\",text/plain;q=0.5;version=0.0.4, ,"
      "*/*;q=1.5,gzip;q=0.001");
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(items[0].Value, "application/openmetrics-text");
  EXPECT_EQ(items[0].Version, "1.0.0");
  EXPECT_EQ(items[0].Quality, 1);
  EXPECT_EQ(items[1].Version, "0.0.4");
  EXPECT_EQ(items[1].Quality, 0.5);
  EXPECT_EQ(items[2].Quality, 0);  // not a weight
  EXPECT_DOUBLE_EQ(items[3].Quality, 0.001);
}

}  // namespace
}  // namespace agent
