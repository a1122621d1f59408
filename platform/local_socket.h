// Client end of a local (AF_UNIX stream) socket, for programs without Qt
// that talk to the scan window. Threads: any.
#pragma once

#include <cstddef>
#include <string>

namespace tavrin::platform {

// The real user id of the process.
unsigned UserId();

// Connects to the socket at path, writes all size bytes and closes. False,
// with error set, when the path does not fit a socket address, nobody
// listens there, or the bytes could not be written within timeoutMs.
bool SendToLocalSocket(const std::string& path, const void* bytes, size_t size, int timeoutMs,
                       std::string* error = nullptr);

}  // namespace tavrin::platform
