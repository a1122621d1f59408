// Per-frame cost of turning a camera's MJPEG frame into a preview picture,
// set against tjbench decompressing the very same frame on one core.
//
//   v4l2_decode_bench [seconds per measurement, default 2]
//
// Frames: a synthetic document scene, 4:2:2 at quality 85 and without
// Huffman tables, as UVC cameras send them. "decode only" is the capture
// thread's full BGR decode; "decode+scale" adds bilinear resampling to fit a
// 1280x720 preview; "scaled decode" lets TurboJPEG reduce while decoding,
// for when only the preview is needed.
#include <linux/videodev2.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "lens/src/v4l2/decode.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace {

using tavrin::lens::v4l2::FitInside;
using tavrin::lens::v4l2::FrameDecoder;

const cv::Size kPreviewBox(1280, 720);

cv::Mat Scene(cv::Size size) {
  cv::Mat image(size, CV_8UC3, cv::Scalar(70, 72, 75));
  const cv::RotatedRect page(cv::Point2f(size.width * 0.5f, size.height * 0.5f),
                             cv::Size2f(size.width * 0.6f, size.height * 0.85f), 3);
  cv::Point2f corners[4];
  page.points(corners);
  std::vector<cv::Point> polygon(corners, corners + 4);
  cv::fillConvexPoly(image, polygon, cv::Scalar(240, 242, 238), cv::LINE_AA);
  const double scale = size.height / 480.0;
  for (int line = 0; line < 30; ++line) {
    cv::putText(image, "The quick brown fox jumps over the lazy dog " + std::to_string(line),
                cv::Point(static_cast<int>(size.width * 0.25),
                          static_cast<int>(size.height * (0.12 + line * 0.026))),
                cv::FONT_HERSHEY_SIMPLEX, 0.3 * scale, cv::Scalar(25, 25, 25),
                std::max(1, static_cast<int>(scale / 2)), cv::LINE_AA);
  }
  cv::Mat noise(size, CV_8UC3);
  cv::randn(noise, 0, 3);
  cv::Mat noisy;
  cv::add(image, noise, noisy, cv::noArray(), CV_8UC3);
  return noisy;
}

std::string CameraJpeg(const cv::Mat& bgr) {
  tjhandle handle = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long bytes = 0;
  tjCompress2(handle, bgr.data, bgr.cols, static_cast<int>(bgr.step), bgr.rows, TJPF_BGR, &jpeg,
              &bytes, TJSAMP_422, 85, 0);
  std::string stream(reinterpret_cast<char*>(jpeg), bytes);
  tjFree(jpeg);
  tjDestroy(handle);
  // Take the Huffman tables out, as the cameras do.
  std::string out = stream.substr(0, 2);
  size_t position = 2;
  while (position + 4 <= stream.size()) {
    const auto marker = static_cast<unsigned char>(stream[position + 1]);
    if (marker == 0xda) return out + stream.substr(position);
    const size_t length = (size_t(static_cast<unsigned char>(stream[position + 2])) << 8) |
                          static_cast<unsigned char>(stream[position + 3]);
    if (marker != 0xc4) out += stream.substr(position, 2 + length);
    position += 2 + length;
  }
  return out;
}

template <typename Work>
double MillisecondsPerFrame(double seconds, Work work) {
  for (int i = 0; i < 3; ++i) work();  // warm caches and allocations
  const auto start = std::chrono::steady_clock::now();
  int frames = 0;
  double elapsed = 0;
  do {
    work();
    ++frames;
    elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  } while (elapsed < seconds);
  return elapsed * 1000.0 / frames;
}

