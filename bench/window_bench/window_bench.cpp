// The whole scan window as a person meets it: `tavrin-scan --mode 0` starts
// the real TavrinDesk, which previews a camera on the offscreen platform at
// its default size. A probe (window_probe.cpp, loaded into the window as a
// Qt generic plugin) notes the first live frame painted and plays the
// person. Figures, for this build and, with PREVIOUS=<build folder> (or
// --previous), an older build of the program in the same run:
//   window_cpu      processor share of the whole TavrinDesk process and of
//                   its GUI thread, previewing a replayed 8 MP and 18 MP
//                   MJPEG camera at 15 fps, beside ffmpeg decoding the same
//                   stream at the preview's size
//   window_startup  from starting tavrin-scan to the first live frame
//                   painted, median of --starts runs
//   window_memory   resident memory of TavrinDesk every 5 s over an
//                   automatic continuous run of --pages pages with the
//                   virtual 18 MP document camera, a new page every 4 s
//
//   cmake -S . -B build -G Ninja -DTAVRIN_BENCH=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
//   cmake --build build --target window_bench
//   PREVIOUS=/path/to/old/build build/bin/window_bench [--parts cpu,startup,memory]
//       [--sizes 8,18] [--seconds 10] [--starts 5] [--pages 40] [--keep 1]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "bench/support/mjpeg_peer.h"
#include "bench/support/processes.h"
#include "bench/support/replayed_camera.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kSettleSeconds = 2.0;
constexpr double kMemorySampleSeconds = 5.0;
// The memory after a run is read this long after its last page.
constexpr int kAfterRunSeconds = 4;
constexpr const char* kProbeKey = "tavrin_window_probe";
// The program folder's parts a session needs.
constexpr const char* kProgramFiles[] = {"TavrinDesk", "tavrin-scan", "TavrinSource.ds",
                                         "libTavrinLens.so"};

struct Options {
  std::string previous;
  std::vector<cv::Size> sizes{{3264, 2448}, {4912, 3680}};
  double seconds = 10.0;
  int starts = 5;
  int pages = 40;
  std::vector<std::string> parts{"cpu", "startup", "memory"};
  bool keep = false;  // leaves the recordings and sessions' folders behind
};

struct Build {
  std::string label;
  fs::path bin;  // its program folder
};

long long NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

void Sleep(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// A copy of a build's program folder with private home and temporary
// folders, so that neither build's settings nor pages meet the other's.
class Session {
 public:
  Session(const Build& build, const fs::path& scratch, const std::string& name)
      : root(scratch / (build.label + "-" + name)) {
    fs::remove_all(root);
    for (const char* folder : {"bin", "home", "tmp", "run", "out"})
      fs::create_directories(root / folder);
    fs::permissions(root / "run", fs::perms::owner_all);
    for (const char* file : kProgramFiles) fs::copy_file(build.bin / file, root / "bin" / file);
    fs::copy(build.bin / "Language", root / "bin" / "Language", fs::copy_options::recursive);
  }

  // Starts tavrin-scan in mode 0 with the camera environment; false when
  // it cannot be started.
  bool Start(const std::vector<std::string>& cameraEnv, const std::vector<std::string>& probeEnv,
             const fs::path& plugins, int timeoutSeconds) {
    std::remove(ProbeFile().c_str());
    std::vector<std::string> env = {"HOME=" + (root / "home").string(),
                                    "TMPDIR=" + (root / "tmp").string(),
                                    "XDG_CONFIG_HOME=" + (root / "home/.config").string(),
                                    "XDG_RUNTIME_DIR=" + (root / "run").string(),
                                    "QT_QPA_PLATFORM=offscreen",
                                    "QT_PLUGIN_PATH=" + plugins.string(),
                                    std::string("QT_QPA_GENERIC_PLUGINS=") + kProbeKey,
                                    "TAVRIN_PROBE_OUT=" + ProbeFile()};
    env.insert(env.end(), cameraEnv.begin(), cameraEnv.end());
    env.insert(env.end(), probeEnv.begin(), probeEnv.end());
    const std::string command = "exec '" + (root / "bin/tavrin-scan").string() +
                                "' --mode 0 --timeout " + std::to_string(timeoutSeconds) +
                                " --output '" + (root / "out").string() + "' >>'" +
                                (root / "log.txt").string() + "' 2>&1";
    startNs = NowNs();
    client = tavrin::platform::SpawnProcess("/bin/sh", {"-c", command}, env);
    return client > 0;
  }

  // The window's process, once it runs; -1 when it did not come.
  int Window(double timeoutSeconds) {
    const auto until = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (window <= 0 && Clock::now() < until && tavrin::platform::ProcessRunning(client)) {
      window = tavrin::bench::ChildNamed(client, "TavrinDesk");
      if (window <= 0) Sleep(0.005);
    }
    return window;
  }

  // The probe's line starting with key, split into its numbers after the
  // key; empty until it is there.
  std::vector<double> ProbeLine(const std::string& key) const {
    std::ifstream in(ProbeFile());
    std::vector<double> last;
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(key + " ", 0) != 0) continue;
      std::istringstream numbers(line.substr(key.size() + 1));
      last.clear();
      for (double n = 0; numbers >> n;) last.push_back(n);
    }
    return last;
  }

  std::vector<double> WaitForProbe(const std::string& key, double timeoutSeconds) const {
    const auto until = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
    std::vector<double> line;
    while ((line = ProbeLine(key)).empty() && Clock::now() < until &&
           tavrin::platform::ProcessRunning(client))
      Sleep(0.01);
    return line;
  }

  // Waits for the client to end, ending it after timeoutSeconds.
  int Finish(double timeoutSeconds) {
    int status = -1;
    if (!tavrin::platform::WaitProcess(client, static_cast<int>(timeoutSeconds * 1000), &status)) {
      tavrin::platform::KillProcess(client);
      tavrin::platform::WaitProcess(client, 5000, &status);
    }
    return status;
  }

  std::string ProbeFile() const { return (root / "probe.txt").string(); }
  std::string Log() const {
    std::ifstream in(root / "log.txt");
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  fs::path root;
  long long startNs = 0;
  int client = -1;
  int window = -1;
};

