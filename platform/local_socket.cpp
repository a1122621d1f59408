#include "platform/local_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace tavrin::platform {

namespace {

using Clock = std::chrono::steady_clock;

void SetError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace

unsigned UserId() {
  return static_cast<unsigned>(getuid());
}

bool SendToLocalSocket(const std::string& path, const void* bytes, size_t size, int timeoutMs,
                       std::string* error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // A cut path would reach some other socket.
  if (path.empty() || path.size() >= sizeof(address.sun_path)) {
    SetError(error, "socket path too long for a local socket: " + path);
    return false;
  }
  std::memcpy(address.sun_path, path.data(), path.size());

  const Descriptor socketFd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (socketFd.get() < 0) {
    SetError(error, std::string("socket: ") + std::strerror(errno));
    return false;
  }
  // A local connect completes at once or fails; it does not go pending.
  if (connect(socketFd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    SetError(error, "cannot connect to " + path + ": " + std::strerror(errno));
    return false;
  }

  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  const char* next = static_cast<const char*>(bytes);
  size_t left = size;
  while (left > 0) {
    const ssize_t written = send(socketFd.get(), next, left, MSG_NOSIGNAL);
    if (written > 0) {
      next += written;
      left -= static_cast<size_t>(written);
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      SetError(error, "cannot write to " + path + ": " + std::strerror(errno));
      return false;
    }
    const auto remaining =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (remaining <= 0) {
      SetError(error, "timed out writing to " + path);
      return false;
    }
    pollfd wait{socketFd.get(), POLLOUT, 0};
    poll(&wait, 1, static_cast<int>(remaining));
  }
  return true;
}

}  // namespace tavrin::platform
