// A replayed MJPEG document camera for the live-preview benches: what a
// real document camera sends, written once as a recording that the camera
// library's V4L2 back-end replays, and as one stream for the ffmpeg peer.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace tavrin::bench {

// The rate the recording announces and is replayed at.
inline constexpr int kReplayedFramesPerSecond = 15;
// How many frames it holds; the replay loops over them.
inline constexpr int kReplayedFrames = 4;

struct ReplayedCamera {
  std::filesystem::path recording;  // camera.rec, for the camera library
  std::filesystem::path stream;     // stream.mjpeg, the same frames for ffmpeg

  // The environment that makes the camera library replay the recording
  // instead of offering its virtual cameras.
  std::vector<std::string> Environment() const;
};

// Writes, in folder (made when missing), a /dev/video0 camera offering one
// MJPG size: frames of the virtual document scene with a running stamp,
// 4:2:2 JPEG at quality 85, as USB cameras send them. Nothing when a frame
// or a file cannot be written.
std::optional<ReplayedCamera> WriteReplayedCamera(const std::filesystem::path& folder,
                                                  cv::Size size);

}  // namespace tavrin::bench
