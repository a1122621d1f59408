// How good the captured pictures are on frames made the way a document
// camera sees a desk: a page of known text (our own, rendered at 300 DPI
// with registration marks near its corners), laid on desks of several
// kinds under perspective, uneven light, soft shadows, lens blur, sensor
// noise and JPEG compression, at 8 MP. The frames are replayed through the
// V4L2 back-end (one recording, one device per scene), so the real MJPEG
// decode path runs, and captured with camCaptureImageFile in each crop and
// colour mode.
//
// Scores: tesseract's character error rate (CER) against the known text,
// beside the raw frame's and the clean page's; the output's aspect error
// against the true page, the residual skew and the crop's edge error in mm
// (from the registration marks), the pieces of a multiple crop, and the
// time per capture. An open book's spread (two pages curved up out of the
// spine) is scored page by page against the same page laid flat: the
// reading, how straight the text lines came out and the proportions.
//
// Usage: tavrin_quality_bench [--library path/to/libTavrinLens.so]
//                             [--label name] [--keep folder]
//                             [--part all|pages|book|desks] [--desks text]
//   The library defaults to the one in the program folder; --label names
//   the run in the printed rows (scripts/bench runs "before" with an older
//   library and "after" with this one); --part runs only the single pages'
//   scenes, only the open book's or only round two's desks (an evening
//   lamp, a glossy page, a thermal receipt, overlapping pages); --desks
//   keeps only the desks whose name holds the text. Needs
//   tesseract with English data.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <QGuiApplication>
#include <QImage>
#include <opencv2/imgproc.hpp>

#include "camera/camera_library.h"
#include "quality_book.h"
#include "quality_common.h"
#include "quality_scene.h"
#include "quality_scoring.h"

using namespace tavrin::quality;

