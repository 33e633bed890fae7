#include "common/AgentConfig.h"

#include <sys/stat.h>

#include "common/DelimitedReader.h"
#include "common/ProgramFolder.h"
#include "common/TaskFolders.h"
#include "common/TextUtil.h"
#include "common/WriteLog.h"
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
  const std::string_view item = TrimBlanks(raw_item);
  const std::vector<std::string> pieces = SplitText(item, "=");
  if (item.empty() || pieces.size() < 2) return;
  const std::string key = ToUpper(pieces[0]);
  // Only the piece after the first "=" is the value: KEY=a=b gives a.
  const std::string& value = pieces[1];

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
  ReplaceFileBytes(ProgramPath(kConfigFileName), DefaultAgentConfigText());
}

void ApplyAgentConfigText(AgentConfig& config, std::string_view text) {
  DelimitedReader reader(text);
  while (const auto item = reader.Next()) ApplyItem(config, *item);
}

void LoadAgentConfigFile(AgentConfig& config, const std::string& path) {
  // Something other than a plain file at the path (a FIFO, a folder, a device)
  // is unreadable: opening it could block for ever, and the default file must
  // never be written into it.
  struct stat info {};
  const bool present = stat(path.c_str(), &info) == 0;
  const bool readable = present && S_ISREG(info.st_mode);
  if (!present) {
    PrepareTaskFolders();
    ReplaceFileBytes(path, DefaultAgentConfigText());
    platform::Beep();
  }
  config.RrdTool.reset();
  config.CentralServer.clear();
  config.TargetAgent = "127.0.0.1";
  for (int k = 0; k < 3; ++k) config.Command[k] = CommandEntry{};
  config.NetMon = true;
  config.LogLevel = 0;

  if (present && !readable) {
    // The threshold is now the start-up value 0: only level 0 reaches the log.
    WriteLog("The configuration " + path +
                 " is not a regular file; running on the start-up values " + GeneralDateTextNow(),
             0);
    return;
  }
  const auto text = ReadFileBytes(path);
  if (!text) return;
  ApplyAgentConfigText(config, *text);
}

void LoadAgentConfig() { LoadAgentConfigFile(TheAgentConfig(), ProgramPath(kConfigFileName)); }

bool RrdToolIsOn(const AgentConfig& config) {
  if (!config.RrdTool) return false;
  // Text that is neither a Boolean word nor a number reads as true.
  return ToBoolean(*config.RrdTool).value_or(true);
}

}  // namespace common
