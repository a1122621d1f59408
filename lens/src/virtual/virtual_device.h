// A virtual camera: renders its scene at the chosen size and frame rate on a
// capture thread of its own.
// Threads: control and capture-check calls from any library caller; the
// frame sink runs on the capture thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "lens/src/device.h"
#include "lens/src/virtual/scene.h"
#include "lens/src/virtual/virtual_entry.h"

namespace tavrin::lens {

enum VirtualControl : int {
  kBrightness = 1,
  kContrast = 2,
  kSaturation = 3,
  kExposure = 4,
  kFocus = 5,
};

class VirtualDevice final : public Device {
  using Clock = std::chrono::steady_clock;

 public:
  // ordinal tells apart equal entries of one list.
  VirtualDevice(VirtualEntry camera, std::string name, int ordinal);
  ~VirtualDevice() override;

  std::string Name() const override { return name_; }
  std::string Key() const override { return key_; }
  std::vector<MediaType> MediaTypes() const override { return mediaTypes_; }
  int OwnDpi(FrameSize size) const override;

  std::vector<ControlInfo> Controls() const override;
  int ControlValue(int id) const override;
  bool SetControl(int id, int value) override;

  int Start(int mediaType, FrameSize size, FrameSink sink) override;
  void Stop() override;
  int CheckCapture() override;

 private:
  void Run(FrameSize size, FrameSink sink);
  PictureControls CurrentControls() const;

  const VirtualEntry entry_;
  const std::string name_;
  const std::string key_;
  std::vector<MediaType> mediaTypes_;
  std::array<std::atomic<int>, 6> controls_{};  // by VirtualControl id
  std::atomic<int> failuresLeft_{0};
  // For a reader who waits for the shot: the page the last frame sent
  // shows with no hand over it (-1: none), the page last shot and when
  // (steady clock ticks).
  std::atomic<int> stillPage_{-1};
  std::atomic<int> shotPage_{-1};
  std::atomic<Clock::rep> shotAt_{0};

  std::mutex mutex_;  // guards stop_ and the thread's start and end
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace tavrin::lens