namespace {

const Scene kScenes[] = {
    {"dark wood, level", "dark-wood", cv::Scalar(244, 246, 247), 0, 0, 3, 0.15, 0, 1.0},
    {"light desk, lamp, 5 deg", "light-grey", cv::Scalar(244, 246, 247), 5, 0, -4, 0.45, 0, 1.0},
    {"cream on white, 8 deg", "white", cv::Scalar(205, 232, 245), 0, 8, 2, 0.2, 0, 1.0},
    {"checked desk, 13 deg", "checks", cv::Scalar(244, 246, 247), 13, 3, -2, 0.2, 0, 1.0},
    {"cork, shadow, dim", "cork", cv::Scalar(240, 242, 243), 3, 0, 5, 0.3, 0.5, 0.6},
    {"dark wood, 15 deg", "dark-wood", cv::Scalar(244, 246, 247), 15, 0, 1, 0.2, 0.35, 0.85},
};

// Every colour mode single-cropped (readability), the other crops in colour
// (geometry, pieces), and no crop (the raw frame's reading).
const Capture kCaptures[] = {{1, 0}, {1, 3}, {1, 1}, {1, 4}, {2, 0}, {3, 0}, {0, 0}};

// Round two: what real desks do at night and with awkward paper. The
// evening lamp: a warm cast, the light falling to about a quarter at the far
// corner, a strong vignette and grain; a dim page under a deep soft shadow;
// a glossy page with the lamp mirrored in it; a thermal receipt's light,
// thin print; two A5 pages side by side, the right one turned and lying
// over the left one's margin, or the two lying edge to edge. Every colour
// mode is measured for its cut, and how white the paper came out (paper:
// its median grey level).
const Scene kDeskScenes[] = {
    {"evening lamp", "dark-wood", cv::Scalar(244, 246, 247), 4, 0, -3, 0, 0, 0.85, 0.35, 0.75, 0.35,
     2.5},
    {"dim, deep shadow", "dark-wood", cv::Scalar(240, 242, 243), 3, 2, 2, 0.35, 0.6, 0.5, 0, 0, 0,
     1.5},
    {"glossy, highlight", "cork", cv::Scalar(244, 246, 247), 2, 3, 3, 0.15, 0, 0.9, 0, 0, 0, 1.0,
     0.6},
    {"thermal receipt", "dark-wood", cv::Scalar(246, 247, 244), 3, 0, 2, 0.1, 0, 1.0, 0, 0, 0, 1.0,
     0, cv::Size2d(80, 240)},
    {"two A5, overlapping", "dark-wood", cv::Scalar(244, 246, 247), 3, 0, 0, 0.15, 0, 1.0},
    {"two A5, corner on corner", "cork", cv::Scalar(240, 244, 246), 2, 4, 0, 0.2, 0, 0.95},
    {"two A5, edge to edge", "light-grey", cv::Scalar(244, 246, 247), 4, 0, 0, 0.2, 0, 1.0},
    {"two A5, corner to edge", "dark-wood", cv::Scalar(240, 244, 246), 2, 3, 0, 0.15, 0, 0.95},
    {"A4 folded in half", "light-grey", cv::Scalar(244, 246, 247), 4, 0, 2, 0.2, 0, 1.0, 0, 0, 0,
     1.0, 0, cv::Size2d(kPageWidthMm, kPageHeightMm), 0.12},
};
// Where the two A5 pages of a scene lie: the left one first, the right one
// over it.
struct TwoPages {
  const char* scene;
  LaidPage left;
  LaidPage right;
};
const TwoPages kTwoPages[] = {
    {"two A5, overlapping", {{}, {148, 210}, {-76, -4}, -1}, {{}, {148, 210}, {64, 6}, 7}},
    // The right page's top left corner lies over the left page's top
    // right one; below them the pages part.
    {"two A5, corner on corner", {{}, {148, 210}, {-70, 12}, 5}, {{}, {148, 210}, {84, -6}, -8}},
    // The same paper side by side, turned 2 degrees together, the right
    // sheet 0.8 mm lower: a hairline of desk (0.1 mm) is all between them.
    {"two A5, edge to edge",
     {{}, {148, 210}, {-74.005, -2.584}, 2, true},
     {{}, {148, 210}, {73.977, 3.384}, 2, true}},
    // The right sheet turned 1.5 degrees, its bottom left corner 0.05 mm
    // from the left sheet's right side, 3 mm above its corner; a wedge of
    // desk opens between them towards the top, 5.5 mm wide there.
    {"two A5, corner to edge",
     {{}, {148, 210}, {-80, 0}, 0, true},
     {{}, {148, 210}, {70.824, -1.027}, 1.5, true}},
};
const PageStyle kReceiptStyle{150, "Liberation Sans", 10, 16};
const cv::Size2d kA5(148, 210);

// Every colour mode single-cropped, the multiple crop, and no crop.
const Capture kDeskCaptures[] = {{1, 0}, {1, 3}, {1, 1}, {1, 4}, {2, 0}, {0, 0}};

const char* ColourName(int mode) {
  switch (mode) {
    case 1:
      return "b/w doc";
    case 3:
      return "grey";
    case 4:
      return "b/w Otsu";
    default:
      return "colour";
  }
}

// ---- the run ------------------------------------------------------------------------

// One device a frame: its name and the JPEG it replays.
std::string Recording(const std::vector<std::pair<std::string, std::string>>& devices) {
  std::ostringstream rec;
  rec << "# Document-camera frames for the quality bench, one device a scene.\n";
  for (size_t i = 0; i < devices.size(); ++i) {
    rec << "device /dev/video" << 2 * i << "\n"
        << "  driver uvcvideo\n"
        << "  card " << devices[i].first << "\n"
        << "  bus usb-0000:00:14.0-" << i + 1 << "\n"
        << "  capabilities 0x84a00001\n"
        << "  device_caps 0x04200001\n"
        << "  format MJPG compressed Motion-JPEG\n"
        << "    discrete " << kFrame.width << "x" << kFrame.height << "\n"
        << "    fps 15\n"
        << "    frame " << kFrame.width << "x" << kFrame.height << " " << devices[i].second << "\n";
  }
  return rec.str();
}

int OpenByName(tavrin::CameraLibrary& lens, const std::string& name) {
  int devices = 0;
  lens.camGetDevCount(&devices);
  for (int d = 0; d < devices; ++d) {
    const char* device = lens.camGetDevName(d);
    if (device != nullptr && name == device) {
      return lens.camOpenDev(d, 0, kFrame.width, kFrame.height) == 0 ? d : -1;
    }
  }
  return -1;
}

// Captures with the crop and colour mode given; the files written, and the
// time taken. Empty on failure.
std::vector<fs::path> CaptureFiles(tavrin::CameraLibrary& lens, int dev, int crop, int colour,
                                   const fs::path& out, double* ms) {
  lens.camSetImageAutoCrop(dev, crop);
  lens.camSetImageAdjust(dev, colour);
  char buffer[kTavrinLensPathBuffer] = {};
  std::strncpy(buffer, out.c_str(), sizeof buffer - 1);
  const auto start = std::chrono::steady_clock::now();
  const int status = lens.camCaptureImageFile(dev, buffer);
  *ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (status != 0) return {};
  std::vector<fs::path> files;
  const std::string list = buffer;
  for (size_t at = 0;;) {
    const size_t stop = list.find(';', at);
    files.emplace_back(list.substr(at, stop - at));
    if (stop == std::string::npos) break;
    at = stop + 1;
  }
  return files;
}

void SavePng(const cv::Mat& bgr, const fs::path& path) {
  cv::Mat rgb;
  cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
  QImage(rgb.data, rgb.cols, rgb.rows, static_cast<qsizetype>(rgb.step), QImage::Format_RGB888)
      .save(QString::fromStdString(path.string()));
}

struct DeskCase {
  const Scene* scene = nullptr;
  cv::Size2d pageMm;
  std::vector<std::string> truths;  // one a page
  std::vector<cv::Mat> cleanPages;
  double cleanCer = 0;
};

// The lowest CER of file against any of the pages' texts.
double BestCer(const std::vector<std::string>& truths, const fs::path& file) {
  const std::string read = Ocr(file);
  double best = 1.0;
  for (const std::string& truth : truths) best = std::min(best, CharacterErrorRate(truth, read));
  return best;
}

// How light the paper came out: the grey level most of the page has
// (text covers far less than half of it), 0 for an empty picture.
int PaperLevel(const cv::Mat& grey) {
  if (grey.empty()) return 0;
  std::vector<uchar> levels(grey.begin<uchar>(), grey.end<uchar>());
  auto middle = levels.begin() + static_cast<long>(levels.size() / 2);
  std::nth_element(levels.begin(), middle, levels.end());
  return *middle;
}

// Round two's scenes: every colour mode is cut and measured, so a cut that
// depends on the mode shows; the multiple crop's pieces are each read
// against the page they best match, the worst one shown.
bool RunDesks(tavrin::CameraLibrary& lens, const std::vector<DeskCase>& desks,
              const std::string& label, const fs::path& scratch) {
  std::printf("%-8s %-4s %-22s %-5s %-9s %7s %7s %7s %6s %8s %7s %8s %6s %8s\n", "run", "", "scene",
              "crop", "colour", "CER", "raw", "clean", "paper", "aspect%", "skew", "edge mm",
              "pieces", "ms");
  for (size_t i = 0; i < desks.size(); ++i) {
    const DeskCase& desk = desks[i];
    const int dev = OpenByName(lens, "Quality desk " + std::to_string(i));
    if (dev < 0) {
      std::fprintf(stderr, "cannot open the camera of %s\n", desk.scene->name);
      return false;
    }
    std::string whole;
    for (const std::string& truth : desk.truths) whole += (whole.empty() ? "" : " ") + truth;
    double rawCer = -1;
    std::vector<std::string> lines;
    for (const Capture& capture : kDeskCaptures) {
      double ms = 0;
      const auto files =
          CaptureFiles(lens, dev, capture.crop, capture.colour,
                       scratch / ("d" + std::to_string(i) + "-crop" + std::to_string(capture.crop) +
                                  "-colour" + std::to_string(capture.colour) + ".jpg"),
                       &ms);
      if (files.empty()) {
        std::fprintf(stderr, "capture of %s failed\n", desk.scene->name);
        return false;
      }
      if (capture.crop == 0) {
        rawCer = CharacterErrorRate(whole, Ocr(files[0]));
        continue;
      }
      double cer = 0;
      Geometry worst;
      bool first = true;
      int paper = 0;
      for (const fs::path& file : files) {
        cer = std::max(cer, BestCer(desk.truths, file));
        const cv::Mat grey = LoadGrey(file);
        if (first) paper = PaperLevel(grey);
        const Geometry g = Measure(grey, desk.pageMm);
        if (first || std::abs(g.aspect) > std::abs(worst.aspect) || !g.marks) worst = g;
        first = false;
      }
      char aspect[16];
      std::snprintf(aspect, sizeof aspect, "%+.2f", worst.aspect);
      char skew[16] = "-";
      char edge[16] = "lost";
      if (worst.marks) {
        std::snprintf(skew, sizeof skew, "%+.2f", worst.skew);
        std::snprintf(edge, sizeof edge, "%.1f", worst.edge);
      }
      char line[256];
      std::snprintf(line, sizeof line, "%7.1f %%7.1f %7.1f %6d %8s %7s %8s %6zu %8.0f\n", 100 * cer,
                    100 * desk.cleanCer, paper, aspect, skew, edge, files.size(), ms);
      char row[512];
      std::snprintf(row, sizeof row, "%-8s desk %-22s %-5d %-9s ", label.c_str(), desk.scene->name,
                    capture.crop, ColourName(capture.colour));
      lines.push_back(std::string(row) + line);
    }
    lens.camCloseDev(dev);
    for (const std::string& line : lines) std::printf(line.c_str(), 100 * rawCer);
    std::fflush(stdout);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string library;
  std::string label = "this";
  fs::path keep;
  std::string part = "all";
  std::string deskFilter;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--library") library = argv[i + 1];
    if (flag == "--label") label = argv[i + 1];
    if (flag == "--keep") keep = argv[i + 1];
    if (flag == "--desks") deskFilter = argv[i + 1];
    if (flag == "--part") part = argv[i + 1];
  }
  if (part != "all" && part != "pages" && part != "book" && part != "desks") {
    std::fprintf(stderr, "--part takes all, pages, book or desks\n");
    return 2;
  }
  const bool pagesPart = part == "all" || part == "pages";
  const bool bookPart = part == "all" || part == "book";
  const bool desksPart = part == "all" || part == "desks";
  if (std::system("tesseract --version >/dev/null 2>&1") != 0) {
    std::fprintf(stderr, "tesseract is needed (apt-get install tesseract-ocr tesseract-ocr-eng)\n");
    return 1;
  }
  const fs::path scratch =
      keep.empty() ? fs::temp_directory_path() / ("tavrin-quality-" + std::to_string(::getpid()))
                   : keep;
  fs::create_directories(scratch);
  int qtArgc = 1;
  char name[] = "tavrin_quality_bench";
  char* qtArgv[] = {name, nullptr};
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QGuiApplication app(qtArgc, qtArgv);

  // The scenes, their frames and the clean pages' reading.
  std::map<std::string, double> cleanCer;
  std::vector<Frame> frames;
  std::vector<std::string> truths;
  const size_t sceneCount = pagesPart ? std::size(kScenes) : 0;
  std::vector<std::pair<std::string, std::string>> devices;
  for (size_t i = 0; i < sceneCount; ++i) {
    const Scene& scene = kScenes[i];
    devices.emplace_back("Quality scene " + std::to_string(i),
                         "scene" + std::to_string(i) + ".jpg");
    const CleanPage page = RenderPage(scene.paper);
    truths.push_back(page.text);
    frames.push_back(DrawFrame(scene, page.image, static_cast<unsigned>(11 + i)));
    if (!WriteJpeg(frames.back().image, scratch / ("scene" + std::to_string(i) + ".jpg"), 85)) {
      std::fprintf(stderr, "cannot write the frame of %s\n", scene.name);
      return 1;
    }
    const fs::path clean = scratch / ("clean" + std::to_string(i) + ".png");
    cv::Mat rgb;
    cv::cvtColor(page.image, rgb, cv::COLOR_BGR2RGB);
    QImage(rgb.data, rgb.cols, rgb.rows, static_cast<qsizetype>(rgb.step), QImage::Format_RGB888)
        .save(QString::fromStdString(clean.string()));
    cleanCer[scene.name] = CharacterErrorRate(page.text, Ocr(clean));
  }
  // The open book: its two pages, each also laid flat on its own.
  std::array<CleanPage, 2> bookPages;
  if (bookPart) {
    const cv::Scalar white(244, 246, 247);
    bookPages = {RenderPage(white, kBookPageMm, 0, 3), RenderPage(white, kBookPageMm, 3, 2)};
    std::vector<std::pair<std::string, cv::Mat>> bookFrames;
    for (size_t side = 0; side < 2; ++side) {
      bookFrames.emplace_back("Quality flat page " + std::to_string(side),
                              DrawFlatPageFrame(bookPages[side].image, 31 + side));
    }
    for (size_t i = 0; i < std::size(kBookScenes); ++i) {
      bookFrames.emplace_back("Quality book " + std::to_string(i),
                              DrawBookFrame(bookPages[0].image, bookPages[1].image, kBookScenes[i],
                                            static_cast<unsigned>(41 + i)));
    }
    for (size_t i = 0; i < bookFrames.size(); ++i) {
      const std::string file = "book" + std::to_string(i) + ".jpg";
      if (!WriteJpeg(bookFrames[i].second, scratch / file, 85)) {
        std::fprintf(stderr, "cannot write the frame of %s\n", bookFrames[i].first.c_str());
        return 1;
      }
      devices.emplace_back(bookFrames[i].first, file);
    }
  }
  // Round two's desks.
  std::vector<DeskCase> desks;
  if (desksPart) {
    for (size_t i = 0; i < std::size(kDeskScenes); ++i) {
      const Scene& scene = kDeskScenes[i];
      if (std::string(scene.name).find(deskFilter) == std::string::npos) continue;
      DeskCase desk;
      desk.scene = &scene;
      desk.pageMm = scene.pageMm;
      std::vector<LaidPage> laid;
      const auto two =
          std::find_if(std::begin(kTwoPages), std::end(kTwoPages),
                       [&](const TwoPages& t) { return scene.name == std::string(t.scene); });
      if (two != std::end(kTwoPages)) {
        desk.pageMm = kA5;
        const CleanPage left = RenderPage(scene.paper, kA5, 0, 3);
        const CleanPage right = RenderPage(scene.paper, kA5, 3, 2);
        laid.push_back(two->left);
        laid.back().clean = left.image;
        laid.push_back(two->right);
        laid.back().clean = right.image;
        desk.truths = {left.text, right.text};
        desk.cleanPages = {left.image, right.image};
      } else {
        const CleanPage page =
            std::string(scene.name) == "thermal receipt"
                ? RenderPage(scene.paper, scene.pageMm, 0, std::size(kParagraphs), kReceiptStyle)
                : RenderPage(scene.paper, scene.pageMm);
        laid.push_back({page.image, scene.pageMm, {0, 0}, scene.turn});
        desk.truths = {page.text};
        desk.cleanPages = {page.image};
      }
      const Frame frame = DrawPages(scene, laid, static_cast<unsigned>(61 + i));
      const std::string file = "desk" + std::to_string(i) + ".jpg";
      if (!WriteJpeg(frame.image, scratch / file, 85)) {
        std::fprintf(stderr, "cannot write the frame of %s\n", scene.name);
        return 1;
      }
      devices.emplace_back("Quality desk " + std::to_string(desks.size()), file);
      double clean = 0;
      for (size_t k = 0; k < desk.cleanPages.size(); ++k) {
        const fs::path path =
            scratch / ("desk-clean" + std::to_string(i) + "-" + std::to_string(k) + ".png");
        SavePng(desk.cleanPages[k], path);
        clean = std::max(clean, CharacterErrorRate(desk.truths[k], Ocr(path)));
      }
      desk.cleanCer = clean;
      desks.push_back(std::move(desk));
    }
  }
  const fs::path recording = scratch / "scenes.rec";
  std::ofstream(recording) << Recording(devices);
  ::setenv("TAVRIN_LENS_V4L2_REPLAY", recording.c_str(), 1);
  ::setenv("TAVRIN_LENS_V4L2", "1", 1);
  ::unsetenv("TAVRIN_LENS_VIRTUAL");
  ::unsetenv("TAVRIN_LENS_VIRTUAL_FILE");

  tavrin::CameraLibrary lens;
  const bool loaded = library.empty() ? lens.LoadFromProgramFolder() : lens.LoadModule(library);
  if (!loaded || lens.camInitCameraLib() != 0) {
    std::fprintf(stderr, "cannot load the camera library: %s\n", lens.LastError().c_str());
    return 1;
  }
  std::printf("quality of captures, library %s (%s)\n",
              library.empty() ? "from the program folder" : library.c_str(), label.c_str());
  std::printf(
      "CER: character error rate of tesseract against the known text, %%; raw: the "
      "uncropped frame's; clean: the page as printed\n");
  if (pagesPart) {
    std::printf("%-8s %-26s %-5s %-9s %7s %7s %7s %8s %7s %8s %6s %8s\n", "run", "scene", "crop",
                "colour", "CER", "raw", "clean", "aspect%", "skew", "edge mm", "pieces", "ms");
  }
  std::vector<double> times;
  for (size_t i = 0; i < sceneCount; ++i) {
    const Scene& scene = kScenes[i];
    const int dev = OpenByName(lens, "Quality scene " + std::to_string(i));
    if (dev < 0) {
      std::fprintf(stderr, "cannot open the camera of %s\n", scene.name);
      return 1;
    }
    struct Row {
      Capture capture;
      double cer = -1;
      Geometry geometry;
      int pieces = 0;
      double ms = 0;
    };
    std::vector<Row> rows;
    double rawCer = -1;
    for (const Capture& capture : kCaptures) {
      lens.camSetImageAutoCrop(dev, capture.crop);
      lens.camSetImageAdjust(dev, capture.colour);
      const fs::path out =
          scratch / ("s" + std::to_string(i) + "-crop" + std::to_string(capture.crop) + "-colour" +
                     std::to_string(capture.colour) + ".jpg");
      char buffer[kTavrinLensPathBuffer] = {};
      std::strncpy(buffer, out.c_str(), sizeof buffer - 1);
      const auto start = std::chrono::steady_clock::now();
      const int status = lens.camCaptureImageFile(dev, buffer);
      const double ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count();
      if (status != 0) {
        std::fprintf(stderr, "capture of %s failed: %d\n", scene.name, status);
        return 1;
      }
      const std::string written = buffer;
      const int pieces = static_cast<int>(std::count(written.begin(), written.end(), ';')) + 1;
      const fs::path first = written.substr(0, written.find(';'));
      if (capture.crop == 0) {
        rawCer = CharacterErrorRate(truths[i], Ocr(first));
        continue;
      }
      Row row;
      row.capture = capture;
      row.ms = ms;
      row.pieces = pieces;
      if (capture.crop == 1 || capture.crop == 3)
        row.cer = CharacterErrorRate(truths[i], Ocr(first));
      if (capture.colour == 0) row.geometry = Measure(LoadGrey(first));
      if (capture.crop == 1) times.push_back(ms);
      rows.push_back(row);
    }
    lens.camCloseDev(dev);
    for (const Row& row : rows) {
      char cer[16] = "-";
      if (row.cer >= 0) std::snprintf(cer, sizeof cer, "%.1f", 100 * row.cer);
      char aspect[16] = "-";
      char skew[16] = "-";
      char edge[16] = "-";
      if (row.capture.colour == 0) {
        std::snprintf(aspect, sizeof aspect, "%+.2f", row.geometry.aspect);
        if (row.geometry.marks) {
          std::snprintf(skew, sizeof skew, "%+.2f", row.geometry.skew);
          std::snprintf(edge, sizeof edge, "%.1f", row.geometry.edge);
        } else {
          std::snprintf(edge, sizeof edge, "lost");
        }
      }
      char pieces[16] = "-";
      if (row.capture.crop == 2) std::snprintf(pieces, sizeof pieces, "%d", row.pieces);
      std::printf("%-8s %-26s %-5d %-9s %7s %7.1f %7.1f %8s %7s %8s %6s %8.0f\n", label.c_str(),
                  scene.name, row.capture.crop, ColourName(row.capture.colour), cer, 100 * rawCer,
                  100 * cleanCer[scene.name], aspect, skew, edge, pieces, row.ms);
    }
    std::fflush(stdout);
  }
  if (desksPart && !RunDesks(lens, desks, label, scratch)) return 1;
  std::sort(times.begin(), times.end());
  if (!times.empty()) {
    std::printf("%-8s single crop capture at %dx%d: median %.0f ms over %zu captures\n",
                label.c_str(), kFrame.width, kFrame.height, times[times.size() / 2], times.size());
  }
  if (bookPart) {
    std::printf(
        "book: the pages of an open book (A5, dark wood) against the same page laid flat at the "
        "same scale; split: the multiple crop's pieces (before), book: the book crop (after); "
        "bow: the worst text baseline's distance from straight, mm; aspect: against the true "
        "page, %%\n");
    std::printf("%-8s %-4s %-22s %-5s %-5s %-8s %7s %7s %7s %7s %8s %8s\n", "run", "", "scene",
                "crop", "page", "colour", "CER", "flat", "bow mm", "flat mm", "aspect%", "ms");
    constexpr int kBookColours[] = {0, 3, 1};
    const char* const kSides[] = {"left", "right"};
    std::map<std::pair<size_t, int>, BookPageScore> flat;
    for (size_t side = 0; side < 2; ++side) {
      const int dev = OpenByName(lens, "Quality flat page " + std::to_string(side));
      for (const int colour : kBookColours) {
        double ms = 0;
        const auto files = dev < 0 ? std::vector<fs::path>()
                                   : CaptureFiles(lens, dev, 1, colour,
                                                  scratch / ("flat" + std::to_string(side) + "-" +
                                                             std::to_string(colour) + ".jpg"),
                                                  &ms);
        if (files.size() != 1) {
          std::fprintf(stderr, "the flat page %s was not captured\n", kSides[side]);
          return 1;
        }
        flat[{side, colour}] = ScoreBookPage(files[0], bookPages[side].text, colour == 0);
      }
      if (dev >= 0) lens.camCloseDev(dev);
    }
    std::vector<double> bookTimes;
    for (size_t i = 0; i < std::size(kBookScenes); ++i) {
      const int dev = OpenByName(lens, "Quality book " + std::to_string(i));
      if (dev < 0) {
        std::fprintf(stderr, "cannot open the camera of %s\n", kBookScenes[i].name);
        return 1;
      }
      for (const int crop : {2, 4}) {
        for (const int colour : kBookColours) {
          double ms = 0;
          const auto files =
              CaptureFiles(lens, dev, crop, colour,
                           scratch / ("book" + std::to_string(i) + "-crop" + std::to_string(crop) +
                                      "-" + std::to_string(colour) + ".jpg"),
                           &ms);
          if (files.empty()) {
            std::fprintf(stderr, "capture of %s failed\n", kBookScenes[i].name);
            return 1;
          }
          if (crop == 4 && colour == 0) bookTimes.push_back(ms);
          for (size_t k = 0; k < files.size(); ++k) {
            // The book crop gives left then right; the multiple crop's
            // pieces are told apart by what they read.
            size_t side = std::min<size_t>(k, 1);
            BookPageScore score = ScoreBookPage(files[k], bookPages[side].text, colour == 0);
            if (crop == 2) {
              BookPageScore other = ScoreBookPage(files[k], bookPages[1 - side].text, colour == 0);
              if (other.cer < score.cer) {
                side = 1 - side;
                score = other;
              }
            }
            const BookPageScore& reference = flat[{side, colour}];
            char bow[16] = "-";
            char flatBow[16] = "-";
            char aspect[16] = "-";
            if (colour == 0) {
              std::snprintf(bow, sizeof bow, "%.2f", score.bow);
              std::snprintf(flatBow, sizeof flatBow, "%.2f", reference.bow);
              std::snprintf(aspect, sizeof aspect, "%+.2f", score.aspect);
            }
            std::printf("%-8s %-4s %-22s %-5s %-5s %-8s %7.1f %7.1f %7s %7s %8s %8.0f\n",
                        label.c_str(), "book", kBookScenes[i].name, crop == 4 ? "book" : "split",
                        files.size() > 2 ? "piece" : kSides[side], ColourName(colour),
                        100 * score.cer, 100 * reference.cer, bow, flatBow, aspect, ms);
          }
          std::fflush(stdout);
        }
      }
      lens.camCloseDev(dev);
    }
    std::sort(bookTimes.begin(), bookTimes.end());
    if (!bookTimes.empty()) {
      std::printf("%-8s book crop capture of a spread at %dx%d: median %.0f ms over %zu captures\n",
                  label.c_str(), kFrame.width, kFrame.height, bookTimes[bookTimes.size() / 2],
                  bookTimes.size());
    }
  }
  lens.camUnInitCameraLib();
  if (keep.empty()) fs::remove_all(scratch);
  return 0;
}
