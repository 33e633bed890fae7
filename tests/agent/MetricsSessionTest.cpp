#include "agent/MetricsSession.h"

#include <zlib.h>

#include <gtest/gtest.h>


#include "agent/HttpRequest.h"
#include "agent/RRDTemplate.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/support/HttpClient.h"

namespace agent {
namespace {

using Clock = MetricsSession::Clock;
using std::chrono::seconds;

constexpr const char* kPrometheusAccept =
    "application/openmetrics-text;version=1.0.0,application/openmetrics-text;version=0.0.1;"
    "q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1";

using Response = testsupport::HttpResult;

// Splits the session's output into its answers.
std::vector<Response> Responses(std::string_view output, bool head = false) {
  std::vector<Response> responses;
  size_t length = 0;
  while (auto response = testsupport::ParseHttpResponse(output, head, &length)) {
    responses.push_back(std::move(*response));
    output.remove_prefix(length);
  }
  EXPECT_TRUE(output.empty()) << output;
  return responses;
}

std::string Gunzip(const std::string& packed) {
  z_stream stream{};
  EXPECT_EQ(inflateInit2(&stream, 15 + 16), Z_OK);
  std::string out(1 << 20, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
  stream.avail_in = static_cast<uInt>(packed.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  inflateEnd(&stream);
  return out;
}

std::string Get(const std::string& target, const std::string& fields = "") {
  return "GET " + target + " HTTP/1.1\r\nHost: agent\r\n" + fields + "\r\n";
}

class MetricsSessionTest : public AgentHomeTest {
 protected:
  MetricsSessionTest() {
    site_.Exposition = [this](ExpositionFormat format) {
      ++scrapes_;
      return std::string(format == ExpositionFormat::kOpenMetrics ? "open # EOF\n" : "text\n");
    };
    site_.Page = [] { return std::string("<html>page</html>"); };
    site_.Graph = [this](std::string_view name) -> std::optional<std::string> {
      graphs_asked_.emplace_back(name);
      if (name == "CPU-6Horas.gif") return std::string("\x89PNG\r\n\x1a\n-cpu");
      if (name == "NET-6Horas.gif") return std::string("GIF89a-net");
      if (name == "DSKC-6Horas.gif") return std::string("<svg>");
      return std::nullopt;
    };
  }

  MetricsSession Session(bool allowed = true) { return MetricsSession(site_, "10.9.8.7", allowed, start_); }

  // Sends all output at once and returns it.
  static std::string Drain(MetricsSession& session, Clock::time_point now) {
    std::string sent(session.Output());
    session.Sent(sent.size(), now);
    return sent;
  }

  // One request on a fresh session, its answer drained.
  std::string Exchange(const std::string& request) {
    MetricsSession session = Session();
    session.Receive(request, start_);
    return Drain(session, start_);
  }

  MetricsSite site_;
  Clock::time_point start_ = Clock::now();
  int scrapes_ = 0;
  std::vector<std::string> graphs_asked_;
};

TEST_F(MetricsSessionTest, AnswersScrapesOnOneKeptConnectionInTheFormatAskedFor) {
  MetricsSession session = Session();
  EXPECT_TRUE(session.WantsRead());
  session.Receive(Get("/metrics"), start_);
  EXPECT_FALSE(session.WantsRead());  // the answer goes out first
  EXPECT_TRUE(session.WantsWrite());
  std::vector<Response> first = Responses(Drain(session, start_));
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].Status, 200);
  EXPECT_EQ(first[0].Headers["content-type"], kTextContentType);
  EXPECT_EQ(first[0].Headers["connection"], "keep-alive");
  EXPECT_EQ(first[0].Body, "text\n");
  EXPECT_FALSE(session.Done());

  // Prometheus asks for OpenMetrics and gzip.
  session.Receive(Get("/metrics", std::string("Accept: ") + kPrometheusAccept +
                                      "\r\nAccept-Encoding: gzip\r\n"),
                  start_);
  std::vector<Response> second = Responses(Drain(session, start_));
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].Headers["content-type"], kOpenMetricsContentType);
  EXPECT_EQ(second[0].Headers["content-encoding"], "gzip");
  EXPECT_EQ(Gunzip(second[0].Body), "open # EOF\n");

  // HEAD: the GET answer's headers, no body.
  session.Receive("HEAD /metrics HTTP/1.1\r\nHost: agent\r\n\r\n", start_);
  const std::string head = Drain(session, start_);
  EXPECT_TRUE(head.ends_with("Connection: keep-alive\r\n\r\n")) << head;
  EXPECT_EQ(Responses(head, true)[0].Headers["content-length"], "5");
  EXPECT_EQ(scrapes_, 3);
  EXPECT_FALSE(session.Done());
}

