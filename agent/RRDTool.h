#pragma once
// The RRD feed: databases, updates and graphs through the outside rrdtool
// program, started in the RRDTOOL folder without a shell and never waited for
// (except for the bounded wait on the creations of a feed, which happens on the
// RRD launcher's thread).

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "common/AgentConfig.h"

namespace agent {

// Seconds that must have passed since the last feed before the next one.
inline constexpr std::time_t kRrdFeedPeriodSeconds = 300;

// Whether the main loop feeds now: RRDTOOL reads as true and more than
// kRrdFeedPeriodSeconds whole seconds have passed since last_feed.
bool RrdFeedIsDue(const common::AgentConfig& config, std::time_t last_feed, std::time_t now);

// The values one update pass writes, in the order of the databases.
struct RrdValues {
  double Cpu = 0;   // CPU: percent busy of processor 0
  double Mem = 0;   // MEM: bytes of available memory
  double Dskc = 0;  // DSKC, DSKD, DSKE: bytes used on drives C, D, E
  double Dskd = 0;
  double Dske = 0;
  double NetReceived = 0;  // NET: raw byte counters of the first interface
  double NetSent = 0;
};

// The command an UPDATE record's command piece starts for a database name (upper
// case): "$TIME" replaced by unix_time, then "$VAL" by the database's value, or
// for NET "$VAL1" by the received and "$VAL2" by the sent counter. Nothing when
// the name is none of CPU, MEM, DSKC, DSKD, DSKE and NET.
std::optional<std::string> UpdateCommand(std::string_view name, std::string command,
                                         int64_t unix_time, const RrdValues& values);

// One feed: makes sure the RRDTOOL folder, the template and the graph script
// exist, reads the snapshot's values, and hands the process starts to the RRD
// launcher's thread: the missing databases are created (their creations waited
// for, a few seconds at most), then one update per UPDATE record and the graph
// script are started. Returns without waiting for any of them. Never raises;
// failures are logged at level 1.
void FeedRRDTool();

// Starts the template's CREATE command for the database name, its "$TIME" one
// second before now so that the feed's update for this second is accepted.
// Returns the process id of the started rrdtool, or nothing when no command was
// started (no CREATE record, or the program could not be started: logged).
std::optional<int> CreateRRDTool(std::string_view name);

// Starts every UPDATE record of the template with the given values and logs each
// command at level 2. A broken record or a program that cannot be started is
// logged at level 1 and ends the pass.
void UpdateRRDToolDBs(double cpu, double mem, double dskc, double dskd, double dske,
                      double net_received, double net_sent);

// Starts the graph script with /bin/sh in the RRDTOOL folder when it exists.
void MakeRRDToolGraphs();

}  // namespace agent
