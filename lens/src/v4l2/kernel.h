// The narrow interface through which the V4L2 back-end reaches the kernel.
// The system implementation forwards to the real calls; the replay
// implementation answers from a recording, so the back-end above it runs the
// same code with or without a camera.
// Threads: any; one device's calls come from its owner or its capture thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace tavrin::lens::v4l2 {

// Every call returns 0 or more on success and -errno on failure, so no
// caller has to read errno from another thread's call.
class Kernel {
 public:
  virtual ~Kernel() = default;

  // Device nodes that may be cameras ("/dev/video0", ...), in any order.
  virtual std::vector<std::string> ListNodes() = 0;
  virtual int Open(const std::string& path) = 0;
  virtual int Close(int fd) = 0;
  // Retried on EINTR.
  virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
  // Shared read/write mapping of a driver buffer; null with error set on
  // failure.
  virtual void* Mmap(int fd, size_t lengthBytes, off_t offset, int* error) = 0;
  virtual int Munmap(void* address, size_t lengthBytes) = 0;
  // Waits until fd is readable: 1 readable, 0 timed out, -errno on failure.
  virtual int WaitReadable(int fd, int timeoutMs) = 0;
};

// The real kernel: /dev/video* nodes, open(O_RDWR | O_NONBLOCK), ioctl,
// mmap, select.
std::shared_ptr<Kernel> MakeSystemKernel();

}  // namespace tavrin::lens::v4l2
