#include "tests/e2e/TlsAgent.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/AgentClient.h"
#include "tests/support/Processes.h"
#include "tools/AgentConnection.h"

extern char** environ;

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

bool WriteAllTo(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

TlsAgent::TlsAgent() : pki_(install_.folder()), tls_port_(testsupport::FreeTcpPort()) {}

std::vector<std::string> TlsAgent::TlsKeys() const {
  return {"TLSPORT=" + std::to_string(tls_port_), "TLSCERT=server.pem", "TLSKEY=server.key",
          "TLSCA=ca.pem"};
}

bool TlsAgent::Start(const std::vector<std::string>& lines, bool tls) {
  std::vector<std::string> config = TlsKeys();
  config.insert(config.end(), lines.begin(), lines.end());
  install_.WriteConfig(config);
  if (install_.State(kAgentService) == 0 ? install_.StartAgentService() == 0
                                         : install_.Sc({"start", kAgentService}).exit_code != 0) {
    return false;
  }
  if (!testsupport::AgentRequest(port(), "PING\n", std::chrono::seconds(60))) return false;
  if (!tls) return true;
  const std::unique_ptr<common::TlsContext> client = ClientContext(&pki_.client);
  return testsupport::WaitUntil(
      [&] { return client && TlsRequest(tls_port_, *client, "PING\n").has_value(); },
      std::chrono::seconds(60));
}

bool TlsAgent::Stop() {
  return install_.Sc({"stop", kAgentService}).exit_code == 0 &&
         install_.WaitForState(kAgentService, 1);
}

std::vector<std::string> TlsAgent::ClientIdentity(
    const testsupport::IssuedCertificate& client) const {
  return {"-cert", client.certificate_file, "-key", client.key_file};
}

std::unique_ptr<common::TlsContext> TlsAgent::ClientContext(
    const testsupport::IssuedCertificate* client) const {
  common::TlsFileProblem problem;
  return common::TlsContext::ForClient({client != nullptr ? client->certificate_file : "",
                                        client != nullptr ? client->key_file : "",
                                        pki_.ca.files().certificate_file},
                                       &problem);
}

SClientRun OpensslRequest(int port, std::string_view request,
                          const std::vector<std::string>& options) {
  SClientRun run;
  std::vector<std::string> args{"/usr/bin/openssl", "s_client", "-quiet",
                                "-connect", "127.0.0.1:" + std::to_string(port)};
  args.insert(args.end(), options.begin(), options.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    for (const int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
      if (fd >= 0) close(fd);
    }
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  for (const int fd : {in[0], out[1], err[1]}) close(fd);
  if (spawned != 0) {
    for (const int fd : {in[1], out[0], err[0]}) close(fd);
    return run;
  }
  signal(SIGPIPE, SIG_IGN);  // s_client may have ended before it took the request
  WriteAllTo(in[1], request);
  bool quit_sent = false;
  bool out_open = true;
  bool err_open = true;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
  while ((out_open || err_open) && Clock::now() < deadline) {
    pollfd fds[2] = {{out_open ? out[0] : -1, POLLIN, 0}, {err_open ? err[0] : -1, POLLIN, 0}};
    if (poll(fds, 2, 100) <= 0) continue;
    char buffer[65536];
    for (int k = 0; k < 2; ++k) {
      if (fds[k].revents == 0) continue;
      const ssize_t n = read(fds[k].fd, buffer, sizeof(buffer));
      if (n <= 0) {
        (k == 0 ? out_open : err_open) = false;
        continue;
      }
      (k == 0 ? run.received : run.messages).append(buffer, static_cast<size_t>(n));
    }
    if (!quit_sent && !run.received.empty()) quit_sent = WriteAllTo(in[1], "QUIT\n");
  }
  run.ended = !out_open;
  for (const int fd : {in[1], out[0], err[0]}) close(fd);
  testsupport::KillProcess(pid);
  waitpid(pid, nullptr, 0);
  return run;
}

std::optional<std::string> FramedReply(const std::string& received) {
  if (received.size() < 2 || received.front() != '\0' || received.back() != '\0') {
    return std::nullopt;
  }
  return received.substr(1, received.size() - 2);
}

std::optional<std::string> TlsRequest(int port, const common::TlsContext& context,
                                      const std::string& request) {
  std::string failure;
  const auto connection = tools::AgentConnection::Open(
      "127.0.0.1", port, &context, {}, Clock::now() + std::chrono::seconds(30), &failure);
  if (!connection) return std::nullopt;
  return tools::ExchangeRequest(*connection, request, &failure);
}

int ConnectTo(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in agent{};
  agent.sin_family = AF_INET;
  agent.sin_port = htons(static_cast<uint16_t>(port));
  agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&agent), sizeof(agent)) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

BlockingTlsClient::BlockingTlsClient(int port, const testsupport::TestPki& pki, int max_version)
    : context_(SSL_CTX_new(TLS_client_method())), fd_(ConnectTo(port)), ssl_(nullptr) {
  if (max_version != 0) SSL_CTX_set_max_proto_version(context_, max_version);
  SSL_CTX_use_certificate_file(context_, pki.client.certificate_file.c_str(), SSL_FILETYPE_PEM);
  SSL_CTX_use_PrivateKey_file(context_, pki.client.key_file.c_str(), SSL_FILETYPE_PEM);
  const timeval limit{30, 0};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  ssl_ = SSL_new(context_);
  SSL_set_fd(ssl_, fd_);
}

BlockingTlsClient::~BlockingTlsClient() {
  SSL_free(ssl_);
  SSL_CTX_free(context_);
  if (fd_ >= 0) close(fd_);
}

bool WaitForClose(int fd, std::chrono::seconds deadline) {
  const Clock::time_point until = Clock::now() + deadline;
  char buffer[65536];
  while (Clock::now() < until) {
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, 100) <= 0) continue;
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) return true;
  }
  return false;
}

}  // namespace e2e