std::string SizeText(cv::Size size) {
  return std::to_string(size.width) + "x" + std::to_string(size.height);
}

// The processor share of the window previewing the replayed camera.
void MeasureCpu(const Options& options, const Build& build, const fs::path& scratch,
                const fs::path& plugins, cv::Size size,
                const tavrin::bench::ReplayedCamera& camera) {
  Session session(build, scratch, "cpu-" + SizeText(size));
  const int timeout = static_cast<int>(options.seconds + kSettleSeconds + 20);
  if (!session.Start(camera.Environment(), {}, plugins, timeout)) return;
  const int window = session.Window(20);
  const std::vector<double> painted = session.WaitForProbe("painted", 20);
  if (window <= 0 || painted.empty()) {
    std::fprintf(stderr, "%s: no live frame at %s\n%s", build.label.c_str(), SizeText(size).c_str(),
                 session.Log().c_str());
    session.Finish(1);
    return;
  }
  Sleep(kSettleSeconds);
  const std::string proc = "/proc/" + std::to_string(window);
  const std::string gui = proc + "/task/" + std::to_string(window) + "/stat";
  const double processBefore = tavrin::bench::CpuSecondsOf(proc + "/stat");
  const double guiBefore = tavrin::bench::CpuSecondsOf(gui);
  const auto start = Clock::now();
  Sleep(options.seconds);
  const double processAfter = tavrin::bench::CpuSecondsOf(proc + "/stat");
  const double guiAfter = tavrin::bench::CpuSecondsOf(gui);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double rss = tavrin::bench::ResidentMb(window);
  session.Finish(timeout + 10);
  if (processAfter < 0 || guiAfter < 0) return;
  const cv::Size preview(painted.size() >= 3 ? static_cast<int>(painted[1]) : 800,
                         painted.size() >= 3 ? static_cast<int>(painted[2]) : 600);
  const cv::Size fit = tavrin::bench::FitInside(size, preview);
  const double ffmpegMs =
      tavrin::bench::FfmpegMsPerFrame(camera.stream, tavrin::bench::kReplayedFrames, fit, 0);
  const double ffmpegLowresMs = tavrin::bench::FfmpegMsPerFrame(
      camera.stream, tavrin::bench::kReplayedFrames, fit, tavrin::bench::LowresLevel(size, fit));
  const double cpuPct = (processAfter - processBefore) / wall * 100.0;
  const double guiPct = (guiAfter - guiBefore) / wall * 100.0;
  std::printf(
      "window_cpu label=%s size=%s preview=%s seconds=%.0f cpu_pct=%.1f gui_pct=%.1f "
      "other_threads_pct=%.1f rss_mb=%.0f ffmpeg_pct=%.1f ffmpeg_lowres_pct=%.1f\n",
      build.label.c_str(), SizeText(size).c_str(), SizeText(preview).c_str(), wall, cpuPct, guiPct,
      cpuPct - guiPct, rss, ffmpegMs * tavrin::bench::kReplayedFramesPerSecond / 10.0,
      ffmpegLowresMs * tavrin::bench::kReplayedFramesPerSecond / 10.0);
  std::fflush(stdout);
}

