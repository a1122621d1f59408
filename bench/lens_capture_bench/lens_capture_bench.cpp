// Times camCaptureImageFile from the virtual document camera at 3264x2448
// and 4912x3680 for JPEG, PNG and BMP (frame, stages, encoding, flushed
// write and rename), then runs tjbench's compression on the same frame and
// prints how the JPEG capture compares; the PNG capture is set beside
// ImageMagick writing the same frame at zlib level 1. Then an open book's
// spread in book crop at 3264x2448. Between them, the document's page
// single-cropped at 3264x2448, in colour and in grey.
// Usage: lens_capture_bench [--library path/to/libTavrinLens.so]
//                           [--label name] [--single-crop]
//                           [--beside path/to/older/libTavrinLens.so]
//                           [--rounds N] [scratch folder]
//   The library defaults to the one in the program folder; each row starts
//   with the label ("after" unless given), so that an older library's rows
//   ("before") can stand beside this one's. The book runs with the
//   program folder's library only. --single-crop times the single-cropped
//   page alone. --beside times it in turns with the older library (this
//   program run again on each library for a round, four rounds unless
//   --rounds says otherwise, each going first in every other) and prints
//   both medians and their ratio, with the load average before and after:
//   on a shared machine the turns see the same load, and more, shorter
//   rounds follow a load that changes by the second more closely.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "camera/camera_library.h"

namespace {

struct Size {
  int width;
  int height;
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Milliseconds per capture, the median of runs.
double TimeCapture(tavrin::CameraLibrary& lens, const std::string& path, int runs, int dev = 0) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    char buffer[1024] = {};
    std::strncpy(buffer, path.c_str(), sizeof buffer - 1);
    const auto start = std::chrono::steady_clock::now();
    const int status = lens.camCaptureImageFile(dev, buffer);
    const auto end = std::chrono::steady_clock::now();
    if (status != 0) {
      std::fprintf(stderr, "capture to %s failed: %d\n", path.c_str(), status);
      std::exit(1);
    }
    times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
  }
  return Median(times);
}

// tjbench's compression time of one frame in milliseconds, or 0.
double TjbenchCompressMs(const std::string& frame) {
  const std::string command =
      "tjbench '" + frame + "' 90 -subsamp 420 -componly -benchtime 2 -warmup 0.5 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return 0.0;
  char line[512];
  double fps = 0.0;
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    const char* at = std::strstr(line, "Compress");
    const char* rate = std::strstr(line, "Frame rate:");
    if (at != nullptr && rate != nullptr) fps = std::atof(rate + std::strlen("Frame rate:"));
  }
  ::pclose(pipe);
  return fps > 0.0 ? 1000.0 / fps : 0.0;
}

// ImageMagick's time to write the frame as PNG at zlib level 1 (reading a
// BMP costs it little beside the compression), the median of runs, or 0.
double ConvertPngMs(const std::string& frame, const std::string& out, int runs) {
  const std::string command =
      "convert '" + frame + "' -define png:compression-level=1 '" + out + "' >/dev/null 2>&1";
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) return 0.0;
    const auto end = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
  }
  return Median(times);
}

// The load average over the last minute, five and fifteen, as /proc gives it.
std::string LoadAverage() {
  std::ifstream file("/proc/loadavg");
  std::array<std::string, 3> loads;
  for (std::string& load : loads) file >> load;
  return loads[0] + " " + loads[1] + " " + loads[2];
}