TEST_F(MetricsSessionTest, ServesThePageAndOnlyTheListedGraphs) {
  Response page = Responses(Exchange(Get("/")))[0];
  EXPECT_EQ(page.Status, 200);
  EXPECT_EQ(page.Headers["content-type"], "text/html; charset=utf-8");
  EXPECT_EQ(page.Body, "<html>page</html>");

  // The type is the image's own, whatever its name says (rrdtool draws PNG).
  Response graph = Responses(Exchange(Get("/graphs/CPU-6Horas.gif?t=1")))[0];
  EXPECT_EQ(graph.Status, 200);
  EXPECT_EQ(graph.Headers["content-type"], "image/png");
  EXPECT_EQ(graph.Body, "\x89PNG\r\n\x1a\n-cpu");
  EXPECT_EQ(Responses(Exchange(Get("/graphs/NET-6Horas.gif")))[0].Headers["content-type"],
            "image/gif");
  Response unknown = Responses(Exchange(Get("/graphs/DSKC-6Horas.gif")))[0];
  EXPECT_EQ(unknown.Headers["content-type"], "application/octet-stream");
  EXPECT_EQ(unknown.Headers["x-content-type-options"], "nosniff");

  // Only a name of the fixed list ever reaches the site; no path of the
  // request is a file name.
  for (const char* target :
       {"/graphs/MEM-6Horas.gif", "/graphs/../TarvoAgent.cfg", "/graphs/%2e%2e/TarvoAgent.cfg",
        "/graphs/cpu-6horas.gif", "/graphs/CPU-6Horas.gif/", "/graphs/", "/RRDTOOL/CPU.rrd",
        "/metrics/", "/%6detrics", "/index.html", "//metrics"}) {
    EXPECT_EQ(Responses(Exchange(Get(target)))[0].Status, 404) << target;
  }
  EXPECT_EQ(graphs_asked_, (std::vector<std::string>{"CPU-6Horas.gif", "NET-6Horas.gif",
                                                     "DSKC-6Horas.gif", "MEM-6Horas.gif"}));
  EXPECT_EQ(scrapes_, 0);
}

struct RefusalCase {
  const char* name;
  std::string request;
  int status;
  bool closes;
};

TEST_F(MetricsSessionTest, RefusesBadRequestsWithTheirStatus) {
  using namespace std::string_literals;
  const RefusalCase cases[] = {
      {"other path", Get("/nothing"), 404, false},
      {"other method", "POST /metrics HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n", 405, false},
      {"command protocol", "RESUMEMON\n\n", 400, true},
      {"nul bytes", "\0\0\0\r\n\r\n"s, 400, true},
      {"binary", "\x16\x03\x01\x02\x00\x01\r\n\r\n"s, 400, true},
      {"body on get", Get("/metrics", "Content-Length: 4\r\n") + "abcd", 400, true},
      {"chunked get", Get("/metrics", "Transfer-Encoding: chunked\r\n") + "0\r\n\r\n", 400, true},
      {"long request line", "GET /" + std::string(1 << 20, 'a') + " HTTP/1.1\r\n\r\n", 414, true},
      {"large fields", Get("/metrics", "X-Pad: " + std::string(9000, 'x') + "\r\n"), 431, true},
      {"version 2", "GET /metrics HTTP/2.0\r\nHost: a\r\n\r\n", 505, true},
  };
  for (const RefusalCase& c : cases) {
    MetricsSession session = Session();
    session.Receive(c.request, start_);
    std::vector<Response> answers = Responses(Drain(session, start_));
    ASSERT_EQ(answers.size(), 1u) << c.name;
    EXPECT_EQ(answers[0].Status, c.status) << c.name;
    EXPECT_EQ(answers[0].Headers["connection"], c.closes ? "close" : "keep-alive") << c.name;
    EXPECT_EQ(session.Done(), c.closes) << c.name;
  }
  EXPECT_EQ(Responses(Exchange("PUT / HTTP/1.1\r\nHost: a\r\n\r\n"))[0].Headers["allow"],
            "GET, HEAD");
  EXPECT_EQ(scrapes_, 0);
}

TEST_F(MetricsSessionTest, ARequestInSinglePiecesGetsTheSameAnswer) {
  const std::string request = Get("/metrics", "Accept-Encoding: identity\r\n");
  MetricsSession session = Session();
  Clock::time_point now = start_;
  for (const char byte : request) {
    EXPECT_TRUE(session.Output().empty());
    session.Receive(std::string_view(&byte, 1), now);
    now += std::chrono::milliseconds(10);
  }
  EXPECT_EQ(Drain(session, now), Exchange(request));
}

TEST_F(MetricsSessionTest, AnswersPipelinedRequestsInTurnAsEachAnswerIsSent) {
  MetricsSession session = Session();
  session.Receive(Get("/metrics") + Get("/") + "GET /metr", start_);
  // The answer goes out in pieces; the next request waits for its end.
  std::string first(session.Output());
  session.Sent(10, start_);
  EXPECT_EQ(session.Output(), first.substr(10));
  session.Sent(0, start_);
  session.Sent(first.size() - 10, start_);
  const std::vector<Response> second = Responses(Drain(session, start_));
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].Body, "<html>page</html>");
  EXPECT_TRUE(session.WantsRead());
  session.Receive("ics HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n", start_);
  EXPECT_EQ(Responses(Drain(session, start_))[0].Body, "text\n");
  EXPECT_TRUE(session.Done());
  EXPECT_EQ(scrapes_, 2);
}

