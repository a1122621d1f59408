// The V4L2 back-end behind the library's device list: one Device per camera
// found by discovery, a udev watch for hot-plug, and TavrinLens.conf for the
// field of view and the remembered control values.
// Threads: as Backend and Device (lens/src/device.h); a stream that ends
// with ENODEV notifies from its capture thread through the watch thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "lens/src/device.h"
#include "lens/src/v4l2/controls.h"
#include "lens/src/v4l2/hotplug.h"
#include "lens/src/v4l2/kernel.h"

namespace tavrin::lens::v4l2 {

struct BackendOptions {
  std::shared_ptr<Kernel> kernel;
  // Null: no hot-plug events, but ENODEV still gives a change notice.
  std::function<std::unique_ptr<HotplugSource>()> makeHotplugSource;
  std::string confPath;  // empty: nothing read or remembered
  int hotplugQuietMs = kHotplugQuietMs;
};

std::unique_ptr<Backend> MakeV4l2Backend(BackendOptions options);

// The real cameras: system kernel, udev, TavrinLens.conf beside the library.
// With TAVRIN_LENS_V4L2_REPLAY naming a recording, that recording plays the
// cameras instead, so the whole library can be tried without one;
// TAVRIN_LENS_V4L2_REPLAY_LOG then names a file that gets a line for every
// control the library sets.
std::unique_ptr<Backend> MakeV4l2Backend();

// The full control list of a V4L2 device, buttons and controls of other
// classes included (for tests and diagnostics); empty for any other device.
std::vector<CameraControl> DetailedControls(const Device& device);

// Frames the device refused as corrupt since it was started (for tests and
// diagnostics); 0 for any other device.
int CorruptFrameCount(const Device& device);

}  // namespace tavrin::lens::v4l2
