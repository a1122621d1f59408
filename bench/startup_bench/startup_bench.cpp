// Start-up time of the scan window: from the start of a process to the
// window being ready, and on to the first live frame painted in its
// preview, with one virtual document camera. Each iteration
// starts a fresh process from a private copy of the program folder; that
// process builds the application object and the window exactly as the
// program does, and reports how long it took since its parent started it.
//
//   cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRIN_BENCH=ON
//   cmake --build build --target startup_bench
//   build/bin/startup_bench
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QImage>
#include <QWidget>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

#include "app/tavrin_window_app.h"
#include "mainwindow/message_box.h"
#include "mainwindow/tavrin_window_dlg.h"
#include "platform/paths.h"
#include "tests/mainwindow/private_program_folder.h"
#include "tests/mainwindow/window_probe.h"

namespace {

constexpr const char* kStartVariable = "TAVRIN_BENCH_START_NS";
constexpr const char* kResultVariable = "TAVRIN_BENCH_RESULT";

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
  // then it is one flat colour. Painting it into an image is what a screen
  // update does, so the first image with a picture in it marks the moment.
  window.show();
  long long paintedNs = 0;
  const long long giveUpNs = readyNs + 10'000'000'000LL;
  while (paintedNs == 0 && NowNs() < giveUpNs) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    if (HasPicture(window.PreviewHost()->grab().toImage())) paintedNs = NowNs();
  }
  window.reject();
  if (paintedNs == 0) return 1;
  const long long startNs = std::atoll(tavrin::platform::Environment(kStartVariable).c_str());
  std::ofstream(tavrin::platform::Environment(kResultVariable))
      << (readyNs - startNs) << ' ' << (paintedNs - startNs);
  return 0;
}

// The virtual camera to start with: STARTUP_CAMERA, or the document camera
// at its own default (largest) size.
std::string Camera() {
  const std::string chosen = tavrin::platform::Environment("STARTUP_CAMERA");
  return chosen.empty() ? "document" : chosen;
}

void BM_StartupToReady(benchmark::State& state) {
  tavrin::test::PrivateProgramFolder folder;
  if (!folder.Create()) {
    state.SkipWithError("cannot make the private program folder");
    return;
  }
  const std::string result = folder.Root() + "/startup_ns";
  double totalMs = 0;
  double paintedTotalMs = 0;
  for (auto _ : state) {
    const std::vector<std::string> env = {
        "TAVRIN_LENS_VIRTUAL=" + Camera(),
        std::string(kStartVariable) + "=" + std::to_string(NowNs()),
        std::string(kResultVariable) + "=" + result,
    };
    if (folder.Run({"--measured"}, env) != 0) {
      state.SkipWithError("the window did not start");
      return;
    }
    long long elapsedNs = 0;
    long long paintedNs = 0;
    std::ifstream(result) >> elapsedNs >> paintedNs;
    const double seconds = static_cast<double>(elapsedNs) / 1e9;
    state.SetIterationTime(seconds);
    totalMs += seconds * 1000.0;
    paintedTotalMs += static_cast<double>(paintedNs) / 1e6;
  }
  state.counters["ready_ms"] = benchmark::Counter(totalMs, benchmark::Counter::kAvgIterations);
  state.counters["first_frame_ms"] =
      benchmark::Counter(paintedTotalMs, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_StartupToReady)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--measured") return RunWindow(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
