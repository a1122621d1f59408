// Start-up time of the scan window: from the start of a process to the
// window being ready, with one virtual document camera. Each iteration
// starts a fresh process from a private copy of the program folder; that
// process builds the application object and the window exactly as the
// program does, and reports how long it took since its parent started it.
//
//   cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRIN_BENCH=ON
//   cmake --build build --target startup_bench
//   build/bin/startup_bench
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app/tavrin_window_app.h"
#include "mainwindow/message_box.h"
#include "mainwindow/tavrin_window_dlg.h"
#include "platform/paths.h"
#include "tests/mainwindow/private_program_folder.h"

namespace {

constexpr const char* kStartVariable = "TAVRIN_BENCH_START_NS";
constexpr const char* kResultVariable = "TAVRIN_BENCH_RESULT";

long long NowNs() {
  // CLOCK_MONOTONIC is one clock for every process of the machine.
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
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
  const bool ready = window.OnInitDialog() && window.IsReady();
  const long long readyNs = NowNs();
  window.reject();
  if (!ready || failed) return 1;
  const long long startNs = std::atoll(tavrin::platform::Environment(kStartVariable).c_str());
  std::ofstream(tavrin::platform::Environment(kResultVariable)) << (readyNs - startNs);
  return 0;
}

void BM_StartupToReady(benchmark::State& state) {
  tavrin::test::PrivateProgramFolder folder;
  if (!folder.Create()) {
    state.SkipWithError("cannot make the private program folder");
    return;
  }
  const std::string result = folder.Root() + "/startup_ns";
  double totalMs = 0;
  for (auto _ : state) {
    const std::vector<std::string> env = {
        "TAVRIN_LENS_VIRTUAL=document",
        std::string(kStartVariable) + "=" + std::to_string(NowNs()),
        std::string(kResultVariable) + "=" + result,
    };
    if (folder.Run({"--measured"}, env) != 0) {
      state.SkipWithError("the window did not start");
      return;
    }
    long long elapsedNs = 0;
    std::ifstream(result) >> elapsedNs;
    const double seconds = static_cast<double>(elapsedNs) / 1e9;
    state.SetIterationTime(seconds);
    totalMs += seconds * 1000.0;
  }
  state.counters["ready_ms"] = benchmark::Counter(totalMs, benchmark::Counter::kAvgIterations);
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
