#pragma once
// The control channel between a controlling process and a service's dispatcher:
// a Unix SOCK_SEQPACKET socket in the abstract namespace, named after the
// service's process id and start time, so that no file is left behind and a
// reused process id never reaches another process. One connection carries one
// control and its answer.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>

#include "platform/ServiceManager.h"

namespace platform::scm {

// The dispatcher's answer to one control: 0 or a Win32 error, and the status in
// force after the handler ran.
struct ControlReply {
  DWORD error = 0;
  SERVICE_STATUS status{};
};

// Opens the listening socket of the process (pid, start_time). Returns the
// descriptor (close-on-exec), or -1 with *err set to errno.
int ListenControlChannel(int pid, uint64_t start_time, int* err);

// One control request taken from the listening socket.
struct ControlRequest {
  int fd = -1;  // the connection; hand it to ReplyControl, which closes it
  DWORD control = 0;
  uid_t peer_uid = static_cast<uid_t>(-1);
};

// Accepts one connection and reads its control (waiting at most a second for
// it). Nothing when the connection broke or carried no valid request.
std::optional<ControlRequest> AcceptControl(int listen_fd);

// Sends the answer and closes the connection.
void ReplyControl(int fd, const ControlReply& reply);

// Outcome of SendControl beyond the reply itself.
enum class SendResult { kReplied, kNoListener, kTimedOut, kBroken };

// Connects to the service (pid, start_time), sends the control and waits up to
// timeout for the answer.
SendResult SendControl(int pid, uint64_t start_time, DWORD control,
                       std::chrono::milliseconds timeout, ControlReply* reply);

}  // namespace platform::scm
