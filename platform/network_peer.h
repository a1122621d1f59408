// The network connections of this process, for code that runs inside a
// daemon serving one client over one connection, and must notice when the
// client speaks up or goes while the daemon is busy in that code.
// Threads: any.
#pragma once

#include <vector>

namespace tavrin::platform {

// The descriptors of this process's connected TCP sockets.
std::vector<int> NetworkConnections();
// True when the connection has something to read, or its peer has closed
// it or it failed; never waits.
bool ConnectionStirred(int fd);

}  // namespace tavrin::platform
