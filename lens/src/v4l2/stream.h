// Memory-mapped streaming from one video node on a capture thread of its
// own. The thread waits for each frame with a timeout of a few frame
// periods, hands the raw bytes on, and treats ENODEV as the camera being
// pulled out: it stops and says so once, never blocks and never crashes.
// Threads: Start and Stop from the owner; the frame and lost handlers run
// on the capture thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lens/src/v4l2/kernel.h"

namespace tavrin::lens::v4l2 {

struct StreamFormat {
  uint32_t pixelFormat = 0;
  int width = 0;
  int height = 0;
  int bytesPerLine = 0;
  int framePeriodMs = 33;
};

// data stays valid only during the call.
using RawFrameHandler =
    std::function<void(const uint8_t* data, size_t bytes, const StreamFormat& format)>;
// Called once, when the device is gone (error is -ENODEV) or fails for good.
using StreamLostHandler = std::function<void(int error)>;

inline constexpr int kStreamBufferCount = 4;
// How many frame periods a frame may be late before the device is asked
// whether it is still there.
inline constexpr int kFramePeriodsBeforeTimeout = 4;

class CaptureStream {
 public:
  explicit CaptureStream(std::shared_ptr<Kernel> kernel) : kernel_(std::move(kernel)) {}
  ~CaptureStream() { Stop(); }
  CaptureStream(const CaptureStream&) = delete;
  CaptureStream& operator=(const CaptureStream&) = delete;

  // Opens the node, sets the format (the driver may adjust it: format()
  // tells what it took), maps the buffers and starts the thread. 0 or
  // -errno; on failure nothing stays open or mapped.
  int Start(const std::string& path, uint32_t pixelFormat, int width, int height,
            RawFrameHandler onFrame, StreamLostHandler onLost);
  // Joins the thread and releases every buffer; no handler runs afterwards.
  void Stop();

  bool Running() const { return thread_.joinable(); }
  const StreamFormat& Format() const { return format_; }
  // The streaming descriptor, for control calls while running; -1 if none.
  int Fd() const { return fd_; }

 private:
  struct Mapping {
    void* address = nullptr;
    size_t lengthBytes = 0;
  };

  int Prepare(uint32_t pixelFormat, int width, int height);
  void Release();
  void Run();

  std::shared_ptr<Kernel> kernel_;
  int fd_ = -1;
  StreamFormat format_;
  std::vector<Mapping> mappings_;
  bool streaming_ = false;
  RawFrameHandler onFrame_;
  StreamLostHandler onLost_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace tavrin::lens::v4l2
