#include "agent/CommandDispatcher.h"

#include <exception>

#include "agent/FixedReplies.h"
#include "agent/HelpText.h"
#include "agent/InventoryCommands.h"
#include "agent/MonitoringReplies.h"
#include "agent/RemoteClients.h"
#include "agent/ServiceCommands.h"
#include "agent/TaskCommands.h"
#include "agent/TaskFile.h"
#include "common/AgentConfig.h"
#include "common/TextUtil.h"
#include "common/WriteLog.h"

namespace agent {
namespace {

constexpr std::string_view kFailureLabel = " ProcessCommand Func ";

// What lives for one request across its lines.
struct RequestState {
  bool close_connection = false;
  ExecArguments exec_arguments;
};

using Handler = HandlerResult (*)(const RequestLine&, RequestState&);
// Short spellings for the handler adapters of the table.
using Line = const RequestLine&;
using State = RequestState&;

// One row of the command table. A word runs its handler when the line holds it,
// unless the line also holds `unless` (so FCPU never also counts as CPU); gated
// words run only when remote execution is allowed. Words that start a program
// wait for it, and take turns with the others that do.
struct CommandWord {
  std::string_view word;
  std::string_view unless;
  bool gated;
  Handler handler;
  bool runs_program = false;
};

HandlerResult ExecWordReply(const RequestLine& line, RequestState& state) {
  std::optional<std::string> program = CutWord(line.Upper, 1);
  if (!program) return HandlerResult::MissingPart();
  std::array<std::string, 5>& words = state.exec_arguments.Words;
  words[0] = std::move(*program);
  for (size_t k = 2; k <= 5; ++k) {
    if (std::optional<std::string> word = CutWord(line.Upper, k)) words[k - 1] = std::move(*word);
  }
  return ExecReply(line, state.exec_arguments);
}

// The command table, in the order the words are tested.
constexpr CommandWord kCommandTable[] = {
    {"TASKS", "", false, [](Line, State) { return TasksReply(); }},
    {"PING", "", false, [](Line, State) { return PingReply(); }},
    {"ABOUT", "", false, [](Line, State) { return AboutReply(); }},
    {"COMPUTERNAME", "", false, [](Line, State) { return ComputerNameReply(); }},
    {"SERVICE_LIST", "", false, [](Line l, State) { return ServiceListReply(l); }},
    {"SERVICE_STATUS", "", false,
     [](Line l, State) { return ServiceStatusReply(l, CutWord(l.Upper, 1)); }},
    {"SERVICE_STOP", "", true,
     [](Line l, State) { return ServiceStopReply(l, CutWord(l.Upper, 1)); }},
    {"SERVICE_START", "", true,
     [](Line l, State) { return ServiceStartReply(l, CutWord(l.Upper, 1)); }},
    {"EXEC", "", true, ExecWordReply, true},
    {"PUSHEVENTS", "", false, [](Line l, State) { return PushEventsReply(l); }},
    {"TASKQUERY", "", false, [](Line l, State) { return TaskQueryReply(l); }},
    {"EXETASK", "", true, [](Line l, State) { return ExeTaskReply(l); }, true},
    {"QUIT", "", false,
     [](Line, State s) {
       s.close_connection = true;
       return HandlerResult::NoReply();
     }},
    {"SWINV", "", false, [](Line l, State) { return SwInvReply(l); }},
    {"HWINV", "", false, [](Line l, State) { return HwInvReply(l); }},
    {"FCPU", "", false, [](Line l, State) { return FcpuReply(l.Upper); }},
    {"CPU", "FCPU", false, [](Line l, State) { return CpuReply(l.Upper); }},
    {"NETIN", "", false, [](Line l, State) { return NetInReply(l.Upper); }},
    {"NETOUT", "", false, [](Line l, State) { return NetOutReply(l.Upper); }},
    {"PERFMON1", "", false, [](Line l, State) { return PerfmonReply(0, l.Upper); }},
    {"PERFMON2", "", false, [](Line l, State) { return PerfmonReply(1, l.Upper); }},
    {"PERFMON3", "", false, [](Line l, State) { return PerfmonReply(2, l.Upper); }},
    {"PERFMON4", "", false, [](Line l, State) { return PerfmonReply(3, l.Upper); }},
    {"FDISK", "", false, [](Line l, State) { return FdiskReply(l.Upper); }},
    {"DISK", "FDISK", false, [](Line l, State) { return DiskReply(l.Upper); }},
    {"FMEMORY", "", false, [](Line l, State) { return FmemoryReply(l.Upper); }},
    {"MEMORY", "FMEMORY", false, [](Line l, State) { return MemoryReply(l.Upper); }},
    {"INFO", "", false, [](Line, State) { return InfoReply(); }, true},
    {"PROCS", "", false, [](Line l, State) { return ProcsReply(l.Upper); }},
    {"THREADS", "", false, [](Line l, State) { return ThreadsReply(l.Upper); }},
    {"CMD", "", false, [](Line l, State) { return CmdReply(l.Upper); }},
    {"RESUMEMON", "", false, [](Line l, State) { return ResumeMonReply(l.Upper); }},
};

bool Holds(std::string_view text, std::string_view word) {
  return text.find(word) != std::string_view::npos;
}

// Whether the line holds the word of the row so that its handler is tried.
bool LineHoldsWord(std::string_view upper_line, const CommandWord& entry) {
  return Holds(upper_line, entry.word) &&
         (entry.unless.empty() || !Holds(upper_line, entry.unless));
}

// Calls visit(received, upper) for every line of the request that runs (those
// ended by a line feed) until it returns false.
template <typename Visit>
void ForEachLine(std::string_view request, Visit visit) {
  size_t start = 0;
  for (size_t end = request.find('\n'); end != std::string_view::npos;
       start = end + 1, end = request.find('\n', start)) {
    const std::string_view received = request.substr(start, end - start);
    if (!visit(received, common::ToUpper(received))) return;
  }
}

// Runs the handlers of one line. Returns false when a handler failed.
bool ProcessLine(const RequestLine& line, RequestState& state, CommandReply& reply) {
  for (const CommandWord& entry : kCommandTable) {
    if (!LineHoldsWord(line.Upper, entry)) continue;
    // Gated words need remote execution allowed and a client REMOTECLIENTS lists.
    if (entry.gated && !GatedWordAllowed(entry.word, line.Context)) continue;
    HandlerResult result = entry.handler(line, state);
    switch (result.kind()) {
      case HandlerResult::Kind::kReply:
        reply.Text = result.TakeText();
        break;
      case HandlerResult::Kind::kFailure:
        common::LogFailure(result.text(), kFailureLabel);
        return false;
      case HandlerResult::Kind::kNoReply:
        break;
    }
  }
  return true;
}

}  // namespace

std::optional<std::string> CutWord(std::string_view upper_line, size_t k) {
  size_t start = 0;
  for (size_t i = 0; i < k; ++i) {
    const size_t blank = upper_line.find(' ', start);
    if (blank == std::string_view::npos) return std::nullopt;
    start = blank + 1;
  }
  const size_t end = upper_line.find(' ', start);
  std::string word(upper_line.substr(start, end == std::string_view::npos ? end : end - start));
  std::erase_if(word, [](char c) { return c == '\r' || c == '\n'; });
  return word;
}

bool RequestRunsPrograms(std::string_view request, const CommandContext& context) {
  const bool gate_open = GatedWordGate(context) == GateState::kOpen;
  bool runs = false;
  ForEachLine(request, [&](std::string_view, const std::string& upper) {
    for (const CommandWord& entry : kCommandTable) {
      if (entry.runs_program && (!entry.gated || gate_open) && LineHoldsWord(upper, entry)) {
        runs = true;
      }
    }
    return !runs;
  });
  return runs;
}

CommandReply ProcessCommand(std::string_view request, const CommandContext& context) {
  CommandReply reply;
  RequestState state;
  // Handlers log the line and texts cut from it (EXEC's command line, a bad
  // name, a runner's failure): none of them may carry a task's password.
  const common::ScopedLogSecrets hide_passwords(TaskPasswords(request));
  try {
    // Only lines ended by a line feed run; the text after the last one is ignored.
    ForEachLine(request, [&](std::string_view received, const std::string& upper) {
      if (ProcessLine(RequestLine{received, upper, context}, state, reply)) return true;
      reply.Text.clear();
      return false;
    });
  } catch (const std::exception& error) {
    common::LogFailure(error.what(), kFailureLabel);
    reply.Text.clear();
  }
  reply.CloseConnection = state.close_connection;
  return reply;
}

}  // namespace agent