// From starting the client to the first live frame painted.
void MeasureStartup(const Options& options, const Build& build, const fs::path& scratch,
                    const fs::path& plugins, const std::string& camera,
                    const std::vector<std::string>& cameraEnv) {
  std::vector<double> firstFrameMs;
  std::vector<double> windowMs;
  for (int run = 0; run < options.starts; ++run) {
    Session session(build, scratch, "startup");
    if (!session.Start(cameraEnv, {"TAVRIN_PROBE_EXIT=1"}, plugins, 60)) return;
    const int window = session.Window(20);
    const long long windowNs = NowNs();
    const std::vector<double> painted = session.WaitForProbe("painted", 20);
    session.Finish(30);
    if (window <= 0 || painted.empty()) {
      std::fprintf(stderr, "%s: no live frame (%s)\n%s", build.label.c_str(), camera.c_str(),
                   session.Log().c_str());
      return;
    }
    firstFrameMs.push_back((painted[0] - session.startNs) / 1e6);
    windowMs.push_back((windowNs - session.startNs) / 1e6);
  }
  std::printf(
      "window_startup label=%s camera=%s runs=%zu first_frame_ms=%.0f first_frame_min_ms=%.0f "
      "first_frame_max_ms=%.0f window_process_ms=%.0f\n",
      build.label.c_str(), camera.c_str(), firstFrameMs.size(), Median(firstFrameMs),
      *std::min_element(firstFrameMs.begin(), firstFrameMs.end()),
      *std::max_element(firstFrameMs.begin(), firstFrameMs.end()), Median(windowMs));
  std::fflush(stdout);
}

// Resident memory over an automatic run of pages pages.
void MeasureMemory(const Options& options, const Build& build, const fs::path& scratch,
                   const fs::path& plugins) {
  Session session(build, scratch, "memory");
  // A new page every four seconds, each lying a little elsewhere; the
  // window takes a page once it has lain still for its two seconds.
  const std::vector<std::string> cameraEnv = {"TAVRIN_LENS_V4L2=0",
                                              "TAVRIN_LENS_VIRTUAL=document?turn=4"};
  const int timeout = 20 * options.pages + 60;
  if (!session.Start(cameraEnv, {"TAVRIN_PROBE_PAGES=" + std::to_string(options.pages)}, plugins,
                     timeout))
    return;
  const int window = session.Window(30);
  if (window <= 0 || session.WaitForProbe("painted", 30).empty()) {
    std::fprintf(stderr, "%s: the memory run did not start\n%s", build.label.c_str(),
                 session.Log().c_str());
    session.Finish(1);
    return;
  }
  std::vector<double> rss;
  std::vector<double> pagesAt;
  double lastRss = 0;
  double afterRun = 0;
  Clock::time_point runEnd{};
  const auto start = Clock::now();
  auto next = start;
  while (tavrin::bench::ChildNamed(session.client, "TavrinDesk") == window) {
    const double mb = tavrin::bench::ResidentMb(window);
    if (mb <= 0) break;
    const std::vector<double> pages = session.ProbeLine("pages");
    if (!pages.empty() && pages[0] >= options.pages) {
      // The run is over; the probe presses Exit a few seconds later.
      if (runEnd == Clock::time_point{}) runEnd = Clock::now();
      if (Clock::now() - runEnd > std::chrono::seconds(kAfterRunSeconds)) {
        afterRun = mb;
        break;
      }
    }
    if (Clock::now() >= next) {
      rss.push_back(mb);
      pagesAt.push_back(pages.empty() ? 0 : pages[0]);
      next += std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(kMemorySampleSeconds));
    }
    lastRss = mb;
    if (std::chrono::duration<double>(Clock::now() - start).count() > timeout) break;
    Sleep(0.1);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const std::vector<double> pages = session.ProbeLine("pages");
  session.Finish(timeout);
  if (rss.empty()) return;
  const size_t third = std::max<size_t>(1, rss.size() / 3);
  std::ostringstream series;
  for (size_t i = 0; i < rss.size(); ++i)
    series << (i ? "," : "") << static_cast<int>(rss[i] + 0.5) << "@" << pagesAt[i];
  std::printf(
      "window_memory label=%s camera=4912x3680 pages=%.0f seconds=%.0f rss_first_mb=%.0f "
      "rss_max_mb=%.0f rss_last_mb=%.0f rss_after_run_mb=%.0f rss_first_third_mb=%.0f "
      "rss_last_third_mb=%.0f series_mb_at_pages=%s\n",
      build.label.c_str(), pages.empty() ? 0.0 : pages[0], seconds, rss.front(),
      *std::max_element(rss.begin(), rss.end()), lastRss, afterRun,
      Median({rss.begin(), rss.begin() + std::min(third, rss.size())}),
      Median({rss.end() - std::min(third, rss.size()), rss.end()}), series.str().c_str());
  std::fflush(stdout);
}

