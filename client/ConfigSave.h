#pragma once
// The configuration editor's save, without widgets: the texts of the editor's
// fields, the checks made before the file is touched, the file's new bytes and
// the update of the in-memory configuration.

#include <optional>
#include <string>
#include <string_view>

#include "common/AgentConfig.h"

namespace client {

// What the editor's controls hold when "Salvar" is pressed.
struct ConfigEdits {
  std::string Listen;
  std::string TarvoServer;
  std::string Port;
  std::string Interface1;
  std::string Interface2;
  std::string Command1;
  std::string Command2;
  std::string LogLevel;
  std::string Performancemon1;
  std::string Performancemon2;
  std::string RemoteClients;
  bool NetMon = false;
  bool AllowRemoteExec = false;
  bool RrdTool = false;
};

// The field texts the editor shows for a configuration record.
ConfigEdits EditsOf(const common::AgentConfig& config);

// Why the edits cannot be saved ("Port" or "LogLevel" not a whole number once
// rounded); nothing when they can.
std::optional<std::string> ConfigEditsError(const ConfigEdits& edits);

// The file's new bytes: the editor's 20 lines in their fixed order, each ended
// by CR LF, then every line of the former file whose key the 20 lines do not
// hold (COMMAND3, PROCESSTIMEOUT, ...), unchanged. A counter whose field has
// three sub-fields keeps the label (fourth sub-field) it was loaded with.
// Expects edits that ConfigEditsError accepts.
std::string ConfigFileText(const ConfigEdits& edits, const common::AgentConfig& loaded,
                           std::string_view former_file);

// Takes the edits into the in-memory record: port, log level, listen address,
// central server, the first two interfaces and the three switches.
void ApplyConfigEdits(common::AgentConfig& config, const ConfigEdits& edits);

// The whole save over a configuration file: checks the edits, replaces the file
// atomically and updates config. Nothing on success; otherwise the message to
// show, and the file and config are left as they were.
std::optional<std::string> SaveConfigFile(const ConfigEdits& edits, common::AgentConfig& config,
                                          const std::string& path);

}  // namespace client
