#include "client/ConfigSave.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/DelimitedReader.h"
#include "common/TextUtil.h"
#include "platform/FileAccess.h"

namespace client {
namespace {

constexpr std::string_view kCrLf = "\r\n";

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

// One item of the file: KEY=value, in double quotes when the value holds a
// comma, which would otherwise end the item.
std::string Item(std::string_view key, std::string_view value) {
  std::string item = std::string(key) + "=" + std::string(value);
  return value.find(',') == std::string_view::npos ? item : "\"" + item + "\"";
}

// What the loader reads from a text, as the programs use it: RRDTOOL by the
// switch it reads as ("TRUE " and "True" alike), the remote clients without
// empty entries (which match no address), and without the list of performance
// objects to load, which is derived from the settings and only ever grows.
common::AgentConfig ReadsAs(std::string_view text) {
  common::AgentConfig config;
  common::ApplyAgentConfigText(config, text);
  config.RrdTool = TrueFalse(common::RrdToolIsOn(config));
  std::erase_if(config.RemoteClientList,
                [](const std::string& entry) { return common::TrimBlanks(entry).empty(); });
  config.PerfKeyList.clear();
  return config;
}

// The text with the lines added at its end, on a line of their own.
std::string WithLinesAdded(std::string_view text, std::string_view lines) {
  std::string joined(text);
  if (!joined.empty() && joined.back() != '\r' && joined.back() != '\n') joined += kCrLf;
  joined += lines;
  return joined;
}

// An item the loader reads from the former file, with where it lies.
struct FormerItem {
  std::string Key;
  size_t Begin;
  size_t End;
};

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
  // The loader takes a value up to its first "=", and a comma ends an item
  // unless the item is in double quotes, which cannot hold a quote: such a
  // value would come back cut, and the agent would run with the cut one.
  const std::pair<const char*, const std::string*> texts[] = {
      {"Listen", &edits.Listen},
      {"Tarvo Server", &edits.TarvoServer},
      {"NetInterface1", &edits.Interface1},
      {"NetInterface2", &edits.Interface2},
      {"Command1", &edits.Command1},
      {"Command2", &edits.Command2},
      {"Performancemon1", &edits.Performancemon1},
      {"Performancemon2", &edits.Performancemon2},
      {"Remote Clients", &edits.RemoteClients},
  };
  for (const auto& [caption, text] : texts) {
    const bool equals = text->find('=') != std::string::npos;
    const bool comma_and_quote =
        text->find(',') != std::string::npos && text->find('"') != std::string::npos;
    if (equals || comma_and_quote) {
      return std::string(caption) + " cannot hold " +
             (equals ? "\"=\"" : "a comma together with a double quote") +
             ": the agent would read only part of it. The configuration was not saved.";
    }
  }
  return std::nullopt;
}

std::vector<std::string> EditorLines(const ConfigEdits& edits, const common::AgentConfig& loaded) {
  return {
      Item("LISTEN", edits.Listen),
      Item("PORT", std::to_string(common::ToInt32(edits.Port).value_or(0))),
      Item("RRDTOOL", TrueFalse(edits.RrdTool)),
      Item("NETMON", TrueFalse(edits.NetMon)),
      Item("TARVOSERVER", edits.TarvoServer),
      Item("TARGETTARVOAGENT", "127.0.0.1"),
      Item("AllowRemoteExec", TrueFalse(edits.AllowRemoteExec)),
      Item("PERIODOBASE", std::to_string(loaded.PeriodBase)),
      Item("NETINTERFACE1", edits.Interface1),
      Item("NETINTERFACE2", edits.Interface2),
      Item("NETINTERFACE3", loaded.NetInterface[2]),
      Item("NETINTERFACE4", loaded.NetInterface[3]),
      Item("PERFORMANCEMON1", WithLabel(edits.Performancemon1, loaded.PerfMon[0])),
      Item("PERFORMANCEMON2", WithLabel(edits.Performancemon2, loaded.PerfMon[1])),
      Item("PERFORMANCEMON3", WithLabel(FirstThree(loaded.PerfMon[2]), loaded.PerfMon[2])),
      Item("PERFORMANCEMON4", WithLabel(FirstThree(loaded.PerfMon[3]), loaded.PerfMon[3])),
      Item("REMOTECLIENTS", edits.RemoteClients),
      Item("COMMAND1", edits.Command1),
      Item("COMMAND2", edits.Command2),
      Item("LOGLEVEL", std::to_string(common::ToInt32(edits.LogLevel).value_or(0))),
  };
}

std::string ConfigFileText(const ConfigEdits& edits, const common::AgentConfig& loaded,
                           std::string_view former_file) {
  const std::vector<std::string> lines = EditorLines(edits, loaded);
  std::string all_lines;
  for (const std::string& line : lines) {
    all_lines += line;
    all_lines += kCrLf;
  }

  // The former file as the loader reads it: its items, and where the reading
  // stops (a quote never closed swallows the rest).
  std::vector<FormerItem> items;
  common::DelimitedReader reader(former_file);
  while (const std::optional<std::string> item = reader.Next()) {
    items.push_back({common::ConfigItemKey(*item), reader.FieldBegin(), reader.FieldEnd()});
  }
  const size_t read_end = reader.broken() ? reader.FieldBegin() : former_file.size();
  const std::string_view read_part = former_file.substr(0, read_end);
  const std::string_view unread_part = former_file.substr(read_end);
  // A file without settings (new, empty, comments only) gets the 20 lines.
  if (std::none_of(items.begin(), items.end(),
                   [](const FormerItem& item) { return !item.Key.empty(); })) {
    return WithLinesAdded(read_part, all_lines) + std::string(unread_part);
  }

  // Each line changes only what it must: an item the loader already reads as
  // the line says stays as it is, byte for byte; otherwise the item that
  // decides the key (its last) takes the line's place, or the line is added.
  // Comments, unshown keys, line ends and quotes all stay where they stood.
  const common::AgentConfig before = ReadsAs(read_part);
  std::vector<std::pair<size_t, std::string>> replaced;  // item index, new text
  std::string added;
  for (const std::string& line : lines) {
    if (ReadsAs(WithLinesAdded(read_part, line + std::string(kCrLf))) == before) continue;
    const std::string key = common::ConfigItemKey(line);
    const auto last = std::find_if(items.rbegin(), items.rend(),
                                   [&](const FormerItem& item) { return item.Key == key; });
    if (last == items.rend()) {
      added += line;
      added += kCrLf;
    } else {
      replaced.emplace_back(static_cast<size_t>(items.rend() - last - 1), line);
    }
  }
  std::sort(replaced.begin(), replaced.end());
  std::string text;
  size_t copied = 0;
  for (const auto& [index, line] : replaced) {
    text.append(former_file.substr(copied, items[index].Begin - copied));
    text += line;
    copied = items[index].End;
  }
  text.append(former_file.substr(copied, read_end - copied));
  if (!added.empty()) text = WithLinesAdded(text, added);
  text.append(unread_part);

  // Whatever the former file holds, the result must read as the editor's lines
  // over the former settings; where editing in place cannot give that, the
  // lines are added whole after what the loader reads.
  if (ReadsAs(text) != ReadsAs(WithLinesAdded(read_part, all_lines))) {
    return WithLinesAdded(read_part, all_lines) + std::string(unread_part);
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
  // A missing file is written anew; one that cannot be read (a FIFO, a folder,
  // a file of another kind or size) is left alone.
  std::string former;
  if (const int error = platform::ReadRegularFile(path, common::kMaxConfigFileBytes, former);
      error != 0 && error != ENOENT) {
    const std::string why =
        error == EISDIR || error == EINVAL ? "it is not a regular file"
        : error == EFBIG
            ? "it is larger than " + std::to_string(common::kMaxConfigFileBytes) + " bytes"
            : std::strerror(error);
    return "The configuration " + path + " cannot be read: " + why +
           ". The configuration was not saved.";
  }
  // What the editor does not show (the pacing, the third and fourth interfaces
  // and counters, the counters' labels) is taken from the file as it is now,
  // not as the client read it at its start: another hand may have changed it.
  common::AgentConfig on_disk = config;
  common::ApplyAgentConfigText(on_disk, former);
  const std::string text = ConfigFileText(edits, on_disk, former);
  // A save that changes nothing leaves the file untouched.
  if (text != former) {
    if (const int error = platform::WriteFileAtomic(path, text, true)) {
      return "The configuration could not be written to " + path + ": " + std::strerror(error);
    }
  }
  ApplyConfigEdits(config, edits);
  return std::nullopt;
}

}  // namespace client
