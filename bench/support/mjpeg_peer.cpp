#include "bench/support/mjpeg_peer.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace tavrin::bench {

namespace {

constexpr int kLoops = 15;  // the recording over again, for a steady figure

double ChildrenCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

cv::Size FitInside(cv::Size frame, cv::Size box) {
  if (frame.width * box.height <= box.width * frame.height)
    return {frame.width * box.height / frame.height, box.height};
  return {box.width, frame.height * box.width / frame.width};
}

int LowresLevel(cv::Size frame, cv::Size preview) {
  const double fit = std::min(static_cast<double>(preview.width) / frame.width,
                              static_cast<double>(preview.height) / frame.height);
  int level = 0;
  while (level < 3 && fit <= 1.0 / (2 << level)) ++level;
  return level;
}

double FfmpegMsPerFrame(const std::filesystem::path& stream, int frames, cv::Size size,
                        int lowresLevel) {
  const std::string command =
      "ffmpeg -nostdin -loglevel error -threads 1 " +
      (lowresLevel > 0 ? "-lowres " + std::to_string(lowresLevel) + " " : std::string()) +
      "-stream_loop " + std::to_string(kLoops - 1) + " -f mjpeg -i '" + stream.string() +
      "' -vf scale=" + std::to_string(size.width) + ":" + std::to_string(size.height) +
      " -f null - >/dev/null 2>&1";
  const double before = ChildrenCpuSeconds();
  if (std::system(command.c_str()) != 0) return 0.0;
  return (ChildrenCpuSeconds() - before) * 1000.0 / (frames * kLoops);
}

}  // namespace tavrin::bench
