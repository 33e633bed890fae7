#pragma once
// INFO, the help text: banner and version, the command list, the drives, the
// last memory reading, the configured prompt commands and the network
// configuration.

#include <string>
#include <string_view>
#include <vector>

#include "agent/CommandTypes.h"
#include "agent/MetricSnapshot.h"
#include "common/AgentConfig.h"
#include "platform/Drives.h"

namespace agent {

// The network section's command line.
inline constexpr std::string_view kNetworkCommand = "ip address show";

// The help text from its parts; every line ends in CR LF except the network
// text, which is appended as given.
std::string FormatHelpText(const std::vector<platform::DriveInfo>& drives,
                           const MetricSnapshot& snapshot, const common::AgentConfig& config,
                           std::string_view network_text);

// The help text of this machine: its drives, the current snapshot and
// configuration, and the network command's output (run through RunPiped).
std::string HelpText();

// INFO: replies with HelpText().
HandlerResult InfoReply();

}  // namespace agent
