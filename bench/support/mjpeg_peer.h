// The peer of the live-preview benches: ffmpeg decoding an MJPEG stream
// scaled to the preview's size into a null output, on one thread.
#pragma once

#include <filesystem>

#include <opencv2/core.hpp>

namespace tavrin::bench {

// The size of frame scaled to fit inside box, keeping its aspect.
cv::Size FitInside(cv::Size frame, cv::Size box);
// The largest halving (1/2, 1/4, 1/8) that still covers preview, as
// ffmpeg's -lowres level.
int LowresLevel(cv::Size frame, cv::Size preview);
// ffmpeg's processor time per frame in milliseconds, decoding stream (of
// frames frames, looped for a steady figure) and scaling it to size, with
// the reduced-size decode at lowresLevel when above 0; 0 when it fails.
double FfmpegMsPerFrame(const std::filesystem::path& stream, int frames, cv::Size size,
                        int lowresLevel);

}  // namespace tavrin::bench