// tjbench's quiet table ends with the decompression speed in megapixels per
// second; -1 when it could not be run or read.
double TjbenchMilliseconds(const std::string& jpegPath, cv::Size size, double seconds,
                           const std::string& outputPath) {
  std::ostringstream command;
  command << "tjbench '" << jpegPath << "' -quiet -nowrite -warmup 0.5 -benchtime " << seconds
          << " > '" << outputPath << "' 2>&1";
  std::string error;
  const int pid = tavrin::platform::SpawnProcess("/bin/sh", {"-c", command.str()}, {}, &error);
  int status = -1;
  if (pid < 0 || !tavrin::platform::WaitProcess(pid, 120000, &status) || status != 0) return -1;
  std::string output;
  if (!tavrin::platform::ReadWholeFile(outputPath, output)) return -1;
  std::istringstream lines(output);
  std::string line;
  std::string last;
  while (std::getline(lines, line))
    if (line.find("4:2:2") != std::string::npos) last = line;
  const size_t space = last.find_last_of(" \t", last.find_last_not_of(" \t"));
  if (space == std::string::npos) return -1;
  const double megapixelsPerSecond = std::atof(last.c_str() + space + 1);
  if (megapixelsPerSecond <= 0) return -1;
  return size.area() / 1e6 / megapixelsPerSecond * 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  // tjbench uses one core; so do we, for a like-for-like figure.
  cv::setNumThreads(1);
  const std::string folder = tavrin::platform::PrivateTempFolder();
  if (folder.empty()) {
    std::fprintf(stderr, "no private temporary folder\n");
    return 1;
  }
  std::printf("%-10s %9s %12s %7s %14s %7s %14s %7s\n", "frame", "tjbench", "decode only", "ratio",
              "decode+scale", "ratio", "scaled decode", "ratio");
  for (const cv::Size size : {cv::Size(1920, 1080), cv::Size(3264, 2448)}) {
    const std::string jpeg = CameraJpeg(Scene(size));
    const std::string path = folder + "v4l2_bench_" + std::to_string(size.width) + ".jpg";
    if (!tavrin::platform::ReplaceFileAtomically(path, jpeg)) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
    const auto* data = reinterpret_cast<const uint8_t*>(jpeg.data());
    FrameDecoder decoder;
    cv::Mat frame;
    cv::Mat preview;
    const cv::Size previewSize = FitInside(size, kPreviewBox);
    bool ok = true;
    const double full = MillisecondsPerFrame(seconds, [&] {
      ok &=
          decoder.Decode(V4L2_PIX_FMT_MJPEG, data, jpeg.size(), size.width, size.height, 0, frame);
      cv::resize(frame, preview, previewSize, 0, 0, cv::INTER_LINEAR);
    });
    const double decodeOnly = MillisecondsPerFrame(seconds, [&] {
      ok &=
          decoder.Decode(V4L2_PIX_FMT_MJPEG, data, jpeg.size(), size.width, size.height, 0, frame);
    });
    const double scaled = MillisecondsPerFrame(seconds, [&] {
      ok &= decoder.DecodeMjpegToFit(data, jpeg.size(), kPreviewBox.width, kPreviewBox.height,
                                     preview);
    });
    const double reference = TjbenchMilliseconds(path, size, seconds, path + ".txt");
    tavrin::platform::DeleteFilePath(path);
    tavrin::platform::DeleteFilePath(path + ".txt");
    if (!ok) {
      std::fprintf(stderr, "decoding failed at %dx%d\n", size.width, size.height);
      return 1;
    }
    const std::string label = std::to_string(size.width) + "x" + std::to_string(size.height);
    if (reference <= 0) {
      std::printf("%-10s %9s %9.2f ms %7s %11.2f ms %7s %11.2f ms %7s   (tjbench did not run)\n",
                  label.c_str(), "-", decodeOnly, "-", full, "-", scaled, "-");
      continue;
    }
    std::printf("%-10s %6.2f ms %9.2f ms %6.2fx %11.2f ms %6.2fx %11.2f ms %6.2fx\n", label.c_str(),
                reference, decodeOnly, decodeOnly / reference, full, full / reference, scaled,
                scaled / reference);
  }
  std::printf("goal: within 1.20x of tjbench\n");
  return 0;
}
