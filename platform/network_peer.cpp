#include "platform/network_peer.h"

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>

namespace tavrin::platform {

std::vector<int> NetworkConnections() {
  std::vector<int> found;
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return found;
  const int own = dirfd(folder);
  while (const dirent* entry = readdir(folder)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == own) continue;
    struct stat info {};
    if (fstat(static_cast<int>(fd), &info) != 0 || !S_ISSOCK(info.st_mode)) continue;
    int type = 0;
    socklen_t length = sizeof(type);
    if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
        type != SOCK_STREAM)
      continue;
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof(peer);
    if (getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0)
      continue;
    if (peer.ss_family == AF_INET || peer.ss_family == AF_INET6)
      found.push_back(static_cast<int>(fd));
  }
  closedir(folder);
  return found;
}

bool ConnectionStirred(int fd) {
  pollfd watched{fd, POLLIN | POLLRDHUP, 0};
  if (poll(&watched, 1, 0) <= 0) return false;
  return (watched.revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace tavrin::platform
