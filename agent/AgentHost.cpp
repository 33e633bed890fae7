#include "agent/AgentHost.h"

#include <chrono>
#include <optional>
#include <string>

#include "agent/CommandServer.h"
#include "agent/MetricSampler.h"
#include "agent/MetricsServer.h"
#include "agent/RRDTool.h"
#include "agent/TlsSetup.h"
#include "common/AgentConfig.h"
#include "common/PerfModule.h"
#include "common/ProgramFolder.h"
#include "common/ScaledSleep.h"
#include "common/ServiceGlue.h"
#include "common/TextUtil.h"
#include "common/WriteLog.h"
#include "platform/SystemInfo.h"

namespace agent {
namespace {

constexpr const char* kProgramName = "AgentTarvoService";
constexpr int kTurnWaitMs = 130;

// Logs the text followed directly by the current date and time.
void LogDated(std::string_view text, int16_t level) {
  std::string line(text);
  line += common::GeneralDateTextNow();
  common::WriteLog(line, level);
}

// One turn's work on the served side: a polling cycle, then a sampling pass.
void ServeAndSample(int listen_socket) {
  ServeClients(listen_socket);
  PerformMonitoring(listen_socket);
}

int StopPendingDescriptor() {
  return common::TheServiceGlue().StopPendingEvent->fd();
}

// Waits up to the turn's pause for the stop request, serving clients
// meanwhile. Returns true when a stop was asked for.
bool WaitForStopRequest(int listen_socket) {
  PauseServing(listen_socket, StopPendingDescriptor(), std::chrono::milliseconds(kTurnWaitMs));
  return common::TheServiceGlue().StopPendingEvent->IsSet();
}

// For the life of the main loop every pause of the thread serves clients, and a
// stop request ends it at once; so does every wait of the platform layer (a
// program's output, a drive's size, the walk of the processes).
class ServingPauses {
 public:
  ServingPauses() {
    common::SetPauseHook([](std::chrono::milliseconds pause) {
      PauseServing(TheHostState().ListenSocket, StopPendingDescriptor(), pause);
    });
    platform::SetWaitHook(ServeWhileWaiting);
  }
  ~ServingPauses() {
    platform::SetWaitHook({});
    common::SetPauseHook({});
  }
  ServingPauses(const ServingPauses&) = delete;
  ServingPauses& operator=(const ServingPauses&) = delete;
};

void RunMainLoop() {
  HostState& host = TheHostState();
  const common::AgentConfig& config = common::TheAgentConfig();
  const ServingPauses serving_pauses;
  while (true) {
    if (RrdFeedIsDue(config, host.LastFeedTime, std::time(nullptr))) {
      FeedRRDTool();
      host.LastFeedTime = std::time(nullptr);
    }
    if (host.FirstPass) {
      LogDated("INICIO: Carregando chaves de performance... ", 2);
      if (common::GrowPerfBuffer(config.PerfKeyList) > 0) {
        LogDated("Nao carregou os objetos de processo", 1);
      }
      LogDated("INICIO: Chaves carregadas. ", 2);
    }
    // The metrics endpoint is opened (and retried) beside the command port,
    // never in its way.
    KeepMetricsListening();
    if (host.Tls) ListenForTls(config.TlsPort, *host.Tls);
    if (host.ListenSocket == kNoSocket) {
      host.ListenSocket = OpenListener(config.Port);
      LogDated("Erro - Reiniciando TCP ", 1);
    } else {
      ServeAndSample(host.ListenSocket);
    }
    if (WaitForStopRequest(host.ListenSocket)) break;
  }
}

}  // namespace

HostState& TheHostState() {
  static HostState state;
  return state;
}

int AgentMain() {
  common::AgentConfig& config = common::TheAgentConfig();
  config.PerfKeyList = kBasePerfKeyList;
  common::LoadAgentConfig();

  HostState& host = TheHostState();
  host.FirstPass = true;
  host.ComputerName = platform::ComputerName();
  host.LastFeedTime = std::time(nullptr);

  LogDated("Verificando instancias... ", 5);
  std::optional<platform::InstanceLock> instance =
      common::AcquireInstanceLock("AgentTarvoService.lock", "", kProgramName);
  if (!instance) return 0;

  const auto main_loop = [&host, &config] {
    host.Tls = LoadTlsServerContext();
    host.ListenSocket = OpenListener(config.Port);
    RunMainLoop();
  };
  common::RunService({.LogPrefix = "",
                      .ServiceName = kAgentServiceName,
                      .EventSource = kProgramName,
                      .StartedEntry = "Tarvo Agent started",
                      .StoppedEntry = "Tarvo Agent stopped",
                      .MainLoop = main_loop},
                     instance);
  return 0;
}

}  // namespace agent
