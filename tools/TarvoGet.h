#pragma once
// tarvo-get: sends requests to an agent's command port, in clear text or in
// TLS, and prints the replies.
//
//   tarvo-get [-s HOST] [-p PORT] [-t SECONDS] [--tls] [--cert FILE --key FILE]
//             [--ca FILE] REQUEST...

namespace tools {

// Exit statuses.
inline constexpr int kTarvoGetAllReplied = 0;
inline constexpr int kTarvoGetNoReply = 1;  // a request got no whole reply
inline constexpr int kTarvoGetUsage = 2;    // bad arguments or unusable files

// Sends each request on a connection of its own, in order, and writes each
// reply to standard output without its zero byte (on a terminal, a reply that
// does not end a line is followed by a line feed). Stops at the first request
// that gets no whole reply, with one line on standard error naming the agent
// and the reason. Returns the exit status.
int TarvoGetMain(int argc, char** argv);

}  // namespace tools
