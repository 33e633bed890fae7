#pragma once
// What /proc tells about a process: its state, its parent and when it started.
// Records that name a process keep its start time as well, so that a process id
// reused by the kernel is not mistaken for the process that was recorded.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct ProcessIdentity {
  char state = '?';         // R, S, D, Z, X, ... (field 3)
  int ppid = 0;             // field 4
  uint64_t start_time = 0;  // clock ticks after boot (field 22)
};

// Parses the text of /proc/<pid>/stat. The command name (field 2) may hold
// blanks and parentheses, so fields are counted after its last ')'. Nothing for
// a text that does not have the fields.
std::optional<ProcessIdentity> ParseProcessIdentity(std::string_view text);

// Reads and parses <proc_root>/<pid>/stat; nothing when the process is gone.
std::optional<ProcessIdentity> ReadProcessIdentity(int pid, const std::string& proc_root = "/proc");

// Whether pid is a process that still runs (not a zombie) and started at
// start_time.
bool ProcessIsAlive(int pid, uint64_t start_time);

}  // namespace platform
