#pragma once
// Plain TCP client steps for tests against servers on this machine.

#include <chrono>
#include <string>
#include <string_view>

namespace testsupport {

using TestClock = std::chrono::steady_clock;

// A connection to 127.0.0.1:port, tried again until the deadline (the server
// may still be starting); -1 when none was made.
int ConnectLoopback(int port, TestClock::time_point deadline);

// A socket listening on 127.0.0.1 at a port the system picks (set in port),
// that accepts nothing by itself; -1 when none could be made.
int ListenLoopback(int& port);

// Sends every byte; false when the connection failed.
bool SendAll(int fd, std::string_view bytes);

// Reads into received until it holds at least `least` bytes, or, with least 0,
// until the peer closes. Returns false on a failure or at the deadline.
bool ReadUntil(int fd, std::string& received, size_t least, TestClock::time_point deadline);

}  // namespace testsupport
