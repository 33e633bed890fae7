#pragma once
// A program folder in a temporary folder with the agent installed in it and an
// embedded service manager rooted inside it, for tests against the running
// service. Every service the tests start is stopped (by its process id) when
// the object goes.

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/Processes.h"
#include "tests/support/TempFolder.h"

namespace e2e {

inline constexpr const char* kAgentService = "Tarvo Agent Service";

// How many times the part stands in the text (a log, a reply).
size_t Occurrences(const std::string& text, const std::string& part);

class AgentInstall {
 public:
  AgentInstall();
  ~AgentInstall();
  AgentInstall(const AgentInstall&) = delete;
  AgentInstall& operator=(const AgentInstall&) = delete;

  const std::string& folder() const { return home_.path(); }
  std::string Path(const std::string& relative) const { return home_.Path(relative); }
  const std::string& agent_binary() const { return agent_; }
  // A free port, written into the configuration by WriteConfig.
  int port() const { return port_; }

  // Writes TarvoAgent.cfg: PORT=port() and LISTEN=127.0.0.1 first, then the lines.
  void WriteConfig(const std::vector<std::string>& lines) const;
  std::string Log() const;

  // tarvo-sc with TARVO_SCM_ROOT inside the folder.
  testsupport::ProgramResult Sc(const std::vector<std::string>& args) const;
  // The current state number and process id of a service (0 when unknown).
  int State(const std::string& service) const;
  pid_t Pid(const std::string& service) const;
  bool WaitForState(const std::string& service, int state) const;

  // Installs the agent as kAgentService, starts it and waits for running.
  // Returns the service's process id (0 on failure).
  pid_t StartAgentService();
  // Runs the agent program from a shell (not as a service) to its end.
  testsupport::ProgramResult RunAgentFromShell() const;

 private:
  testsupport::TempFolder home_;
  std::string agent_;
  int port_;
  std::vector<std::string> started_;
};

}  // namespace e2e
