#include "tests/e2e/AgentInstall.h"

#include <filesystem>
#include <regex>

namespace e2e {
namespace {

using testsupport::ProgramResult;

std::string Field(const std::string& query_output, const std::string& name) {
  std::smatch match;
  const std::regex pattern(name + R"(\s*:\s*(\d+))");
  if (std::regex_search(query_output, match, pattern)) return match[1];
  return {};
}

}  // namespace

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

AgentInstall::AgentInstall() : agent_(home_.Path("AgentTarvoService")), port_(testsupport::FreeTcpPort()) {
  std::filesystem::copy_file(TARVO_AGENT_BINARY, agent_);
}

AgentInstall::~AgentInstall() {
  for (const std::string& service : started_) {
    const pid_t pid = Pid(service);
    if (pid <= 0) continue;
    if (Sc({"stop", service}).exit_code == 0) WaitForState(service, 1);
    testsupport::KillProcess(pid);  // only when it is still there
  }
}

void AgentInstall::WriteConfig(const std::vector<std::string>& lines) const {
  std::string text = "PORT=" + std::to_string(port_) + "\r\nLISTEN=127.0.0.1";
  for (const std::string& line : lines) text += "\r\n" + line;
  testsupport::WriteAll(Path("TarvoAgent.cfg"), text);
}

std::string AgentInstall::Log() const { return testsupport::ReadAll(Path("TarvoAgent.log")); }

ProgramResult AgentInstall::Sc(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{TARVO_SC_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return testsupport::RunProgram(argv, {{"TARVO_SCM_ROOT", Path("scm")}});
}

int AgentInstall::State(const std::string& service) const {
  const std::string state = Field(Sc({"query", service}).output, "STATE");
  return state.empty() ? 0 : std::stoi(state);
}

pid_t AgentInstall::Pid(const std::string& service) const {
  const std::string pid = Field(Sc({"query", service}).output, "PID");
  return pid.empty() ? 0 : static_cast<pid_t>(std::stol(pid));
}

bool AgentInstall::WaitForState(const std::string& service, int state) const {
  return testsupport::WaitUntil([&] { return State(service) == state; });
}

pid_t AgentInstall::StartAgentService() {
  if (Sc({"create", kAgentService, agent_, "--display", kAgentService}).exit_code != 0) return 0;
  started_.push_back(kAgentService);
  if (Sc({"start", kAgentService}).exit_code != 0) return 0;
  if (!WaitForState(kAgentService, 4)) return 0;
  return Pid(kAgentService);
}

ProgramResult AgentInstall::RunAgentFromShell() const {
  return testsupport::RunProgram({agent_});
}

}  // namespace e2e
