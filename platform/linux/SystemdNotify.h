#pragma once
// The notification a service sends systemd about its state ("READY=1",
// "STOPPING=1", "STATUS=..."): one datagram to the socket NOTIFY_SOCKET names,
// written here rather than taken from libsystemd so that a service does not
// load that library for a few bytes.

#include <string_view>

namespace platform::systemd {

// Sends `message` as one datagram to the AF_UNIX socket `address`: a file
// system path ("/run/systemd/notify"), or an abstract name when it starts
// with "@". 0 on success, else the errno (EINVAL for an address that is
// neither, or too long).
int SendNotification(std::string_view address, std::string_view message);

// The same to the socket of NOTIFY_SOCKET; 0 without sending when it is not
// set (a process systemd did not start with Type=notify).
int NotifyServiceManager(std::string_view message);

}  // namespace platform::systemd
