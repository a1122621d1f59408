// The kernel played back from a Recording: answers the ioctls a camera
// driver answers, hands out recorded frames through mmap buffers, unplugs a
// device on cue (ENODEV from then on) and plays recorded hot-plug events.
// Threads: any; one lock guards all state, and no call sleeps holding it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lens/src/v4l2/hotplug.h"
#include "lens/src/v4l2/kernel.h"
#include "lens/src/v4l2/recording.h"

namespace tavrin::lens::v4l2 {

class ReplayKernel final : public Kernel, public std::enable_shared_from_this<ReplayKernel> {
 public:
  explicit ReplayKernel(Recording recording);
  ~ReplayKernel() override;

  std::vector<std::string> ListNodes() override;
  int Open(const std::string& path) override;
  int Close(int fd) override;
  int Ioctl(int fd, unsigned long request, void* arg) override;
  void* Mmap(int fd, size_t lengthBytes, off_t offset, int* error) override;
  int Munmap(void* address, size_t lengthBytes) override;
  int WaitReadable(int fd, int timeoutMs) override;

  // Time between frames; by default each format's recorded rate.
  void SetFramePeriodMs(int periodMs);
  // Plugs in or pulls out a recorded device, as a hot-plug event does.
  void Plug(const std::string& path);
  void Unplug(const std::string& path);
  // Plays the recording's events in real time from this call on, plugging
  // and unplugging before each event is delivered.
  std::unique_ptr<HotplugSource> MakeHotplugSource();

  // For leak checks: descriptors not closed, buffers not unmapped.
  int OpenFileCount() const;
  int MappingCount() const;
  // Frames handed out so far by a device.
  int FramesDelivered(const std::string& path) const;

  // Every VIDIOC_S_CTRL in order, with what the driver answered.
  struct ControlWrite {
    std::string path;
    uint32_t id = 0;
    int asked = 0;
    int result = 0;  // 0 or -errno
    int taken = 0;   // the value the driver kept, when result is 0
  };
  std::vector<ControlWrite> ControlWrites() const;
  // Also appends each write to that file as it happens, one line each:
  // "/dev/video0 0x00980900 20 -> 20" or "... -> error -13".
  void LogControlWrites(const std::string& path);

 private:
  // The answer to one ioctl; mutex_ is held.
  int Answer(int fd, unsigned long request, void* arg);

  struct State;
  std::unique_ptr<State> state_;
  mutable std::mutex mutex_;
};

}  // namespace tavrin::lens::v4l2
