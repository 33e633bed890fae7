#pragma once
// The monitoring replies: single metric values and the RESUMEMON summary record,
// read from the MetricSnapshot. Each handler receives the upper-case copy of its
// line and yields no reply when the line holds none of its selectors.

#include <string_view>

#include "agent/CommandTypes.h"

namespace agent {

HandlerResult FcpuReply(std::string_view line);      // FCPU: 100 minus processor busy
HandlerResult CpuReply(std::string_view line);       // CPU (line without FCPU)
HandlerResult NetInReply(std::string_view line);     // NETIN 1..4
HandlerResult NetOutReply(std::string_view line);    // NETOUT 1..4
// PERFMON1..PERFMON4; index 0..3.
HandlerResult PerfmonReply(int index, std::string_view line);
HandlerResult FdiskReply(std::string_view line);     // FDISK 1..8: free space
HandlerResult DiskReply(std::string_view line);      // DISK 1..8 (line without FDISK)
HandlerResult FmemoryReply(std::string_view line);   // FMEMORY RAM/SWAP/VIRTUAL: free
HandlerResult MemoryReply(std::string_view line);    // MEMORY ... (line without FMEMORY)
HandlerResult ProcsReply(std::string_view line);     // PROCS
HandlerResult ThreadsReply(std::string_view line);   // THREADS
HandlerResult CmdReply(std::string_view line);       // CMD 1..3
HandlerResult ResumeMonReply(std::string_view line); // RESUMEMON

}  // namespace agent
