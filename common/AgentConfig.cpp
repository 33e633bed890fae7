#include "common/AgentConfig.h"

#include <cerrno>

#include "common/DelimitedReader.h"
#include "common/ProgramFolder.h"
#include "common/TaskFolders.h"
#include "common/TextUtil.h"
#include "common/WriteLog.h"
#include "platform/FileAccess.h"
#include "platform/SystemInfo.h"

namespace common {
namespace {

constexpr const char* kConfigFileName = "TarvoAgent.cfg";

// Sub-fields of a "|"-separated value; an empty value has none, so it changes
// nothing.
std::vector<std::string> SubFields(std::string_view value) {
  if (value.empty()) return {};
  return SplitText(value, "|");
}

void AppendPerfKey(AgentConfig& config, const std::string& index) {
  // A containment test on the text, so "23" is not added when "236" is there.
  if (!Contains(config.PerfKeyList, index)) config.PerfKeyList += " " + index;
}

void ApplyPerfMon(PerfMonEntry& entry, AgentConfig& config, std::string_view value) {
  const std::vector<std::string> fields = SubFields(value);
  std::string* targets[] = {&entry.ObjectIndex, &entry.CounterName, &entry.InstanceName,
                            &entry.Label};
  for (size_t k = 0; k < fields.size() && k < 4; ++k) *targets[k] = fields[k];
  if (!entry.ObjectIndex.empty()) AppendPerfKey(config, entry.ObjectIndex);
}

void ApplyCommand(CommandEntry& entry, std::string_view value) {
  const std::vector<std::string> fields = SubFields(value);
  std::string* targets[] = {&entry.Program, &entry.Arguments, &entry.MatchText1,
                            &entry.MatchText2};
  for (size_t k = 0; k < fields.size() && k < 4; ++k) *targets[k] = fields[k];
}

void SetInt(int32_t& field, std::string_view value) {
  if (const auto number = ToInt32(value)) field = *number;
}

void SetBool(bool& field, std::string_view value) {
  if (const auto flag = ToBoolean(value)) field = *flag;
}

// A switch that also reads "YES" (upper case, as written) as on.
void SetSwitch(bool& field, std::string_view value) {
  if (value == "YES") {
    field = true;
  } else {
    SetBool(field, value);
  }
}

// "KEYn" with n from 1 to 4: returns n - 1, or -1.
int NumberedKey(const std::string& key, std::string_view prefix) {
  if (key.size() != prefix.size() + 1 || key.compare(0, prefix.size(), prefix) != 0) return -1;
  const char digit = key.back();
  return (digit >= '1' && digit <= '4') ? digit - '1' : -1;
}

void ApplyItem(AgentConfig& config, std::string_view raw_item) {
  const std::string key = ConfigItemKey(raw_item);
  if (key.empty()) return;
  // Only the piece after the first "=" is the value: KEY=a=b gives a.
  const std::string value = SplitText(TrimBlanks(raw_item), "=")[1];

  if (key == "REMOTECLIENTS") {
    config.RemoteClients = value;
    config.RemoteClientList = SplitText(value, ";");
  } else if (key == "PORT") {
    SetInt(config.Port, value);
  } else if (key == "LOGLEVEL") {
    SetInt(config.LogLevel, value);
  } else if (key == "PERIODOBASE") {
    SetInt(config.PeriodBase, value);
  } else if (key == "PROCESSTIMEOUT") {
    if (const auto seconds = ToInt32(value); seconds && *seconds > 0) {
      config.ProcessTimeout = *seconds;
    }
  } else if (key == "METRICSPORT") {
    if (const auto port = ToInt32(value); port && *port >= 0 && *port <= 65535) {
      config.MetricsPort = *port;
    }
  } else if (key == "METRICSLISTEN") {
    if (!value.empty()) config.MetricsListen = value;
  } else if (key == "METRICSCLIENTS") {
    // An empty list is no list: any peer may scrape.
    if (!value.empty()) config.MetricsClientList = SplitText(value, ";");
  } else if (key == "LISTEN") {
    config.ListenAddress = value;
  } else if (key == "TARGETTARVOAGENT") {
    config.TargetAgent = value;
  } else if (key == "TARVOSERVER") {
    config.CentralServer = value;
  } else if (key == "HOSTNAME_REMOTE_TARVO") {
    config.RemoteHostName = value;
  } else if (key == "NETMON") {
    SetBool(config.NetMon, value);
    AppendPerfKey(config, "510");
  } else if (key == "RRDTOOL") {
    config.RrdTool = value;
  } else if (key == "ALLOWREMOTEEXEC") {
    SetSwitch(config.AllowRemoteExec, value);
  } else if (key == "EXECREQUIRESTLS") {
    SetSwitch(config.ExecRequiresTls, value);
  } else if (key == "TLSPORT") {
    SetInt(config.TlsPort, value);
  } else if (key == "TLSCERT") {
    config.TlsCert = value;
  } else if (key == "TLSKEY") {
    config.TlsKey = value;
  } else if (key == "TLSCA") {
    config.TlsCa = value;
  } else if (const int n = NumberedKey(key, "NETINTERFACE"); n >= 0) {
    config.NetInterface[n] = value;
  } else if (const int n = NumberedKey(key, "PERFORMANCEMON"); n >= 0) {
    ApplyPerfMon(config.PerfMon[n], config, value);
  } else if (const int n = NumberedKey(key, "COMMAND"); n >= 0) {
    ApplyCommand(config.Command[n], value);
  }
}

}  // namespace

std::string ConfigItemKey(std::string_view item) {
  const std::string_view trimmed = TrimBlanks(item);
  const size_t equals = trimmed.find('=');
  if (equals == std::string_view::npos) return {};
  return ToUpper(trimmed.substr(0, equals));
}

AgentConfig& TheAgentConfig() {
  static AgentConfig config;
  return config;
}

std::string DefaultAgentConfigText() {
  return JoinCrLf(
      {
          "LISTEN=0.0.0.0 ",
          "PORT=9000 ",
          "RRDTOOL=TRUE ",
          "NETMON=TRUE ",
          "TARVOSERVER=",
          "TARGETTARVOAGENT=127.0.0.1",
          "AllowRemoteExec=False ",
          "PERIODOBASE=2000 ",
          "NETINTERFACE1=",
          "NETINTERFACE2=",
          "NETINTERFACE3=",
          "NETINTERFACE4=",
          "PERFORMANCEMON1=",
          "PERFORMANCEMON2=",
          "PERFORMANCEMON3=",
          "PERFORMANCEMON4=",
          "REMOTECLIENTS=127.0.0.1;127.0.0",
          "COMMAND1=ss | -t -n |:80|ESTAB",
          "COMMAND2=ss | -t -n |:50000|ESTAB",
          "LOGLEVEL=0 ",
      },
      /*final_line_end=*/false);
}

void WriteDefaultAgentConfig() {
  platform::WriteFileAtomic(ProgramPath(kConfigFileName), DefaultAgentConfigText(), false);
}

void ApplyAgentConfigText(AgentConfig& config, std::string_view text) {
  DelimitedReader reader(text);
  while (const auto item = reader.Next()) ApplyItem(config, *item);
}

void LoadAgentConfigFile(AgentConfig& config, const std::string& path) {
  // Something other than a plain file at the path (a FIFO, a folder, a device)
  // is unreadable: opening it could block for ever, and the default file must
  // never be written into it.
  std::string text;
  int err = platform::ReadRegularFile(path, kMaxConfigFileBytes, text);
  if (err == ENOENT) {
    PrepareTaskFolders();
    platform::WriteFileAtomic(path, DefaultAgentConfigText(), false);
    platform::Beep();
    err = platform::ReadRegularFile(path, kMaxConfigFileBytes, text);
  }
  config.RrdTool.reset();
  config.CentralServer.clear();
  config.TargetAgent = "127.0.0.1";
  for (int k = 0; k < 3; ++k) config.Command[k] = CommandEntry{};
  config.NetMon = true;
  config.LogLevel = 0;

  if (err == EISDIR || err == EINVAL || err == EFBIG) {
    // The threshold is now the start-up value 0: only level 0 reaches the log.
    const std::string why =
        err == EFBIG ? " is larger than " + std::to_string(kMaxConfigFileBytes) + " bytes"
                     : " is not a regular file";
    WriteLog("The configuration " + path + why + "; running on the start-up values " +
                 GeneralDateTextNow(),
             0);
    return;
  }
  if (err == 0) ApplyAgentConfigText(config, text);
}

void LoadAgentConfig() { LoadAgentConfigFile(TheAgentConfig(), ProgramPath(kConfigFileName)); }

bool RrdToolIsOn(const AgentConfig& config) {
  if (!config.RrdTool) return false;
  // Text that is neither a Boolean word nor a number reads as true.
  return ToBoolean(*config.RrdTool).value_or(true);
}

}  // namespace common
