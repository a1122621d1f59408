// Loading the recorded cameras of tests/data/v4l2.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "lens/src/v4l2/recording.h"
#include "lens/src/v4l2/replay_kernel.h"

namespace tavrin::lens::v4l2::replay {

inline std::string DataPath(const std::string& name) {
  return std::string(TAVRIN_V4L2_DATA) + "/" + name;
}

inline Recording LoadOrFail(const std::string& name) {
  Recording recording;
  std::string error;
  EXPECT_TRUE(LoadRecording(DataPath(name), recording, error)) << error;
  return recording;
}

// Frames come every periodMs instead of at the recorded rate, so tests stay fast.
inline std::shared_ptr<ReplayKernel> Replay(const std::string& name, int periodMs = 2) {
  auto kernel = std::make_shared<ReplayKernel>(LoadOrFail(name));
  kernel->SetFramePeriodMs(periodMs);
  return kernel;
}

inline std::shared_ptr<ReplayKernel> Replay(Recording recording, int periodMs = 2) {
  auto kernel = std::make_shared<ReplayKernel>(std::move(recording));
  kernel->SetFramePeriodMs(periodMs);
  return kernel;
}

}  // namespace tavrin::lens::v4l2::replay
