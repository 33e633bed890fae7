#include "agent/MetricsSession.h"

#include <algorithm>

#include "agent/Gzip.h"
#include "agent/HttpRequest.h"
#include "agent/RRDTemplate.h"
#include "agent/RemoteClients.h"
#include "common/TextUtil.h"
#include "common/WriteLog.h"

namespace agent {
namespace {

constexpr std::string_view kGraphPrefix = "/graphs/";
constexpr std::string_view kPlainText = "text/plain; charset=utf-8";

// Input held while an answer is sent: a client that sends requests without
// reading the answers is closed instead of buffered without end.
constexpr size_t kMaxHeldInput = 4 * kMaxRequestHeadBytes;

struct HttpAnswer {
  int Status = 200;
  std::string ContentType;
  std::string Body;
  std::string ExtraHeaders;  // whole lines, each ended by CR LF
};

std::string_view ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 505: return "HTTP Version Not Supported";
    default: return "Internal Server Error";
  }
}

// A short plain-text answer for a refusal.
HttpAnswer Refusal(int status, std::string_view why = {}) {
  std::string body = std::to_string(status) + " " + std::string(ReasonPhrase(status));
  if (!why.empty()) body += ": " + std::string(why);
  return {status, std::string(kPlainText), body + "\n", {}};
}

// The whole response; a HEAD answer carries the headers of the GET answer only.
std::string ResponseText(const HttpAnswer& answer, bool head_only, bool keep_alive) {
  std::string text = "HTTP/1.1 " + std::to_string(answer.Status) + " " +
                     std::string(ReasonPhrase(answer.Status)) + "\r\n";
  text += "Content-Type: " + answer.ContentType + "\r\n";
  text += "Content-Length: " + std::to_string(answer.Body.size()) + "\r\n";
  text += answer.ExtraHeaders;
  text += keep_alive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
  if (!head_only) text += answer.Body;
  return text;
}

// The type of a graph image told by its first bytes, not by its name: the
// graph script names its images .gif, but rrdtool draws PNG unless told
// otherwise (and an edited script may say so).
std::string_view ImageType(std::string_view bytes) {
  if (bytes.starts_with("\x89PNG\r\n\x1a\n")) return "image/png";
  if (bytes.starts_with("GIF87a") || bytes.starts_with("GIF89a")) return "image/gif";
  return "application/octet-stream";
}

bool IsGraphName(std::string_view name) {
  return std::find(kRrdGraphFiles.begin(), kRrdGraphFiles.end(), name) != kRrdGraphFiles.end();
}

HttpAnswer MetricsAnswer(const MetricsSite& site, const HttpRequest& request) {
  const ExpositionFormat format = NegotiateExpositionFormat(request.Accept);
  HttpAnswer answer{200,
                std::string(format == ExpositionFormat::kOpenMetrics ? kOpenMetricsContentType
                                                                      : kTextContentType),
                site.Exposition(format), "Vary: Accept, Accept-Encoding\r\n"};
  if (AcceptsGzip(request.AcceptEncoding)) {
    if (auto packed = GzipCompress(answer.Body)) {
      answer.Body = std::move(*packed);
      answer.ExtraHeaders += "Content-Encoding: gzip\r\n";
    }
  }
  return answer;
}

// The answer to a well-formed request from an allowed peer.
HttpAnswer Route(const MetricsSite& site, const HttpRequest& request) {
  if (request.Method != "GET" && request.Method != "HEAD") {
    HttpAnswer answer = Refusal(405);
    answer.ExtraHeaders = "Allow: GET, HEAD\r\n";
    return answer;
  }
  // A request body has no meaning here; its length is not trusted to skip it.
  if (request.HasBody) return Refusal(400, "a request body is not accepted");
  if (request.Path == "/metrics") return MetricsAnswer(site, request);
  if (request.Path == "/") {
    return {200, "text/html; charset=utf-8", site.Page(), "Cache-Control: no-cache\r\n"};
  }
  // Only names of the fixed list reach the site; nothing of the path is a file name.
  if (request.Path.starts_with(kGraphPrefix)) {
    const std::string_view name = std::string_view(request.Path).substr(kGraphPrefix.size());
    if (IsGraphName(name)) {
      if (auto image = site.Graph(name)) {
        const std::string type(ImageType(*image));
        return {200, type, std::move(*image),
                "Cache-Control: no-cache\r\nX-Content-Type-Options: nosniff\r\n"};
      }
    }
  }
  return Refusal(404);
}

int StatusOf(HeadStatus status) {
  switch (status) {
    case HeadStatus::kUriTooLong: return 414;
    case HeadStatus::kHeadTooLarge: return 431;
    case HeadStatus::kVersionUnknown: return 505;
    default: return 400;
  }
}

}  // namespace

bool MetricsClientAllowed(std::string_view peer_address, const common::AgentConfig& config) {
  return !config.MetricsClientList ||
         RemoteClientAllowed(peer_address, *config.MetricsClientList);
}

