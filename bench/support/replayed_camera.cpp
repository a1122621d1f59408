#include "bench/support/replayed_camera.h"

#include <turbojpeg.h>

#include <fstream>
#include <sstream>

#include "lens/src/virtual/scene.h"

namespace tavrin::bench {

namespace {

constexpr int kJpegQuality = 85;

}  // namespace

std::vector<std::string> ReplayedCamera::Environment() const {
  return {"TAVRIN_LENS_V4L2=1", "TAVRIN_LENS_V4L2_REPLAY=" + recording.string(),
          "TAVRIN_LENS_VIRTUAL="};
}

std::optional<ReplayedCamera> WriteReplayedCamera(const std::filesystem::path& folder,
                                                  cv::Size size) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) return std::nullopt;
  const ReplayedCamera camera{folder / "camera.rec", folder / "stream.mjpeg"};
  std::ostringstream rec;
  rec << "device /dev/video0\n  driver uvcvideo\n  card Bench DocCam\n  bus usb-bench\n"
      << "  capabilities 0x84a00001\n  device_caps 0x04200001\n"
      << "  format MJPG compressed Motion-JPEG\n    discrete " << size.width << "x" << size.height
      << "\n    fps " << kReplayedFramesPerSecond << "\n";
  std::ofstream stream(camera.stream, std::ios::binary);
  tjhandle handle = tjInitCompress();
  bool written = handle != nullptr;
  for (int i = 0; i < kReplayedFrames && written; ++i) {
    cv::Mat frame =
        tavrin::lens::RenderScene(tavrin::lens::Scene::kDocument, {size.width, size.height}, 0);
    tavrin::lens::DrawFrameStamp(frame, i, i / double(kReplayedFramesPerSecond));
    unsigned char* jpeg = nullptr;
    unsigned long bytes = 0;
    written = tjCompress2(handle, frame.data, frame.cols, static_cast<int>(frame.step), frame.rows,
                          TJPF_BGR, &jpeg, &bytes, TJSAMP_422, kJpegQuality, 0) == 0;
    const std::string name = "frame" + std::to_string(i) + ".jpg";
    if (written) {
      std::ofstream file(folder / name, std::ios::binary);
      file.write(reinterpret_cast<const char*>(jpeg), static_cast<std::streamsize>(bytes));
      stream.write(reinterpret_cast<const char*>(jpeg), static_cast<std::streamsize>(bytes));
      written = file.good();
    }
    tjFree(jpeg);
    rec << "    frame " << size.width << "x" << size.height << " " << name << "\n";
  }
  if (handle != nullptr) tjDestroy(handle);
  stream.close();
  if (!written || !stream.good()) return std::nullopt;
  std::ofstream out(camera.recording);
  out << rec.str();
  out.close();
  if (!out.good()) return std::nullopt;
  return camera;
}

}  // namespace tavrin::bench
