#pragma once
// The desktop client program: the application object, the main window and its
// start-up, and the event loop until an exit sequence ends it.

namespace client {

// Runs TarvoAgentCliente; returns the process's exit status.
int RunTarvoAgentCliente(int argc, char** argv);

}  // namespace client
