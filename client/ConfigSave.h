#pragma once
// The configuration editor's save, without widgets: the texts of the editor's
// fields, the checks made before the file is touched, the file's new bytes and
// the update of the in-memory configuration.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
// rounded; a text holding "=", or a comma together with a double quote, which
// the loader would give back cut); nothing when they can.
std::optional<std::string> ConfigEditsError(const ConfigEdits& edits);

// The editor's 20 lines in their fixed order ("LISTEN=...", ..., "LOGLEVEL=..."),
// without line ends; a line whose value holds a comma is in double quotes.
// `loaded` gives what the editor does not show. A counter whose field has
// three sub-fields keeps the label (fourth sub-field) it was loaded with.
// Expects edits that ConfigEditsError accepts.
std::vector<std::string> EditorLines(const ConfigEdits& edits, const common::AgentConfig& loaded);

// The file's new bytes: the former file, read as the loader reads it, with
// each of the editor's lines that changes what the loader gets taking the
// place of the item that decides its key (or added at the end, CR LF-ended,
// when the file has none). Everything else stays byte for byte where it
// stood: comments, the keys the editor does not show (COMMAND3,
// PROCESSTIMEOUT, ...), quotes, commas and line ends. A save that changes
// nothing gives the former bytes; a file without settings gets the 20 lines.
// The loader reads the result as the editor's values over the former file's.
std::string ConfigFileText(const ConfigEdits& edits, const common::AgentConfig& loaded,
                           std::string_view former_file);

// Takes the edits into the in-memory record: port, log level, listen address,
// central server, the first two interfaces and the three switches.
void ApplyConfigEdits(common::AgentConfig& config, const ConfigEdits& edits);

// The whole save over a configuration file: checks the edits, reads the former
// file (a missing one counts as empty; one that is not a regular file of at
// most kMaxConfigFileBytes is refused), replaces the file atomically when its
// bytes change, and updates config. What the editor does not show is kept as
// the former file holds it. Nothing on success; otherwise the message
// to show, and the file and config are left as they were.
std::optional<std::string> SaveConfigFile(const ConfigEdits& edits, common::AgentConfig& config,
                                          const std::string& path);

}  // namespace client