// The document's page single-cropped in colour and in grey, to JPEG: the
// page found, cut out, its light evened out where the library does, and
// with the light kept (a library without the switch has none to turn off).
// Prints a row a case and returns the case's median capture time by name.
std::map<std::string, double> SingleCropPage(tavrin::CameraLibrary& lens, const std::string& name,
                                             const std::filesystem::path& scratch, int runs) {
  std::map<std::string, double> medians;
  if (lens.camOpenDev(0, 0, 3264, 2448) != 0 || lens.camSetImageAutoCrop(0, 1) != 0) {
    std::fprintf(stderr, "cannot open the document camera at 3264x2448\n");
    std::exit(1);
  }
  TimeCapture(lens, (scratch / "first.bmp").string(), 1);
  for (const int evenLight : {1, 0}) {
    if (lens.camSetImageEvenLight(0, evenLight) != 0 && evenLight == 0) break;
    for (const int colour : {0, 3}) {
      lens.camSetImageAdjust(0, colour);
      const std::string what =
          std::string(colour == 0 ? "colour" : "grey") + (evenLight != 0 ? "" : ", light kept");
      const double ms = TimeCapture(lens, (scratch / "page.jpg").string(), runs);
      std::printf("%-7s 3264x2448 single-crop page (%s) to JPEG: %.1f ms\n", name.c_str(),
                  what.c_str(), ms);
      std::fflush(stdout);
      medians[what] = ms;
    }
  }
  lens.camCloseDev(0);
  return medians;
}

// Runs this program on a library (empty: the program folder's) for one
// round of the single-crop page in a fresh process and reads its rows back.
std::map<std::string, double> SingleCropPageApart(const std::string& library,
                                                  const std::string& name,
                                                  const std::filesystem::path& scratch, int runs) {
  std::string command = "'" + std::filesystem::read_symlink("/proc/self/exe").string() +
                        "' --single-crop --runs " + std::to_string(runs) + " --label " + name;
  if (!library.empty()) command += " --library '" + library + "'";
  command += " '" + (scratch / name).string() + "'";
  std::map<std::string, double> medians;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return medians;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::fputs(line, stdout);
    const char* open = std::strchr(line, '(');
    const char* close = std::strstr(line, ") to JPEG: ");
    if (open == nullptr || close == nullptr || close < open) continue;
    medians[std::string(open + 1, close)] = std::atof(close + std::strlen(") to JPEG: "));
  }
  ::pclose(pipe);
  return medians;
}

}  // namespace

