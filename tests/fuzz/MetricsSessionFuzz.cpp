// Arbitrary bytes through a metrics endpoint connection, delivered in pieces
// over simulated time, with its answers taken in pieces too. The first byte
// picks the piece size and whether the peer is refused. A broken rule of the
// session (an answer that is not HTTP, a connection that never ends once the
// peer has stopped) aborts.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "agent/MetricsSession.h"
#include "tests/fuzz/FuzzHome.h"

namespace {

const agent::MetricsSite& Site() {
  static const agent::MetricsSite site{
      [](agent::ExpositionFormat format) {
        return std::string(format == agent::ExpositionFormat::kOpenMetrics
                               ? "tarvo_x 1\n# EOF\n"
                               : "tarvo_x 1\n");
      },
      [] { return std::string("<html></html>"); },
      [](std::string_view name) -> std::optional<std::string> { return std::string(name); }};
  return site;
}

// An answer begins with its status line: output that appears while none was
// waiting must start with one.
void CheckFreshOutput(const agent::MetricsSession& session) {
  const std::string_view output = session.Output();
  if (!output.empty() && !output.starts_with("HTTP/1.1 ")) std::abort();
}

// The peer takes count bytes of the waiting output.
void Take(agent::MetricsSession& session, size_t count, agent::MetricsSession::Clock::time_point now) {
  const bool all = count >= session.Output().size();
  session.Sent(count, now);
  if (all) CheckFreshOutput(session);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::FuzzHome();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t piece = 1 + (control >> 1);
  auto now = agent::MetricsSession::Clock::time_point{} + std::chrono::hours(1);
  agent::MetricsSession session(Site(), "192.0.2.1", (control & 1) == 0, now);

  while (!rest.empty() && !session.Done()) {
    const std::string_view bytes = rest.substr(0, piece);
    rest.remove_prefix(bytes.size());
    const bool waiting = !session.Output().empty();
    session.Receive(bytes, now);
    if (!waiting) CheckFreshOutput(session);
    // The peer reads a little of each answer.
    Take(session, std::min(session.Output().size(), piece + 3), now);
    now += std::chrono::seconds(1);
    if (now >= session.Deadline()) session.Expire(now);
  }
  const bool waiting = !session.Output().empty();
  session.ReceiveEnd(now);
  if (!waiting) CheckFreshOutput(session);
  // Once the peer stops sending, the answers it asked for go out and the
  // connection ends.
  for (int turn = 0; turn < 1000 && !session.Done(); ++turn) {
    if (session.Output().empty()) std::abort();
    Take(session, session.Output().size(), now);
  }
  if (!session.Done()) std::abort();
  return 0;
}
