#include "client/ConfigSave.h"

#include <array>
#include <cstring>

#include "common/TextUtil.h"
#include "platform/AtomicFile.h"

namespace client {
namespace {

constexpr std::string_view kCrLf = "\r\n";

// The keys of the editor's 20 lines; a former line with any other key is kept.
constexpr std::array<std::string_view, 20> kWrittenKeys = {
    "LISTEN",          "PORT",          "RRDTOOL",         "NETMON",
    "TARVOSERVER",     "TARGETTARVOAGENT", "ALLOWREMOTEEXEC", "PERIODOBASE",
    "NETINTERFACE1",   "NETINTERFACE2", "NETINTERFACE3",   "NETINTERFACE4",
    "PERFORMANCEMON1", "PERFORMANCEMON2", "PERFORMANCEMON3", "PERFORMANCEMON4",
    "REMOTECLIENTS",   "COMMAND1",      "COMMAND2",        "LOGLEVEL"};

std::string FirstThree(const common::PerfMonEntry& entry) {
  return entry.ObjectIndex + "|" + entry.CounterName + "|" + entry.InstanceName;
}

std::string AllFour(const common::CommandEntry& entry) {
  return entry.Program + "|" + entry.Arguments + "|" + entry.MatchText1 + "|" + entry.MatchText2;
}

// A counter field of three sub-fields gets the loaded label back.
std::string WithLabel(const std::string& field, const common::PerfMonEntry& loaded) {
  if (loaded.Label.empty() || common::SplitText(field, "|").size() != 3) return field;
  return field + "|" + loaded.Label;
}

const char* TrueFalse(bool value) { return value ? "True" : "False"; }

// The key of a line as the loader reads its first item; empty when it has none.
std::string LineKey(std::string_view line) {
  const std::string_view item = common::TrimBlanks(line.substr(0, line.find(',')));
  const size_t equals = item.find('=');
  if (equals == std::string_view::npos) return {};
  return common::ToUpper(item.substr(0, equals));
}

bool IsWrittenKey(const std::string& key) {
  for (std::string_view written : kWrittenKeys) {
    if (key == written) return true;
  }
  return false;
}

}  // namespace

ConfigEdits EditsOf(const common::AgentConfig& config) {
  ConfigEdits edits;
  edits.Listen = config.ListenAddress;
  edits.TarvoServer = config.CentralServer;
  edits.Port = std::to_string(config.Port);
  edits.Interface1 = config.NetInterface[0];
  edits.Interface2 = config.NetInterface[1];
  edits.Command1 = AllFour(config.Command[0]);
  edits.Command2 = AllFour(config.Command[1]);
  edits.LogLevel = std::to_string(config.LogLevel);
  edits.Performancemon1 = FirstThree(config.PerfMon[0]);
  edits.Performancemon2 = FirstThree(config.PerfMon[1]);
  edits.RemoteClients = config.RemoteClients;
  edits.NetMon = config.NetMon;
  edits.AllowRemoteExec = config.AllowRemoteExec;
  edits.RrdTool = common::RrdToolIsOn(config);
  return edits;
}

std::optional<std::string> ConfigEditsError(const ConfigEdits& edits) {
  if (!common::ToInt32(edits.Port)) {
    return "Port must be a whole number: \"" + edits.Port + "\". The configuration was not saved.";
  }
  if (!common::ToInt32(edits.LogLevel)) {
    return "LogLevel must be a whole number: \"" + edits.LogLevel +
           "\". The configuration was not saved.";
  }
  return std::nullopt;
}

std::string ConfigFileText(const ConfigEdits& edits, const common::AgentConfig& loaded,
                           std::string_view former_file) {
  const std::string lines[] = {
      "LISTEN=" + edits.Listen,
      "PORT=" + std::to_string(common::ToInt32(edits.Port).value_or(0)),
      std::string("RRDTOOL=") + TrueFalse(edits.RrdTool),
      std::string("NETMON=") + TrueFalse(edits.NetMon),
      "TARVOSERVER=" + edits.TarvoServer,
      "TARGETTARVOAGENT=127.0.0.1",
      std::string("AllowRemoteExec=") + TrueFalse(edits.AllowRemoteExec),
      "PERIODOBASE=" + std::to_string(loaded.PeriodBase),
      "NETINTERFACE1=" + edits.Interface1,
      "NETINTERFACE2=" + edits.Interface2,
      "NETINTERFACE3=" + loaded.NetInterface[2],
      "NETINTERFACE4=" + loaded.NetInterface[3],
      "PERFORMANCEMON1=" + WithLabel(edits.Performancemon1, loaded.PerfMon[0]),
      "PERFORMANCEMON2=" + WithLabel(edits.Performancemon2, loaded.PerfMon[1]),
      "PERFORMANCEMON3=" + WithLabel(FirstThree(loaded.PerfMon[2]), loaded.PerfMon[2]),
      "PERFORMANCEMON4=" + WithLabel(FirstThree(loaded.PerfMon[3]), loaded.PerfMon[3]),
      "REMOTECLIENTS=" + edits.RemoteClients,
      "COMMAND1=" + edits.Command1,
      "COMMAND2=" + edits.Command2,
      "LOGLEVEL=" + std::to_string(common::ToInt32(edits.LogLevel).value_or(0)),
  };
  std::string text;
  for (const std::string& line : lines) {
    text += line;
    text += kCrLf;
  }
  // Lines the editor does not show are kept, so that a save never loses a
  // probe command or a setting added by hand.
  for (std::string line : common::SplitText(former_file, "\n")) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string key = LineKey(line);
    if (key.empty() || IsWrittenKey(key)) continue;
    text += line;
    text += kCrLf;
  }
  return text;
}

void ApplyConfigEdits(common::AgentConfig& config, const ConfigEdits& edits) {
  if (const auto port = common::ToInt32(edits.Port)) config.Port = *port;
  if (const auto level = common::ToInt32(edits.LogLevel)) config.LogLevel = *level;
  config.ListenAddress = edits.Listen;
  config.CentralServer = edits.TarvoServer;
  config.NetInterface[0] = edits.Interface1;
  config.NetInterface[1] = edits.Interface2;
  config.AllowRemoteExec = edits.AllowRemoteExec;
  config.RrdTool = TrueFalse(edits.RrdTool);
  config.NetMon = edits.NetMon;
}

std::optional<std::string> SaveConfigFile(const ConfigEdits& edits, common::AgentConfig& config,
                                          const std::string& path) {
  if (std::optional<std::string> error = ConfigEditsError(edits)) return error;
  const std::string former = common::ReadFileBytes(path).value_or("");
  const int error = platform::WriteFileAtomic(path, ConfigFileText(edits, config, former), true);
  if (error != 0) {
    return "The configuration could not be written to " + path + ": " + std::strerror(error);
  }
  ApplyConfigEdits(config, edits);
  return std::nullopt;
}

}  // namespace client