int main(int argc, char** argv) {
  std::string library;
  std::string name = "after";
  std::string older;
  bool singleCropOnly = false;
  int singleCropRuns = 21;
  int rounds = 4;
  std::filesystem::path scratch = std::filesystem::temp_directory_path() / "tavrin-lens-bench";
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if ((flag == "--library" || flag == "--label" || flag == "--beside") && i + 1 < argc) {
      (flag == "--library" ? library : flag == "--label" ? name : older) = argv[++i];
    } else if (flag == "--runs" && i + 1 < argc) {
      singleCropRuns = std::max(1, std::atoi(argv[++i]));
    } else if (flag == "--rounds" && i + 1 < argc) {
      rounds = std::max(2, std::atoi(argv[++i]));
    } else if (flag == "--single-crop") {
      singleCropOnly = true;
    } else {
      scratch = flag;
    }
  }
  std::filesystem::create_directories(scratch);
  ::setenv("TAVRIN_LENS_VIRTUAL", "document,book", 1);
  ::setenv("TAVRIN_LENS_V4L2", "0", 1);
  ::unsetenv("TAVRIN_LENS_VIRTUAL_FILE");

  tavrin::CameraLibrary lens;
  const bool loaded = library.empty() ? lens.LoadFromProgramFolder() : lens.LoadModule(library);
  if (!loaded || lens.camInitCameraLib() != 0) {
    std::fprintf(stderr, "cannot load the camera library: %s\n", lens.LastError().c_str());
    return 1;
  }
  if (!singleCropOnly) {
    std::printf("capture to file, median ms (scratch %s)\n", scratch.c_str());
    std::printf("%-7s %-10s %8s %8s %8s %12s %8s %12s %8s\n", "library", "size", "jpg", "png",
                "bmp", "tjbench-jpg", "ratio", "convert-png", "ratio");
    for (const Size size : {Size{3264, 2448}, Size{4912, 3680}}) {
      if (lens.camOpenDev(0, 0, size.width, size.height) != 0) {
        std::fprintf(stderr, "cannot open at %dx%d\n", size.width, size.height);
        return 1;
      }
      const std::string frame = (scratch / "frame.bmp").string();
      TimeCapture(lens, frame, 1);  // waits for the first frame
      const double jpg = TimeCapture(lens, (scratch / "c.jpg").string(), 21);
      const double png = TimeCapture(lens, (scratch / "c.png").string(), 9);
      const double bmp = TimeCapture(lens, (scratch / "c.bmp").string(), 9);
      const double tj = TjbenchCompressMs(frame);
      const double magick = ConvertPngMs(frame, (scratch / "m.png").string(), 3);
      char label[32];
      std::snprintf(label, sizeof label, "%dx%d", size.width, size.height);
      std::printf("%-7s %-10s %8.1f %8.1f %8.1f %12.1f %7.2fx %12.1f %7.2fx\n", name.c_str(), label,
                  jpg, png, bmp, tj, tj > 0 ? jpg / tj : 0.0, magick,
                  magick > 0 ? png / magick : 0.0);
      lens.camCloseDev(0);
    }
    std::printf(
        "ratios = JPEG capture to file / tjbench compression of the same frame, and\n"
        "         PNG capture to file / ImageMagick writing it at zlib level 1\n");
  }
  if (older.empty()) {
    SingleCropPage(lens, name, scratch, singleCropRuns);
  } else {
    // In turns with the older library, so that both see the same load, each
    // round in fresh processes and each library first every other round.
    // Nine captures a round at the usual four rounds, fewer in more of them.
    const int roundRuns = std::max(3, 36 / rounds);
    const std::string loadBefore = LoadAverage();
    std::map<std::string, std::vector<double>> before;
    std::map<std::string, std::vector<double>> after;
    for (int round = 0; round < rounds; ++round) {
      for (int turn = 0; turn < 2; ++turn) {
        const bool olderTurn = (round + turn) % 2 == 0;
        const auto medians = SingleCropPageApart(olderTurn ? older : library,
                                                 olderTurn ? "before" : name, scratch, roundRuns);
        for (const auto& [what, ms] : medians) (olderTurn ? before : after)[what].push_back(ms);
      }
    }
    std::printf(
        "\nsingle-crop 3264x2448 page to JPEG, median of %d rounds of %d captures taken in "
        "turns\n(load average %s before, %s after); before = %s\n",
        rounds, roundRuns, loadBefore.c_str(), LoadAverage().c_str(), older.c_str());
    std::printf("%-20s %10s %10s %8s  %s\n", "page", "before", "after", "ratio", "goal");
    for (const auto& [what, times] : after) {
      const double ours = Median(times);
      const auto old = before.find(what);
      if (old == before.end() || old->second.empty()) {
        std::printf("%-20s %10s %7.1f ms %8s  -\n", what.c_str(), "-", ours, "-");
        continue;
      }
      const double theirs = Median(old->second);
      std::printf("%-20s %7.1f ms %7.1f ms %7.2fx  within 1.15x\n", what.c_str(), theirs, ours,
                  ours / theirs);
    }
  }
  if (singleCropOnly) {
    lens.camUnInitCameraLib();
    std::filesystem::remove_all(scratch);
    return 0;
  }
  // An open book in book crop: the spread found, split and both pages
  // flattened, two JPEG files written.
  constexpr int kBook = 1;
  if (!library.empty()) {
    lens.camUnInitCameraLib();
    std::filesystem::remove_all(scratch);
    return 0;
  }
  if (lens.camOpenDev(kBook, 0, 3264, 2448) != 0 || lens.camSetImageAutoCrop(kBook, 4) != 0) {
    std::fprintf(stderr, "cannot open the book camera at 3264x2448\n");
    return 1;
  }
  TimeCapture(lens, (scratch / "first.bmp").string(), 1, kBook);
  std::printf("3264x2448 book spread to two JPEG pages: %.1f ms\n",
              TimeCapture(lens, (scratch / "book.jpg").string(), 7, kBook));
  lens.camCloseDev(kBook);
  lens.camUnInitCameraLib();
  std::filesystem::remove_all(scratch);
  return 0;
}