bool Wanted(const Options& options, const std::string& part) {
  return std::find(options.parts.begin(), options.parts.end(), part) != options.parts.end();
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::istringstream list(text);
  for (std::string item; std::getline(list, item, ',');)
    if (!item.empty()) items.push_back(item);
  return items;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.previous = tavrin::platform::Environment("PREVIOUS");
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const std::string value = argv[i + 1];
    if (key == "--previous") {
      options.previous = value;
    } else if (key == "--seconds") {
      options.seconds = std::max(1.0, std::atof(value.c_str()));
    } else if (key == "--starts") {
      options.starts = std::max(1, std::atoi(value.c_str()));
    } else if (key == "--pages") {
      options.pages = std::max(1, std::atoi(value.c_str()));
    } else if (key == "--keep") {
      options.keep = value == "1";
    } else if (key == "--parts") {
      options.parts = SplitList(value);
    } else if (key == "--sizes") {
      options.sizes.clear();
      for (const std::string& megapixels : SplitList(value)) {
        if (megapixels == "8") options.sizes.push_back({3264, 2448});
        if (megapixels == "18") options.sizes.push_back({4912, 3680});
      }
    } else {
      std::fprintf(stderr, "unknown option %s\n", key.c_str());
      return 2;
    }
  }
  const fs::path own = fs::path(tavrin::platform::ProgramPath()).parent_path();
  std::vector<Build> builds;
  if (!options.previous.empty()) {
    fs::path bin = options.previous;
    if (fs::exists(bin / "bin" / "TavrinDesk")) bin /= "bin";
    if (!fs::exists(bin / "TavrinDesk")) {
      std::fprintf(stderr, "no TavrinDesk in %s\n", options.previous.c_str());
      return 2;
    }
    builds.push_back({"previous", bin});
  }
  builds.push_back({"this", own});
  const fs::path plugins = own / "bench-plugins";
  const fs::path scratch =
      fs::temp_directory_path() / ("window_bench." + std::to_string(::getpid()));
  fs::create_directories(scratch);

  std::map<int, tavrin::bench::ReplayedCamera> cameras;
  for (const cv::Size size : options.sizes) {
    const auto camera =
        tavrin::bench::WriteReplayedCamera(scratch / ("replay-" + SizeText(size)), size);
    if (!camera) {
      std::fprintf(stderr, "cannot write the recording at %s\n", SizeText(size).c_str());
      return 1;
    }
    cameras[size.width] = *camera;
  }
  tavrin::bench::PrintLoad("before");
  // Both builds one after the other for each figure, so that a change in
  // the machine's load falls on both alike.
  for (const cv::Size size : options.sizes) {
    if (!Wanted(options, "cpu")) break;
    for (const Build& build : builds)
      MeasureCpu(options, build, scratch, plugins, size, cameras[size.width]);
  }
  if (Wanted(options, "startup")) {
    for (const Build& build : builds)
      MeasureStartup(options, build, scratch, plugins, "document",
                     {"TAVRIN_LENS_V4L2=0", "TAVRIN_LENS_VIRTUAL=document"});
    for (const cv::Size size : options.sizes) {
      for (const Build& build : builds)
        MeasureStartup(options, build, scratch, plugins, "replayed-" + SizeText(size),
                       cameras[size.width].Environment());
    }
  }
  if (Wanted(options, "memory")) {
    for (const Build& build : builds) MeasureMemory(options, build, scratch, plugins);
  }
  tavrin::bench::PrintLoad("after");
  std::error_code ignored;
  if (options.keep) {
    std::fprintf(stderr, "kept %s\n", scratch.c_str());
  } else {
    fs::remove_all(scratch, ignored);
  }
  return 0;
}
