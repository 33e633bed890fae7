#pragma once
// The settings of TarvoAgent.cfg, read once at program start.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace common {

// One PERFORMANCEMONn entry: the chosen performance counter.
struct PerfMonEntry {
  std::string ObjectIndex;
  std::string CounterName;
  std::string InstanceName;
  std::string Label;
  bool operator==(const PerfMonEntry&) const = default;
};

// One COMMANDn entry: a probe command whose output lines are counted.
struct CommandEntry {
  std::string Program;
  std::string Arguments;
  std::string MatchText1;
  std::string MatchText2;
  bool operator==(const CommandEntry&) const = default;
};

inline constexpr int32_t kDefaultProcessTimeoutSeconds = 60;
// The configuration is a few hundred bytes; a larger file than this is refused
// as unreadable.
inline constexpr size_t kMaxConfigFileBytes = 1 << 20;

// One field per configuration key; the initial values are the start-up values
// in force before the file is read. Arrays indexed [1..4] in the file are
// stored 0-based here (NetInterface[0] holds NETINTERFACE1).
struct AgentConfig {
  std::string ListenAddress;                 // LISTEN
  int32_t Port = 0;                          // PORT
  std::optional<std::string> RrdTool;        // RRDTOOL; nothing = false
  bool NetMon = true;                        // NETMON
  std::string CentralServer;                 // TARVOSERVER
  std::string TargetAgent = "127.0.0.1";     // TARGETTARVOAGENT
  bool AllowRemoteExec = false;              // ALLOWREMOTEEXEC
  int32_t PeriodBase = 0;                    // PERIODOBASE, milliseconds
  std::array<std::string, 4> NetInterface;   // NETINTERFACE1..4
  std::array<PerfMonEntry, 4> PerfMon;       // PERFORMANCEMON1..4
  std::string RemoteClients;                 // REMOTECLIENTS, as written
  std::vector<std::string> RemoteClientList; // REMOTECLIENTS split at ";"
  std::array<CommandEntry, 4> Command;       // COMMAND1..4
  int32_t LogLevel = 0;                      // LOGLEVEL
  std::string RemoteHostName;                // HOSTNAME_REMOTE_TARVO
  int32_t ProcessTimeout = kDefaultProcessTimeoutSeconds;  // PROCESSTIMEOUT, seconds
  // The Prometheus endpoint: port 0 (the key absent, 0 or out of range) keeps it
  // off; no address means the LISTEN address; no client list means any peer.
  int32_t MetricsPort = 0;                                      // METRICSPORT
  std::optional<std::string> MetricsListen;                     // METRICSLISTEN
  std::optional<std::vector<std::string>> MetricsClientList;    // METRICSCLIENTS split at ";"
  int32_t TlsPort = 0;                       // TLSPORT; 0: no TLS listener
  std::string TlsCert;                       // TLSCERT, PEM file
  std::string TlsKey;                        // TLSKEY, PEM file
  std::string TlsCa;                         // TLSCA, PEM bundle; empty: no client certificate asked
  bool ExecRequiresTls = false;              // EXECREQUIRESTLS

  // Blank-separated performance object indices asked for by the performance
  // reader. The caller sets its base before loading; loading only appends.
  std::string PerfKeyList;

  bool operator==(const AgentConfig&) const = default;
};

// The program's configuration record.
AgentConfig& TheAgentConfig();

// Fills TheAgentConfig() from program folder + "/TarvoAgent.cfg", writing the
// default file (and preparing the Tasks folders) first when the file is missing.
void LoadAgentConfig();

// Writes the default configuration file into the program folder.
void WriteDefaultAgentConfig();

// The loading rules over a given record and file path (the core of
// LoadAgentConfig; prepare is run before the default file is written when the
// file is missing).
void LoadAgentConfigFile(AgentConfig& config, const std::string& path);

// Applies the items of a configuration text to the record, without the resets
// of loading. Stops at a quoted item that is never closed.
void ApplyAgentConfigText(AgentConfig& config, std::string_view text);

// The key an item of the file sets, as the loader reads it (upper case, the
// text before the first "="); empty for an item it ignores (no "=": a comment).
std::string ConfigItemKey(std::string_view item);

// The default file's bytes: 20 lines, CR LF between them, none after the last.
std::string DefaultAgentConfigText();

// Whether a RRDTOOL value reads as true: false only when absent or when the text
// converts to the Boolean false ("false" in any case, or zero).
bool RrdToolIsOn(const AgentConfig& config);

}  // namespace common
