// Start-up time of the scan window: from the start of a process to the
// window being ready, and on to the first live frame painted in its
// preview, with one camera: the virtual document camera (STARTUP_CAMERA
// names another virtual one), and a replayed 8 MP and 18 MP MJPEG camera,
// which is what a real document camera gives. Each iteration starts a
// fresh process from a private copy of the program folder; that process
// builds the application object and the window exactly as the program
// does, and reports how long it took since its parent started it.
//
// The window's memory, with the replayed MJPEG camera: resident memory of
// the whole window process sampled every half second while it previews
// (MEMORY_SECONDS, 10 by default), its peak (VmHWM), and the resident
// memory after five captures.
//
//   cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRIN_BENCH=ON
//   cmake --build build --target startup_bench
//   build/bin/startup_bench
//   MEMORY_SECONDS=180 MEMORY_CAPTURE_SECONDS=5 build/bin/startup_bench
//     --benchmark_filter=Memory      (a long run, capturing every 5 s)
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEvent>
#include <QImage>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <QEventLoop>
#include <QTimer>

#include "app/tavrin_window_app.h"
#include "bench/support/replayed_camera.h"
#include "mainwindow/message_box.h"
#include "mainwindow/tavrin_window_dlg.h"
#include "platform/paths.h"
#include "tests/mainwindow/private_program_folder.h"
#include "tests/mainwindow/window_probe.h"

namespace {

constexpr const char* kStartVariable = "TAVRIN_BENCH_START_NS";
constexpr const char* kResultVariable = "TAVRIN_BENCH_RESULT";
constexpr const char* kMemorySecondsVariable = "TAVRIN_BENCH_MEMORY_SECONDS";
constexpr int kCaptures = 5;

long long NowNs() {
  // CLOCK_MONOTONIC is one clock for every process of the machine.
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Whether an image holds more than a flat background: a few grey levels
// across a coarse grid of samples.
bool HasPicture(const QImage& image) {
  if (image.isNull()) return false;
  std::set<int> levels;
  for (int y = 1; y < 16; ++y) {
    for (int x = 1; x < 16; ++x) {
      levels.insert(qGray(image.pixel(image.width() * x / 16, image.height() * y / 16)) / 16);
    }
  }
  return levels.size() > 3;
}

// A figure of /proc/self/status in megabytes ("VmRSS", "VmHWM").
double StatusMb(const char* key) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(key, 0) == 0) return std::atof(line.c_str() + std::strlen(key) + 1) / 1024.0;
  }
  return 0.0;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Runs the event loop as the program does, asleep until there is work,
// calling sample every half second.
void RunFor(double seconds, const std::function<void()>& sample) {
  QEventLoop loop;
  QTimer sampler;
  if (sample) {
    QObject::connect(&sampler, &QTimer::timeout, sample);
    sampler.start(500);
  }
  QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
  loop.exec();
}

// The window's memory while it previews for seconds, then after captures:
// "rss_median rss_max hwm rss_after_captures first_third_median
// last_third_median" in megabytes.
std::string MeasureMemory(tavrin::CTavrinWindowDlg& window, double seconds, bool& failed) {
  std::vector<double> rss;
  // MEMORY_CAPTURE_SECONDS: a capture that often while previewing, as in
  // a long session.
  const double captureEvery =
      std::atof(tavrin::platform::Environment("MEMORY_CAPTURE_SECONDS").c_str());
  const size_t samplesPerCapture = captureEvery > 0 ? static_cast<size_t>(captureEvery * 2) : 0;
  RunFor(seconds, [&] {
    rss.push_back(StatusMb("VmRSS"));
    if (samplesPerCapture > 0 && rss.size() % samplesPerCapture == 0) {
      tavrin::ScanWindowProbe(window).OnCapture();
    }
  });
  const double rssMax = rss.empty() ? 0.0 : *std::max_element(rss.begin(), rss.end());
  for (int i = 0; i < kCaptures && !failed; ++i) {
    tavrin::ScanWindowProbe(window).OnCapture();
    RunFor(0.5, nullptr);
  }
  std::vector<double> after;
  RunFor(3.0, [&after] { after.push_back(StatusMb("VmRSS")); });
  const size_t third = std::max<size_t>(1, rss.size() / 3);
  std::ostringstream out;
  out << Median(rss) << ' ' << rssMax << ' ' << StatusMb("VmHWM") << ' ' << Median(after) << ' '
      << Median({rss.begin(), rss.begin() + std::min(third, rss.size())}) << ' '
      << Median({rss.end() - std::min(third, rss.size()), rss.end()});
  return out.str();
}

