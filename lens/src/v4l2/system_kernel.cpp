#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "lens/src/v4l2/kernel.h"

namespace tavrin::lens::v4l2 {
namespace {

class SystemKernel final : public Kernel {
 public:
  std::vector<std::string> ListNodes() override {
    std::vector<std::string> nodes;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("video", 0) == 0) nodes.push_back(entry.path().string());
    }
    return nodes;
  }

  int Open(const std::string& path) override {
    // Non-blocking, so a dequeue never sleeps past the select timeout.
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    return fd >= 0 ? fd : -errno;
  }

  int Close(int fd) override { return ::close(fd) == 0 ? 0 : -errno; }

  int Ioctl(int fd, unsigned long request, void* arg) override {
    int result = -1;
    do {
      result = ::ioctl(fd, request, arg);
    } while (result == -1 && errno == EINTR);
    return result >= 0 ? result : -errno;
  }

  void* Mmap(int fd, size_t lengthBytes, off_t offset, int* error) override {
    void* address = ::mmap(nullptr, lengthBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
    if (address == MAP_FAILED) {
      if (error != nullptr) *error = errno;
      return nullptr;
    }
    return address;
  }

  int Munmap(void* address, size_t lengthBytes) override {
    return ::munmap(address, lengthBytes) == 0 ? 0 : -errno;
  }

  int WaitReadable(int fd, int timeoutMs) override {
    if (fd < 0 || fd >= FD_SETSIZE) return -EBADF;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int result = ::select(fd + 1, &readable, nullptr, nullptr, &timeout);
    if (result < 0) return errno == EINTR ? 0 : -errno;
    return result > 0 ? 1 : 0;
  }
};

}  // namespace

std::shared_ptr<Kernel> MakeSystemKernel() {
  return std::make_shared<SystemKernel>();
}

}  // namespace tavrin::lens::v4l2
