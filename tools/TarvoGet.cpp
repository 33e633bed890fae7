#include "tools/TarvoGet.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/AgentConnection.h"

namespace tools {
namespace {

constexpr const char* kUsage =
    "usage: tarvo-get [-s HOST] [-p PORT] [-t SECONDS] [--tls] [--cert FILE --key FILE]\n"
    "                 [--ca FILE] REQUEST...\n";
constexpr const char* kHelp =
    "Sends each REQUEST to the agent on a connection of its own and prints its reply.\n"
    "  -s HOST       the agent's host name or address (127.0.0.1)\n"
    "  -p PORT       its command port, or its TLSPORT with --tls (9000)\n"
    "  -t SECONDS    time allowed for each request, connection included (75)\n"
    "  --tls         speak TLS; the agent's certificate must be signed by an authority\n"
    "                of --ca (else of the system's) and name HOST\n"
    "  --cert FILE, --key FILE   client certificate and key (PEM) to show the agent\n"
    "  --ca FILE     PEM bundle of the authorities trusted for the agent's certificate\n"
    "Exit status: 0 every reply came, 1 a request got no whole reply, 2 bad arguments.\n";

// A little more than the agent's default PROCESSTIMEOUT, so that the reply of
// a program it runs arrives.
constexpr double kDefaultSeconds = 75;

struct Options {
  std::string host = "127.0.0.1";
  int port = 9000;
  double seconds = kDefaultSeconds;
  bool tls = false;
  common::TlsFiles files;
  std::vector<std::string> requests;
};

std::optional<double> Number(const char* text, double low, double high) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(value >= low && value <= high)) {
    return std::nullopt;
  }
  return value;
}

int UsageError(const std::string& problem) {
  std::fprintf(stderr, "tarvo-get: %s\n%s", problem.c_str(), kUsage);
  return kTarvoGetUsage;
}

// Reads the arguments into options; a non-zero result is the exit status.
int ParseOptions(int argc, char** argv, Options& options) {
  bool options_end = false;
  for (int k = 1; k < argc; ++k) {
    const std::string_view argument(argv[k]);
    if (options_end || argument.empty() || argument.front() != '-') {
      options.requests.emplace_back(argument);
      continue;
    }
    if (argument == "--") {
      options_end = true;
      continue;
    }
    if (argument == "-h" || argument == "--help") {
      std::fputs(kUsage, stdout);
      std::fputs(kHelp, stdout);
      std::exit(kTarvoGetAllReplied);
    }
    if (argument == "--tls") {
      options.tls = true;
      continue;
    }
    if (k + 1 >= argc) return UsageError(std::string(argument) + " needs a value");
    const char* value = argv[++k];
    if (argument == "-s") {
      options.host = value;
    } else if (argument == "-p") {
      const std::optional<double> port = Number(value, 1, 65535);
      if (!port || *port != static_cast<int>(*port))
        return UsageError("bad port " + std::string(value));
      options.port = static_cast<int>(*port);
    } else if (argument == "-t") {
      const std::optional<double> seconds = Number(value, 0.001, 86400);
      if (!seconds) return UsageError("bad time " + std::string(value));
      options.seconds = *seconds;
    } else if (argument == "--cert") {
      options.files.Certificate = value;
    } else if (argument == "--key") {
      options.files.Key = value;
    } else if (argument == "--ca") {
      options.files.Authority = value;
    } else {
      return UsageError("unknown option " + std::string(argument));
    }
  }
  if (options.requests.empty()) return UsageError("no request");
  if (options.files.Certificate.empty() != options.files.Key.empty()) {
    return UsageError("--cert and --key go together");
  }
  const common::TlsFiles& files = options.files;
  if (!options.tls && !(files.Certificate.empty() && files.Authority.empty())) {
    return UsageError("--cert, --key and --ca need --tls");
  }
  return 0;
}

const char* OptionOf(common::TlsFileProblem::File file) {
  switch (file) {
    case common::TlsFileProblem::File::kCertificate:
      return "--cert";
    case common::TlsFileProblem::File::kKey:
      return "--key";
    case common::TlsFileProblem::File::kAuthority:
      return "--ca";
  }
  return "";
}

void WriteReply(const std::string& reply) {
  std::fwrite(reply.data(), 1, reply.size(), stdout);
  // On a terminal the next reply, or the prompt, starts a line of its own.
  if (isatty(STDOUT_FILENO) && !reply.empty() && reply.back() != '\n') std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

int TarvoGetMain(int argc, char** argv) {
  Options options;
  if (const int status = ParseOptions(argc, argv, options); status != 0) return status;

  std::unique_ptr<common::TlsContext> tls;
  if (options.tls) {
    common::TlsFileProblem problem;
    tls = common::TlsContext::ForClient(options.files, &problem);
    if (!tls) {
      std::fprintf(stderr, "tarvo-get: %s file %s %s\n", OptionOf(problem.Which),
                   problem.Path.c_str(), problem.Problem.c_str());
      return kTarvoGetUsage;
    }
  }
  const std::string agent = options.host + ":" + std::to_string(options.port);
  const auto allowed =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
  common::TlsResumption resume;
  for (const std::string& request : options.requests) {
    std::string failure;
    const Clock::time_point deadline = Clock::now() + allowed;
    std::optional<std::string> reply;
    if (const auto connection = AgentConnection::Open(options.host, options.port, tls.get(), resume,
                                                      deadline, &failure)) {
      reply = ExchangeRequest(*connection, request, &failure);
      // Later requests resume the session, skipping the certificates' work.
      if (common::TlsResumption saved = connection->SavedSession()) resume = std::move(saved);
    }
    if (!reply) {
      if (failure == "time-out") {
        char seconds[32];
        std::snprintf(seconds, sizeof(seconds), "%g", options.seconds);
        failure = "time-out after " + std::string(seconds) + " s";
      }
      std::fprintf(stderr, "tarvo-get: %s: %s\n", agent.c_str(), failure.c_str());
      return kTarvoGetNoReply;
    }
    WriteReply(*reply);
  }
  return kTarvoGetAllReplied;
}

}  // namespace tools
