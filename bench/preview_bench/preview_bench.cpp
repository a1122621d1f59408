// The live preview of an MJPEG document camera at 15 frames a second: a
// recording of the virtual document scene (bench/support/replayed_camera.h)
// is replayed through the camera library's V4L2 back-end into the real preview
// widget on the offscreen platform. Prints the frames painted per second,
// the whole process's processor time per second (getrusage), the delay
// from a frame's arrival to its paint (p50 / p95), resident memory
// (VmRSS / VmHWM), the processor time while the window is hidden, and a
// capture's time shown and hidden, and the same figures at 1:1 (a second
// line, preview_1to1). The peer, in the same run: ffmpeg
// decoding the same MJPEG stream scaled to the preview's size into a null
// output, processor time per frame, plainly and with its reduced-size
// decode (-lowres).
//
// Usage: preview_bench [--library path/libTavrinLens.so] [--label name]
//                      [--seconds n] [--preview WxH] [--sizes 8,18]
//                      [--shot prefix]   (saves the preview as painted)
//   QT_QPA_PLATFORM=offscreen build/bin/preview_bench
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QPixmap>
#include <QTimer>
#include <QWheelEvent>
#include <QWidget>

#include "bench/support/mjpeg_peer.h"
#include "bench/support/replayed_camera.h"
#include "camera/camera_library.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kCaptures = 5;

struct Options {
  std::string library;
  std::string label = "after";
  double seconds = 10.0;
  cv::Size preview{800, 600};
  std::vector<cv::Size> sizes{{3264, 2448}, {4912, 3680}};
  std::string shot;  // where to save the preview as painted, if anywhere
};

double CpuSeconds(int who) {
  rusage usage{};
  ::getrusage(who, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A figure of /proc/self/status in megabytes ("VmRSS", "VmHWM").
double StatusMb(const char* key) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(key, 0) == 0) return std::atof(line.c_str() + std::strlen(key) + 1) / 1024.0;
  }
  return 0.0;
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(fraction * values.size()))];
}

// "n/a" for a library whose preview does not tell the delay.
std::string Figure(const std::vector<double>& values, double fraction) {
  if (values.empty()) return "n/a";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", Percentile(values, fraction));
  return text;
}