ExpositionFormat NegotiateExpositionFormat(std::string_view accept) {
  double open_metrics = 0;
  double text = 0;
  for (const WeightedItem& item : ParseWeightedList(accept)) {
    const bool any_version = item.Version.empty();
    if ((item.Value == "application/openmetrics-text" && (any_version || item.Version == "1.0.0")) ||
        item.Value == "application/*") {
      open_metrics = std::max(open_metrics, item.Quality);
    } else if ((item.Value == "text/plain" && (any_version || item.Version == "0.0.4")) ||
               item.Value == "text/*" || item.Value == "*/*") {
      text = std::max(text, item.Quality);
    }
  }
  return open_metrics > 0 && open_metrics > text ? ExpositionFormat::kOpenMetrics
                                                 : ExpositionFormat::kText;
}

bool AcceptsGzip(std::string_view accept_encoding) {
  std::optional<double> gzip;
  std::optional<double> any;
  for (const WeightedItem& item : ParseWeightedList(accept_encoding)) {
    if (item.Value == "gzip" || item.Value == "x-gzip") gzip = std::max(gzip.value_or(0), item.Quality);
    if (item.Value == "*") any = item.Quality;
  }
  return gzip ? *gzip > 0 : any.value_or(0) > 0;
}

MetricsSession::MetricsSession(const MetricsSite& site, std::string peer_address,
                               bool peer_allowed, Clock::time_point now)
    : site_(site),
      peer_address_(std::move(peer_address)),
      peer_allowed_(peer_allowed),
      head_started_(now),
      last_activity_(now) {}

void MetricsSession::Receive(std::string_view bytes, Clock::time_point now) {
  if (Done() || closing_ || bytes.empty()) return;
  if (input_.empty()) head_started_ = now;
  input_.append(bytes);
  if (input_.size() > kMaxHeldInput && !Output().empty()) {
    aborted_ = true;
    return;
  }
  AnswerRequests(now);
}

void MetricsSession::ReceiveEnd(Clock::time_point now) {
  peer_ended_ = true;
  AnswerRequests(now);
  // A request cut short is never answered.
  if (Output().empty()) closing_ = true;
}

void MetricsSession::Sent(size_t count, Clock::time_point now) {
  output_sent_ = std::min(output_.size(), output_sent_ + count);
  if (count > 0) last_activity_ = now;
  if (!Output().empty()) return;
  output_.clear();
  output_sent_ = 0;
  // A request that came in behind the answer has waited since it was sent.
  if (!input_.empty()) head_started_ = now;
  AnswerRequests(now);
  if (peer_ended_ && Output().empty()) closing_ = true;
}

MetricsSession::Clock::time_point MetricsSession::Deadline() const {
  if (Done()) return Clock::time_point::min();
  if (!Output().empty() || input_.empty()) return last_activity_ + kMetricsIdleLimit;
  return head_started_ + kMetricsHeadLimit;
}

void MetricsSession::Expire(Clock::time_point now) {
  if (now >= Deadline()) aborted_ = true;
}

void MetricsSession::AnswerRequests(Clock::time_point now) {
  while (!Done() && !closing_ && Output().empty() && !input_.empty()) {
    const std::optional<size_t> end = FindHeadEnd(input_, scanned_ > 3 ? scanned_ - 3 : 0);
    if (!end) {
      scanned_ = input_.size();
      // A head that cannot end within the limit is answered at once.
      if (input_.size() > kMaxRequestHeadBytes) Answer(input_, now);
      return;
    }
    const size_t length = std::min(*end, kMaxRequestHeadBytes + 1);
    Answer(std::string_view(input_).substr(0, length), now);
    input_.erase(0, *end);
    scanned_ = 0;
    head_started_ = now;
  }
}

void MetricsSession::Answer(std::string_view head_bytes, Clock::time_point now) {
  last_activity_ = now;
  const HeadParse parse = ParseRequestHead(head_bytes);
  if (!peer_allowed_) {
    common::WriteLog(common::GeneralDateTextNow() + " metrics request from " + peer_address_ +
                         " refused: address not in METRICSCLIENTS",
                     2);
    Queue(ResponseText(Refusal(403), false, false), true);
    return;
  }
  if (parse.Status != HeadStatus::kComplete) {
    Queue(ResponseText(Refusal(StatusOf(parse.Status)), false, false), true);
    return;
  }
  const HttpRequest& request = parse.Request;
  const HttpAnswer answer = Route(site_, request);
  // After a refused body the bytes that follow are not a request: close.
  const bool keep_alive = request.KeepAlive && !request.HasBody;
  Queue(ResponseText(answer, request.Method == "HEAD", keep_alive), !keep_alive);
}

void MetricsSession::Queue(std::string response, bool close_after) {
  output_ = std::move(response);
  output_sent_ = 0;
  if (close_after) closing_ = true;
}

}  // namespace agent