// The measured process: start-up as the program does it, then report.
int RunWindow(int argc, char** argv) {
  tavrin::CTavrinWindowApp app(argc, argv);
  bool failed = false;
  tavrin::SetMessageBoxObserver([&failed](const QString& text) {
    std::fprintf(stderr, "message: %s\n", text.toLocal8Bit().constData());
    failed = true;
  });
  tavrin::CTavrinWindowDlg window;
  const bool ready = window.OnInitDialog() && tavrin::ScanWindowProbe(window).IsReady();
  const long long readyNs = NowNs();
  if (!ready || failed) return 1;
  // The person sees the camera once the preview has painted a frame: until
  // then it is one flat colour. The moment is the start of the preview's
  // first paint that drew a frame, checked by painting the host into an
  // image that must hold a picture. The loop sleeps until there are events,
  // as the program's own does, so that watching costs the process nothing.
  window.show();
  struct PaintWatch : QObject {
    long long lastPaintNs = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint) lastPaintNs = NowNs();
      return false;
    }
  } watch;
  QWidget* preview = window.PreviewHost()->findChild<QWidget*>("TavrinLensPreview");
  if (preview == nullptr) return 1;
  preview->installEventFilter(&watch);
  long long paintedNs = 0;
  const long long giveUpNs = readyNs + 10'000'000'000LL;
  while (paintedNs == 0 && NowNs() < giveUpNs) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (preview->property("framesPainted").toULongLong() == 0) continue;
    const long long firstPaintNs = watch.lastPaintNs;
    preview->removeEventFilter(&watch);
    if (!HasPicture(window.PreviewHost()->grab().toImage())) return 1;
    paintedNs = firstPaintNs;
  }
  if (paintedNs == 0) return 1;
  const long long startNs = std::atoll(tavrin::platform::Environment(kStartVariable).c_str());
  std::ostringstream result;
  result << (readyNs - startNs) << ' ' << (paintedNs - startNs);
  const double memorySeconds =
      std::atof(tavrin::platform::Environment(kMemorySecondsVariable).c_str());
  if (memorySeconds > 0) result << ' ' << MeasureMemory(window, memorySeconds, failed);
  window.reject();
  if (failed) return 1;
  std::ofstream(tavrin::platform::Environment(kResultVariable)) << result.str();
  return 0;
}

// The camera to start with: STARTUP_CAMERA, or the document camera at its
// own default (largest) size.
std::string Camera() {
  const std::string chosen = tavrin::platform::Environment("STARTUP_CAMERA");
  return chosen.empty() ? "document" : chosen;
}

// The environment of a replayed MJPEG document camera offering one size,
// its recording in folder's replay/; nothing when it cannot be written.
std::vector<std::string> ReplayedCamera(tavrin::test::PrivateProgramFolder& folder, cv::Size size) {
  if (!folder.Create()) return {};
  const auto camera =
      tavrin::bench::WriteReplayedCamera(std::filesystem::path(folder.Root()) / "replay", size);
  return camera ? camera->Environment() : std::vector<std::string>{};
}

// Runs the window once; false when it did not start. figures: what it
// reported, in the order it wrote them.
bool RunOnce(const tavrin::test::PrivateProgramFolder& folder,
             const std::vector<std::string>& cameraEnv, double memorySeconds,
             std::vector<double>& figures) {
  const std::string result = folder.Root() + "/startup_result";
  std::vector<std::string> env = cameraEnv;
  if (getenv("XENV")) env.push_back(getenv("XENV"));
  env.push_back(std::string(kStartVariable) + "=" + std::to_string(NowNs()));
  env.push_back(std::string(kResultVariable) + "=" + result);
  env.push_back(std::string(kMemorySecondsVariable) + "=" + std::to_string(memorySeconds));
  std::remove(result.c_str());
  if (folder.Run({"--measured"}, env) != 0) return false;
  figures.clear();
  std::ifstream in(result);
  for (double figure = 0; in >> figure;) figures.push_back(figure);
  return figures.size() >= 2;
}

