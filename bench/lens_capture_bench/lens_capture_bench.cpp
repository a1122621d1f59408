// Times camCaptureImageFile from the virtual document camera at 3264x2448
// and 4912x3680 for JPEG, PNG and BMP (frame, stages, encoding, flushed
// write and rename), then runs tjbench's compression on the same frame and
// prints how the JPEG capture compares; the PNG capture is set beside
// ImageMagick writing the same frame at zlib level 1. Then an open book's
// spread in book crop at 3264x2448. Between them, the document's page
// single-cropped at 3264x2448, in colour and in grey.
// Usage: lens_capture_bench [--library path/to/libTavrinLens.so]
//                           [--label name] [scratch folder]
//   The library defaults to the one in the program folder; each row starts
//   with the label ("after" unless given), so that an older library's rows
//   ("before") can stand beside this one's. The book runs with the
//   program folder's library only.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

}  // namespace

int main(int argc, char** argv) {
  std::string library;
  std::string name = "after";
  std::filesystem::path scratch = std::filesystem::temp_directory_path() / "tavrin-lens-bench";
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if ((flag == "--library" || flag == "--label") && i + 1 < argc) {
      (flag == "--library" ? library : name) = argv[++i];
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
  std::printf("capture to file, median ms (scratch %s)\n", scratch.c_str());
  std::printf("%-7s %-10s %8s %8s %8s %12s %8s %12s %8s\n", "library", "size", "jpg", "png", "bmp",
              "tjbench-jpg", "ratio", "convert-png", "ratio");
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
  // The document's page single-cropped in colour and in grey, to JPEG:
  // the page found, cut out, its light evened out where the library does.
  if (lens.camOpenDev(0, 0, 3264, 2448) != 0 || lens.camSetImageAutoCrop(0, 1) != 0) {
    std::fprintf(stderr, "cannot open the document camera at 3264x2448\n");
    return 1;
  }
  TimeCapture(lens, (scratch / "first.bmp").string(), 1);
  // The evened-out light's share shows against a capture with it off
  // (a library without the switch has none to turn off).
  for (const int evenLight : {1, 0}) {
    if (lens.camSetImageEvenLight(0, evenLight) != 0 && evenLight == 0) break;
    for (const int colour : {0, 3}) {
      lens.camSetImageAdjust(0, colour);
      std::printf("%-7s 3264x2448 single-crop page (%s%s) to JPEG: %.1f ms\n", name.c_str(),
                  colour == 0 ? "colour" : "grey", evenLight != 0 ? "" : ", light kept",
                  TimeCapture(lens, (scratch / "page.jpg").string(), 21));
    }
  }
  lens.camCloseDev(0);
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
