#pragma once
// The unit files the systemd backend writes for CreateServiceA, and the names it
// gives them. Pure text work, no bus and no files, so it is tested on its own.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::systemd {

// The unit id for a Windows-style service name: lower case, blanks as "-",
// bytes outside [a-z0-9:_.-] left out, ".service" added ("Tarvo Agent Service"
// -> "tarvo-agent-service.service"). Names that already end in ".service" keep
// that ending once.
std::string UnitNameFor(std::string_view service_name);

// The folder CreateServiceA writes unit files to: TARVO_SYSTEMD_UNIT_DIR when set
// (tests), else /etc/systemd/system, the administrator's unit folder.
std::string UnitFolder();

// What a created unit says.
struct UnitDefinition {
  std::string description;            // Description= (the display name)
  std::vector<std::string> command;   // program and arguments of ExecStart=
  std::string user;                   // User=, empty for root
  std::string home;                   // TARVO_HOME for the service, empty for none
  bool start_at_boot = false;         // enabled after creation (automatic start)
};

// The unit file: Type=notify, since a service program reports its own start
// through the service glue, and WantedBy=multi-user.target for automatic start.
std::string UnitFileText(const UnitDefinition& unit);

// One ExecStart= word: quoted when it holds blanks, quotes, backslashes or
// nothing, with "%" doubled so systemd takes it literally, and "$" doubled in
// an argument, where systemd expands variables, but not in the program path,
// which systemd takes as it stands.
std::string QuoteExecWord(std::string_view word, bool program = false);

// Whether systemd runs a program from this path: it refuses a program path
// holding quotes, backslashes or control characters.
bool ValidProgramPath(std::string_view path);

// The Description= of a unit file's [Unit] section (the last one given), or
// nothing when the file sets none.
std::optional<std::string> UnitFileDescription(std::string_view unit_text);

// The extra description line (X-Tarvo-Description=) of a unit file, which
// carries the Windows service description that Description= (the display name)
// cannot: reading it from a file's text, and a copy of the text with it set.
std::optional<std::string> DescriptionLine(std::string_view unit_text);
std::string WithDescriptionLine(std::string_view unit_text, std::string_view description);

}  // namespace platform::systemd
