#pragma once
// The agent service's start-up routine, its process-wide host state and the
// main loop.

#include <ctime>
#include <memory>
#include <string>

#include "common/TlsContext.h"

namespace agent {

inline constexpr const char* kAgentServiceName = "Tarvo Agent Service";
// Object indices the performance reader always asks for.
inline constexpr const char* kBasePerfKeyList = "2 4 236 238 260 510";

struct HostState {
  bool FirstPass = true;        // until the sampler finishes its first pass
  std::string ComputerName;     // read once at start-up
  std::time_t LastFeedTime = 0; // last RRD feed; start-up time at first
  int ListenSocket = -1;        // the listening socket, or -1
  std::unique_ptr<common::TlsContext> Tls;  // the TLS listener's, when TLSPORT serves
};

HostState& TheHostState();

// The program's whole life: configuration, single-instance check, service
// registration, main loop, stop. Returns the process exit status.
int AgentMain();

}  // namespace agent
