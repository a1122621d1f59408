// A Flatbed page through the scanner backend as scanimage gets it: from
// the command to the PNG on disk, with the virtual 18 MP document camera,
// median of --pages runs at each resolution, and where the time goes, as
// seen from outside (no line of the backend or the window is timed):
//   backend   scanimage's start to the scan window's process (the frontend
//             and its dll backend, ours, the data source)
//   window    to the captured page in the window's working folder (the
//             window's start, the camera's start and first frame, the
//             capture, the file written)
//   hand-off  to the first bytes of scanimage's file (the file handed
//             on, read and resampled to the resolution by the backend, the
//             first lines given to scanimage)
//   read      to scanimage's end (the frontend reading the page and writing
//             its file, the window closing; when the window ended and when
//             the file last grew are given apart, from the start)
// Beside this build: an older one with PREVIOUS=<build folder> (or
// --previous), in the same run. Each page is also scanned to PNM, which
// scanimage writes as it reads: the difference to the PNG is scanimage's
// own compression of the page, which no backend can shorten.
//
//   cmake --build build --target sane_bench
//   PREVIOUS=/path/to/old/build build/bin/sane_bench [--pages 10] [--dpi 150,300]
//       [--formats png,pnm]
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/processes.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kScanimage = "/usr/bin/scanimage";
constexpr const char* kDevice = "tavrin:Virtual Document Camera";
constexpr const char* kProgramFiles[] = {"TavrinDesk", "TavrinSource.ds", "libTavrinLens.so",
                                         "tavrin-cameras"};
constexpr double kTimeoutSeconds = 120;

struct Build {
  std::string label;
  fs::path bin;
};

struct Steps {
  double backend = 0;
  double window = 0;
  double handOff = 0;
  double read = 0;
  double windowGone = 0;   // from the start to the window's end, which the read may outlast
  double fileWritten = 0;  // from the start to the last growth of scanimage's file
  double Total() const { return backend + window + handOff + read; }
};

double Median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The capture is written under a name with a random ending and renamed to
// its own once whole.
bool IsPageName(const std::string& name) {
  const std::string ending = fs::path(name).extension().string();
  return ending == ".jpg" || ending == ".png" || ending == ".bmp" || ending == ".tif";
}

double Seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// A private copy of a build's program folder with the backend installed
// for scanimage's dll backend, and private home and temporary folders.
class Folder {
 public:
  Folder(const Build& build, const fs::path& scratch) : root(scratch / build.label) {
    fs::remove_all(root);
    for (const char* folder : {"bin", "home", "tmp", "run", "sane", "sane.d"})
      fs::create_directories(root / folder);
    fs::permissions(root / "run", fs::perms::owner_all);
    for (const char* file : kProgramFiles) fs::copy_file(build.bin / file, root / "bin" / file);
    fs::copy(build.bin / "Language", root / "bin" / "Language", fs::copy_options::recursive);
    fs::copy_file(build.bin / "sane" / "libsane-tavrin.so.1", root / "sane/libsane-tavrin.so.1");
    std::ofstream(root / "sane.d/dll.conf") << "tavrin\n";
    std::ofstream(root / "sane.d/tavrin.conf") << (root / "bin").string() << "\n";
  }