void Run(const Options& options, cv::Size size, const fs::path& scratch) {
  const fs::path folder =
      scratch / (std::to_string(size.width) + "x" + std::to_string(size.height));
  fs::create_directories(folder / "lib");
  const auto camera = tavrin::bench::WriteReplayedCamera(folder, size);
  if (!camera) {
    std::fprintf(stderr, "cannot write the recording in %s\n", folder.c_str());
    return;
  }
  const std::string library =
      options.library.empty() ? (fs::path(QCoreApplication::applicationDirPath().toStdString()) /
                                 tavrin::CameraLibrary::kLibraryFileName)
                                    .string()
                              : options.library;
  fs::copy_file(library, folder / "lib" / tavrin::CameraLibrary::kLibraryFileName,
                fs::copy_options::overwrite_existing);
  ::setenv("TAVRIN_LENS_V4L2", "1", 1);
  ::setenv("TAVRIN_LENS_V4L2_REPLAY", camera->recording.c_str(), 1);
  ::setenv("TAVRIN_LENS_VIRTUAL", "", 1);
  ::unsetenv("TAVRIN_LENS_VIRTUAL_FILE");

  tavrin::CameraLibrary lens;
  if (!lens.LoadFromFolder((folder / "lib").string()) || lens.camInitCameraLib() != 0) {
    std::fprintf(stderr, "cannot load %s\n", library.c_str());
    return;
  }
  // Runs the event loop as a program does: asleep until there is work.
  const auto runFor = [&](double seconds, const std::function<void()>& everyHalfSecond) {
    QEventLoop loop;
    QTimer sampler;
    if (everyHalfSecond) {
      QObject::connect(&sampler, &QTimer::timeout, everyHalfSecond);
      sampler.start(500);
    }
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
  };
  const auto captureMs = [&](const std::string& name) {
    std::vector<double> times;
    for (int i = 0; i < kCaptures; ++i) {
      char path[1024] = {};
      std::strncpy(path, (folder / name).c_str(), sizeof path - 1);
      const auto start = Clock::now();
      if (lens.camCaptureImageFile(0, path) != 0) return 0.0;
      times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      runFor(0.2, nullptr);
    }
    return Percentile(times, 0.5);
  };

  QWidget host;
  host.resize(options.preview.width, options.preview.height);
  host.show();
  if (lens.camOpenDev(0, 0, size.width, size.height) != 0 ||
      lens.camSetPreviewWindow(0, reinterpret_cast<void*>(host.winId())) != 0) {
    std::fprintf(stderr, "cannot open the replayed camera at %dx%d\n", size.width, size.height);
    lens.camUnInitCameraLib();
    return;
  }
  auto* preview = host.findChild<QWidget*>("TavrinLensPreview");

  // Each new frame's delay, read as the next paint begins (the paint sets it).
  std::vector<double> delaysMs;
  qulonglong lastSequence = 0;
  struct PaintWatch : QObject {
    std::function<void()> onPaint;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint) onPaint();
      return false;
    }
  } watch;
  watch.onPaint = [&] {
    const qulonglong sequence = preview->property("frameSequence").toULongLong();
    const QVariant delay = preview->property("paintDelayUs");
    if (sequence != lastSequence && delay.isValid()) delaysMs.push_back(delay.toLongLong() / 1e3);
    lastSequence = sequence;
  };
  if (preview != nullptr) preview->installEventFilter(&watch);

  runFor(2.0, nullptr);  // the first frames, the preview at its size
  if (!options.shot.empty() && preview != nullptr) {
    const std::string name = options.shot + "_" + std::to_string(size.width) + "x" +
                             std::to_string(size.height) + ".png";
    preview->grab().save(QString::fromStdString(name));
  }
  const auto painted = [&] {
    return preview != nullptr ? preview->property("framesPainted").toULongLong() : 0;
  };
  struct Shown {
    double fps = 0.0;
    double cpuPct = 0.0;
    double msPerFrame = 0.0;
    std::vector<double> delaysMs;
    std::vector<double> rss;
  };
  const auto measure = [&](double seconds) {
    Shown shown;
    delaysMs.clear();
    const qulonglong paintedBefore = painted();
    const double cpuBefore = CpuSeconds(RUSAGE_SELF);
    const auto start = Clock::now();
    runFor(seconds, [&] { shown.rss.push_back(StatusMb("VmRSS")); });
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds(RUSAGE_SELF) - cpuBefore;
    shown.fps = (painted() - paintedBefore) / wall;
    shown.cpuPct = cpu / wall * 100.0;
    shown.msPerFrame = shown.fps > 0 ? cpu / wall * 1000.0 / shown.fps : 0.0;
    shown.delaysMs = delaysMs;
    return shown;
  };
  const Shown fit = measure(options.seconds);
  const double fps = fit.fps;
  const std::vector<double>& rss = fit.rss;
  const double shownCaptureMs = captureMs("shown.jpg");

  // At 1:1, as when the person looks closely at the page: most of a large
  // frame is then off screen.
  lens.camOriginalPreview(0);
  runFor(1.0, nullptr);
  const auto shot = [&](const std::string& what) {
    if (options.shot.empty() || preview == nullptr) return;
    const std::string name = options.shot + "_" + std::to_string(size.width) + "x" +
                             std::to_string(size.height) + "_" + what + ".png";
    preview->grab().save(QString::fromStdString(name));
  };
  shot("1to1");
  const Shown original = measure(options.seconds / 2);
  if (!options.shot.empty() && preview != nullptr) {
    // The looks that move what a zoomed preview decodes, to compare with
    // another library's pictures.
    const auto wheel = [&](int notches, Qt::KeyboardModifiers modifiers) {
      const QPointF at(preview->width() / 2.0, preview->height() / 2.0);
      QWheelEvent event(at, preview->mapToGlobal(at), QPoint(), QPoint(0, -120 * notches),
                        Qt::NoButton, modifiers, Qt::NoScrollPhase, false);
      QApplication::sendEvent(preview, &event);
    };
    const auto settle = [&] { runFor(0.6, nullptr); };
    wheel(5, Qt::NoModifier);
    wheel(5, Qt::ShiftModifier);
    settle();
    shot("1to1_panned");
    lens.camSetImageRotateMode(0, 1);
    settle();
    shot("1to1_turned");
    lens.camSetImageRotateMode(0, 0);
    lens.camSetImageAdjust(0, 4);  // black and white at one level
    lens.camSetImageCusCropRect(0, 30, 30, 60, 60);
    settle();
    shot("1to1_bw_frame");
    lens.camSetImageAdjust(0, 0);
    lens.camSetImageCusCropRect(0, 0, 0, 0, 0);
    for (int step = 0; step < 3; ++step) lens.camZooIn(0);
    settle();
    shot("zoomed_in");
    lens.camOptimalPreview(0);
    settle();
    for (int step = 0; step < 3; ++step) lens.camZooIn(0);
    settle();
    shot("zoomed_from_fit");
  }
  lens.camOptimalPreview(0);
  runFor(0.5, nullptr);

  // Hidden, as the window is in the modes that capture without the person.
  host.hide();
  runFor(1.0, nullptr);
  const double hiddenCpuBefore = CpuSeconds(RUSAGE_SELF);
  const auto hiddenStart = Clock::now();
  runFor(options.seconds / 2, nullptr);
  const double hiddenCpu = (CpuSeconds(RUSAGE_SELF) - hiddenCpuBefore) /
                           std::chrono::duration<double>(Clock::now() - hiddenStart).count();
  const double hiddenCaptureMs = captureMs("hidden.jpg");
  const double hwm = StatusMb("VmHWM");

  lens.camSetPreviewWindow(0, nullptr);
  lens.camCloseDev(0);
  lens.camUnInitCameraLib();
  lens.UnloadModule();

  const cv::Size previewFit = tavrin::bench::FitInside(size, options.preview);
  const double ourMsPerFrame = fit.msPerFrame;
  const fs::path& stream = camera->stream;
  const double ffmpegMs =
      tavrin::bench::FfmpegMsPerFrame(stream, tavrin::bench::kReplayedFrames, previewFit, 0);
  const double ffmpegLowresMs =
      tavrin::bench::FfmpegMsPerFrame(stream, tavrin::bench::kReplayedFrames, previewFit,
                                      tavrin::bench::LowresLevel(size, options.preview));
  const double peer = ffmpegLowresMs > 0 ? std::min(ffmpegMs, ffmpegLowresMs) : ffmpegMs;
  std::printf(
      "preview label=%s size=%dx%d preview=%dx%d fps_painted=%.1f cpu_pct=%.1f "
      "cpu_ms_per_frame=%.1f delay_p50_ms=%s delay_p95_ms=%s rss_median_mb=%.0f "
      "rss_max_mb=%.0f hwm_mb=%.0f hidden_cpu_pct=%.1f capture_shown_ms=%.0f "
      "capture_hidden_ms=%.0f ffmpeg_ms_per_frame=%.1f ffmpeg_lowres_ms_per_frame=%.1f "
      "ratio=%.2f\n",
      options.label.c_str(), size.width, size.height, options.preview.width, options.preview.height,
      fps, fit.cpuPct, ourMsPerFrame, Figure(fit.delaysMs, 0.5).c_str(),
      Figure(fit.delaysMs, 0.95).c_str(), Percentile(rss, 0.5),
      rss.empty() ? 0.0 : *std::max_element(rss.begin(), rss.end()), hwm, hiddenCpu * 100.0,
      shownCaptureMs, hiddenCaptureMs, ffmpegMs, ffmpegLowresMs,
      peer > 0 ? ourMsPerFrame / peer : 0.0);
  std::printf(
      "preview_1to1 label=%s size=%dx%d preview=%dx%d fps_painted=%.1f cpu_pct=%.1f "
      "cpu_ms_per_frame=%.1f delay_p50_ms=%s delay_p95_ms=%s rss_median_mb=%.0f fit_cpu_pct=%.1f\n",
      options.label.c_str(), size.width, size.height, options.preview.width, options.preview.height,
      original.fps, original.cpuPct, original.msPerFrame, Figure(original.delaysMs, 0.5).c_str(),
      Figure(original.delaysMs, 0.95).c_str(), Percentile(original.rss, 0.5), fit.cpuPct);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const std::string value = argv[i + 1];
    if (key == "--library") {
      options.library = value;
    } else if (key == "--shot") {
      options.shot = value;
    } else if (key == "--label") {
      options.label = value;
    } else if (key == "--seconds") {
      options.seconds = std::max(1.0, std::atof(value.c_str()));
    } else if (key == "--preview") {
      std::sscanf(value.c_str(), "%dx%d", &options.preview.width, &options.preview.height);
    } else if (key == "--sizes") {
      options.sizes.clear();
      std::istringstream list(value);
      for (std::string megapixels; std::getline(list, megapixels, ',');) {
        if (megapixels == "8") options.sizes.push_back({3264, 2448});
        if (megapixels == "18") options.sizes.push_back({4912, 3680});
      }
    } else {
      std::fprintf(stderr, "unknown option %s\n", key.c_str());
      return 2;
    }
  }
  QApplication app(argc, argv);
  const fs::path scratch =
      fs::temp_directory_path() / ("preview_bench." + std::to_string(::getpid()));
  fs::create_directories(scratch);
  for (const cv::Size size : options.sizes) Run(options, size, scratch);
  std::error_code ignored;
  fs::remove_all(scratch, ignored);
  return 0;
}