void Startup(benchmark::State& state, const std::vector<std::string>& cameraEnv) {
  tavrin::test::PrivateProgramFolder folder;
  if (!folder.Create()) {
    state.SkipWithError("cannot make the private program folder");
    return;
  }
  double totalMs = 0;
  double paintedTotalMs = 0;
  std::vector<double> figures;
  for (auto _ : state) {
    if (!RunOnce(folder, cameraEnv, 0.0, figures)) {
      state.SkipWithError("the window did not start");
      return;
    }
    const double seconds = figures[0] / 1e9;
    state.SetIterationTime(seconds);
    totalMs += seconds * 1000.0;
    paintedTotalMs += figures[1] / 1e6;
  }
  state.counters["ready_ms"] = benchmark::Counter(totalMs, benchmark::Counter::kAvgIterations);
  state.counters["first_frame_ms"] =
      benchmark::Counter(paintedTotalMs, benchmark::Counter::kAvgIterations);
}

cv::Size Megapixels(int megapixels) {
  return megapixels >= 18 ? cv::Size(4912, 3680) : cv::Size(3264, 2448);
}

void BM_StartupToReady(benchmark::State& state) {
  Startup(state, {"TAVRIN_LENS_VIRTUAL=" + Camera()});
}
BENCHMARK(BM_StartupToReady)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

// Argument: megapixels (8 or 18).
void BM_StartupReplayedMjpeg(benchmark::State& state) {
  tavrin::test::PrivateProgramFolder scratch;
  const cv::Size size = Megapixels(static_cast<int>(state.range(0)));
  const std::vector<std::string> env = ReplayedCamera(scratch, size);
  if (env.empty()) {
    state.SkipWithError("cannot write the recording");
    return;
  }
  Startup(state, env);
}
BENCHMARK(BM_StartupReplayedMjpeg)
    ->Arg(8)
    ->Arg(18)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

// Argument: megapixels (8 or 18). One run of the window, MEMORY_SECONDS
// long.
void BM_WindowMemory(benchmark::State& state) {
  tavrin::test::PrivateProgramFolder folder;
  const cv::Size size = Megapixels(static_cast<int>(state.range(0)));
  const std::vector<std::string> env = ReplayedCamera(folder, size);
  if (env.empty()) {
    state.SkipWithError("cannot write the recording");
    return;
  }
  const std::string asked = tavrin::platform::Environment("MEMORY_SECONDS");
  const double memorySeconds = asked.empty() ? 10.0 : std::max(2.0, std::atof(asked.c_str()));
  std::vector<double> figures;
  for (auto _ : state) {
    if (!RunOnce(folder, env, memorySeconds, figures) || figures.size() < 8) {
      state.SkipWithError("the window did not run");
      return;
    }
    state.SetIterationTime(memorySeconds);
  }
  const char* names[] = {"rss_median_mb",        "rss_max_mb",         "hwm_mb",
                         "rss_after_capture_mb", "rss_first_third_mb", "rss_last_third_mb"};
  for (size_t i = 0; i < 6; ++i) state.counters[names[i]] = figures[2 + i];
  std::printf(
      "window_memory size=%dx%d seconds=%.0f rss_median_mb=%.0f rss_max_mb=%.0f "
      "hwm_mb=%.0f rss_after_captures_mb=%.0f rss_first_third_mb=%.0f "
      "rss_last_third_mb=%.0f first_frame_ms=%.0f\n",
      size.width, size.height, memorySeconds, figures[2], figures[3], figures[4], figures[5],
      figures[6], figures[7], figures[1] / 1e6);
  std::fflush(stdout);
}
BENCHMARK(BM_WindowMemory)
    ->Arg(8)
    ->Arg(18)
    ->UseManualTime()
    ->Unit(benchmark::kSecond)
    ->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--measured") return RunWindow(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