TEST_F(MetricsSessionTest, APeerThatStopsSendingGetsWhatItAskedForCompletely) {
  MetricsSession whole = Session();
  whole.Receive(Get("/"), start_);
  whole.ReceiveEnd(start_);
  EXPECT_FALSE(whole.Done());
  EXPECT_EQ(Responses(Drain(whole, start_))[0].Status, 200);
  EXPECT_TRUE(whole.Done());

  MetricsSession cut = Session();
  cut.Receive("GET /metrics HTTP/1.1\r\n", start_);
  cut.ReceiveEnd(start_);
  EXPECT_TRUE(cut.Done());
  EXPECT_TRUE(cut.Output().empty());
}

TEST_F(MetricsSessionTest, ClosesASlowHeadAfterTenSecondsAndAnIdleConnectionAfterSixty) {
  // A head sent a byte a second: its deadline stays ten seconds after its first byte.
  MetricsSession slow = Session();
  const std::string request = Get("/metrics");
  for (int second = 0; second < 10; ++second) {
    slow.Receive(request.substr(second, 1), start_ + seconds(second));
    EXPECT_EQ(slow.Deadline(), start_ + seconds(10));
    slow.Expire(start_ + seconds(second));
    EXPECT_FALSE(slow.Done());
  }
  slow.Expire(start_ + seconds(10));
  EXPECT_TRUE(slow.Done());

  // An idle connection: sixty seconds after its start, then after each answer.
  MetricsSession idle = Session();
  EXPECT_EQ(idle.Deadline(), start_ + seconds(60));
  idle.Receive(Get("/"), start_ + seconds(30));
  Drain(idle, start_ + seconds(31));
  EXPECT_EQ(idle.LastActivity(), start_ + seconds(31));
  EXPECT_EQ(idle.Deadline(), start_ + seconds(91));
  idle.Expire(start_ + seconds(90));
  EXPECT_FALSE(idle.Done());
  idle.Expire(start_ + seconds(91));
  EXPECT_TRUE(idle.Done());
  EXPECT_TRUE(idle.Output().empty());

  // A peer that does not read: sixty seconds without progress.
  MetricsSession stuck = Session();
  stuck.Receive(Get("/"), start_);
  stuck.Sent(1, start_ + seconds(5));
  EXPECT_EQ(stuck.Deadline(), start_ + seconds(65));
  stuck.Expire(start_ + seconds(65));
  EXPECT_TRUE(stuck.Done());
}

TEST_F(MetricsSessionTest, AClientSendingWithoutReadingIsClosed) {
  MetricsSession session = Session();
  session.Receive(Get("/"), start_);
  std::string requests;
  while (requests.size() <= 4 * kMaxRequestHeadBytes) requests += Get("/");
  session.Receive(requests, start_);
  EXPECT_TRUE(session.Done());
  EXPECT_FALSE(session.WantsWrite());
}

TEST_F(MetricsSessionTest, ARefusedPeerGets403AndOneLogLine) {
  MetricsSession session = Session(/*allowed=*/false);
  session.Receive(Get("/metrics"), start_);
  const std::vector<Response> answers = Responses(Drain(session, start_));
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].Status, 403);
  EXPECT_TRUE(session.Done());
  EXPECT_EQ(scrapes_, 0);
  EXPECT_EQ(CountLines(Log(), "metrics request from 10.9.8.7 refused: address not in METRICSCLIENTS"),
            1);

  common::AgentConfig config;
  EXPECT_TRUE(MetricsClientAllowed("192.0.2.1", config));
  config.MetricsClientList = std::vector<std::string>{"127.0.0", "10.1"};
  EXPECT_TRUE(MetricsClientAllowed("127.0.0.1", config));
  EXPECT_TRUE(MetricsClientAllowed("10.1.2.3", config));
  EXPECT_FALSE(MetricsClientAllowed("10.10.2.3", config));
}

TEST(NegotiateExpositionFormatTest, TakesOpenMetricsOnlyWhenWeighedAboveText) {
  const std::pair<const char*, ExpositionFormat> cases[] = {
      {kPrometheusAccept, ExpositionFormat::kOpenMetrics},
      {"", ExpositionFormat::kText},
      {"*/*", ExpositionFormat::kText},
      {"application/openmetrics-text", ExpositionFormat::kOpenMetrics},
      {"application/openmetrics-text;version=0.0.1", ExpositionFormat::kText},
      {"application/openmetrics-text;q=0.5,text/plain", ExpositionFormat::kText},
      {"application/openmetrics-text;q=0,*/*", ExpositionFormat::kText},
      {"application/json", ExpositionFormat::kText},
  };
  for (const auto& [accept, format] : cases) {
    EXPECT_EQ(NegotiateExpositionFormat(accept), format) << accept;
  }
  EXPECT_TRUE(AcceptsGzip("gzip, deflate"));
  EXPECT_TRUE(AcceptsGzip("br;q=1, *;q=0.5"));
  EXPECT_FALSE(AcceptsGzip("gzip;q=0, *"));
  EXPECT_FALSE(AcceptsGzip("identity"));
  EXPECT_FALSE(AcceptsGzip(""));
}

}  // namespace
}  // namespace agent