  // One page at dpi in format (png or pnm); false when scanimage failed.
  bool Scan(int dpi, const std::string& format, Steps& steps) const {
    const fs::path page = root / ("page." + format);
    fs::remove(page);
    const fs::path work = root / "tmp" / ("tavrin-" + std::to_string(::getuid())) / "Tavrin";
    // No platform chosen and no display: the backend runs the window on the
    // offscreen platform by itself, as under ssh or saned.
    const std::vector<std::string> env = {"HOME=" + (root / "home").string(),
                                          "TMPDIR=" + (root / "tmp").string(),
                                          "XDG_CONFIG_HOME=" + (root / "home/.config").string(),
                                          "XDG_RUNTIME_DIR=" + (root / "run").string(),
                                          "QT_QPA_PLATFORM=",
                                          "DISPLAY=",
                                          "WAYLAND_DISPLAY=",
                                          "TAVRIN_LENS_V4L2=0",
                                          "TAVRIN_LENS_VIRTUAL=document",
                                          "SANE_CONFIG_DIR=" + (root / "sane.d").string(),
                                          "LD_LIBRARY_PATH=" + (root / "sane").string()};
    const std::string command = std::string("exec ") + kScanimage + " -d '" + kDevice +
                                "' --resolution " + std::to_string(dpi) + " --format=" + format +
                                " -o '" + page.string() + "' 2>>'" +
                                (root / "scanimage.err").string() + "'";
    const auto start = Clock::now();
    const int client = tavrin::platform::SpawnProcess("/bin/sh", {"-c", command}, env);
    if (client <= 0) return false;
    Clock::time_point windowAt{};
    Clock::time_point capturedAt{};
    Clock::time_point pngAt{};
    Clock::time_point goneAt{};
    Clock::time_point grewAt{};
    std::uintmax_t pngBytes = 0;
    int status = -1;
    int windowPid = -1;
    // The backend takes the page out of the window's folder within a few
    // milliseconds of its arrival, which a look at the folder now and then
    // can miss: the folder is watched for the page's arrival as well.
    const int watcher = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    int watch = -1;
    const auto pageArrived = [&] {
      alignas(inotify_event) char events[4096];
      bool arrived = false;
      for (ssize_t got; (got = read(watcher, events, sizeof(events))) > 0;) {
        for (ssize_t at = 0; at < got;) {
          const auto* event = reinterpret_cast<const inotify_event*>(events + at);
          const std::string name = event->len > 0 ? event->name : "";
          if (IsPageName(name)) arrived = true;
          // The window empties its working folder at its start by removing
          // it: the folder made anew is watched anew.
          if ((event->mask & IN_IGNORED) != 0 && event->wd == watch) watch = -1;
          at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
      }
      return arrived;
    };
    while (!tavrin::platform::WaitProcess(client, 0, &status)) {
      const auto now = Clock::now();
      if (Seconds(start, now) > kTimeoutSeconds) {
        tavrin::platform::KillProcess(client);
        tavrin::platform::WaitProcess(client, 5000, &status);
        return false;
      }
      if (windowPid <= 0) windowPid = tavrin::bench::ChildNamed(client, "TavrinDesk");
      std::error_code ignored;
      const bool windowRuns =
          windowPid > 0 && fs::exists("/proc/" + std::to_string(windowPid), ignored);
      if (windowAt == Clock::time_point{} && windowRuns) windowAt = now;
      if (windowAt != Clock::time_point{} && goneAt == Clock::time_point{} && !windowRuns)
        goneAt = now;
      if (watch < 0 && watcher >= 0 && fs::exists(work, ignored))
        watch = inotify_add_watch(watcher, work.c_str(), IN_MOVED_TO | IN_CREATE);
      if (capturedAt == Clock::time_point{} && watcher >= 0 && pageArrived()) capturedAt = now;
      if (capturedAt == Clock::time_point{} && fs::exists(work, ignored)) {
        for (const auto& entry : fs::directory_iterator(work, ignored))
          if (IsPageName(entry.path().filename().string())) capturedAt = now;
      }
      // scanimage makes the file at its start; its first bytes come with
      // the page's first lines.
      const std::uintmax_t bytes = fs::exists(page, ignored) ? fs::file_size(page, ignored) : 0;
      if (pngAt == Clock::time_point{} && bytes > 0 && bytes != static_cast<std::uintmax_t>(-1))
        pngAt = now;
      if (bytes != pngBytes && bytes != static_cast<std::uintmax_t>(-1)) {
        pngBytes = bytes;
        grewAt = now;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const auto end = Clock::now();
    if (watcher >= 0) close(watcher);
    if (status != 0 || windowAt == Clock::time_point{} || capturedAt == Clock::time_point{} ||
        pngAt == Clock::time_point{}) {
      std::fprintf(stderr, "scanimage's status %d; seen: window %d, capture %d, first bytes %d\n",
                   status, windowAt != Clock::time_point{}, capturedAt != Clock::time_point{},
                   pngAt != Clock::time_point{});
      return false;
    }
    steps.backend = Seconds(start, windowAt);
    steps.window = Seconds(windowAt, capturedAt);
    steps.handOff = Seconds(capturedAt, pngAt);
    steps.read = Seconds(pngAt, end);
    steps.windowGone = Seconds(start, goneAt == Clock::time_point{} ? end : goneAt);
    steps.fileWritten = Seconds(start, grewAt);
    return true;
  }

  std::string Errors() const {
    std::ifstream in(root / "scanimage.err");
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  fs::path root;
};

std::vector<int> SplitNumbers(const std::string& text) {
  std::vector<int> numbers;
  std::istringstream list(text);
  for (std::string item; std::getline(list, item, ',');)
    if (!item.empty()) numbers.push_back(std::atoi(item.c_str()));
  return numbers;
}

}  // namespace

int main(int argc, char** argv) {
  std::string previous = tavrin::platform::Environment("PREVIOUS");
  int pages = 10;
  std::vector<int> dpis{150, 300};
  std::vector<std::string> formats{"png", "pnm"};
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const std::string value = argv[i + 1];
    if (key == "--previous") {
      previous = value;
    } else if (key == "--pages") {
      pages = std::max(1, std::atoi(value.c_str()));
    } else if (key == "--dpi") {
      dpis = SplitNumbers(value);
    } else if (key == "--formats") {
      formats.clear();
      std::istringstream list(value);
      for (std::string item; std::getline(list, item, ',');)
        if (item == "png" || item == "pnm") formats.push_back(item);
    } else {
      std::fprintf(stderr, "unknown option %s\n", key.c_str());
      return 2;
    }
  }
  if (!fs::exists(kScanimage)) {
    std::fprintf(stderr, "scanimage is not installed (Debian package sane-utils)\n");
    return 1;
  }
  const fs::path own = fs::path(tavrin::platform::ProgramPath()).parent_path();
  std::vector<Build> builds;
  if (!previous.empty()) {
    fs::path bin = previous;
    if (fs::exists(bin / "bin" / "TavrinDesk")) bin /= "bin";
    if (!fs::exists(bin / "sane" / "libsane-tavrin.so.1")) {
      std::fprintf(stderr, "no backend in %s (build its sane-tavrin)\n", previous.c_str());
      return 2;
    }
    builds.push_back({"previous", bin});
  }
  builds.push_back({"this", own});
  const fs::path scratch = fs::temp_directory_path() / ("sane_bench." + std::to_string(::getpid()));
  std::vector<Folder> folders;
  for (const Build& build : builds) folders.emplace_back(build, scratch);

  tavrin::bench::PrintLoad("before");
  for (const int dpi : dpis) {
    // Both builds and both formats page by page, so that a change in the
    // machine's load falls on all alike.
    std::vector<std::vector<std::vector<Steps>>> runs(
        formats.size(), std::vector<std::vector<Steps>>(builds.size()));
    for (int page = 0; page < pages; ++page) {
      for (size_t f = 0; f < formats.size(); ++f) {
        for (size_t b = 0; b < builds.size(); ++b) {
          Steps steps;
          if (folders[b].Scan(dpi, formats[f], steps)) {
            runs[f][b].push_back(steps);
          } else {
            std::fprintf(stderr, "%s: a %s page at %d dpi failed\n%s", builds[b].label.c_str(),
                         formats[f].c_str(), dpi, folders[b].Errors().c_str());
          }
        }
      }
    }
    for (size_t f = 0; f < formats.size(); ++f) {
      for (size_t b = 0; b < builds.size(); ++b) {
        if (runs[f][b].empty()) continue;
        std::vector<double> total;
        std::vector<double> backend;
        std::vector<double> window;
        std::vector<double> handOff;
        std::vector<double> read;
        std::vector<double> gone;
        std::vector<double> written;
        for (const Steps& s : runs[f][b]) {
          total.push_back(s.Total());
          backend.push_back(s.backend);
          window.push_back(s.window);
          handOff.push_back(s.handOff);
          read.push_back(s.read);
          gone.push_back(s.windowGone);
          written.push_back(s.fileWritten);
        }
        std::printf(
            "sane_flatbed label=%s format=%s dpi=%d pages=%zu seconds=%.2f backend_s=%.2f "
            "window_s=%.2f handoff_s=%.2f read_s=%.2f window_gone_s=%.2f file_written_s=%.2f\n",
            builds[b].label.c_str(), formats[f].c_str(), dpi, runs[f][b].size(), Median(total),
            Median(backend), Median(window), Median(handOff), Median(read), Median(gone),
            Median(written));
        std::fflush(stdout);
      }
    }
  }
  tavrin::bench::PrintLoad("after");
  std::error_code ignored;
  fs::remove_all(scratch, ignored);
  return 0;
}
