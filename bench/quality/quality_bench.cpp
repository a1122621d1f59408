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
//                             [--part all|pages|book]
//   The library defaults to the one in the program folder; --label names
//   the run in the printed rows (scripts/bench runs "before" with an older
//   library and "after" with this one); --part runs only the single pages'
//   scenes or only the open book's. Needs tesseract with English data.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
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

#include <turbojpeg.h>

#include <QGuiApplication>
#include <QImage>
#include <opencv2/imgproc.hpp>

#include "camera/camera_library.h"
#include "lens/src/stages/page_detect.h"
#include "lens/src/stages/text_raster.h"
#include "lens/src/virtual/curved_book.h"

namespace {

namespace fs = std::filesystem;

const cv::Size kFrame(3264, 2448);
constexpr double kFieldWidthMm = 480.0;  // what the camera sees across, at the page
constexpr double kPageWidthMm = 210.0;
constexpr double kPageHeightMm = 297.0;
constexpr double kPageDpi = 300.0;
constexpr double kMarkInsetMm = 12.0;  // registration mark centres from the page's edges
constexpr double kMarkRadiusMm = 3.0;
constexpr double kMarginMm = 25.0;

// Our own text: plain sentences, as a letter or a report would have them.
const char* const kParagraphs[] = {
    "The camera looks down at the desk from a short arm and sees the page a little from the "
    "side, so its edges run towards each other and the far lines of text are smaller than the "
    "near ones.",
    "A lamp on the left lights that side of the paper more than the other, and the hand that "
    "holds the page flat throws a soft shadow across the middle of it.",
    "Every picture must come out square, with the page cut cleanly from the desk, the words "
    "sharp enough to read, and the blank paper white in the black and white modes.",
    "These numbers help to check the reading: 42 pages, 7 folders, 1985 copies and 360 "
    "degrees. Names such as Oslo, Brno and Quito should be read as they are written.",
    "When the light is dim the sensor adds noise, and the small file that the camera sends "
    "loses fine detail to compression; the words should still be clear.",
};

struct Scene {
  const char* name;
  const char* desk;  // dark-wood, light-grey, white, checks, cork
  cv::Scalar paper;  // BGR
  double tiltX = 0;  // degrees, the camera's axis against the desk's normal
  double tiltY = 0;
  double turn = 0;    // the page turned on the desk
  double lamp = 0;    // light at the far side: 1 - lamp of the near side
  double shadow = 0;  // depth of a soft shadow across the page, 0 none
  double dim = 1.0;   // overall light
};

const Scene kScenes[] = {
    {"dark wood, level", "dark-wood", cv::Scalar(244, 246, 247), 0, 0, 3, 0.15, 0, 1.0},
    {"light desk, lamp, 5 deg", "light-grey", cv::Scalar(244, 246, 247), 5, 0, -4, 0.45, 0, 1.0},
    {"cream on white, 8 deg", "white", cv::Scalar(205, 232, 245), 0, 8, 2, 0.2, 0, 1.0},
    {"checked desk, 13 deg", "checks", cv::Scalar(244, 246, 247), 13, 3, -2, 0.2, 0, 1.0},
    {"cork, shadow, dim", "cork", cv::Scalar(240, 242, 243), 3, 0, 5, 0.3, 0.5, 0.6},
    {"dark wood, 15 deg", "dark-wood", cv::Scalar(244, 246, 247), 15, 0, 1, 0.2, 0.35, 0.85},
};

struct Capture {
  int crop;
  int colour;
};
// Every colour mode single-cropped (readability), the other crops in colour
// (geometry, pieces), and no crop (the raw frame's reading).
const Capture kCaptures[] = {{1, 0}, {1, 3}, {1, 1}, {1, 4}, {2, 0}, {3, 0}, {0, 0}};

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

// ---- the clean page ---------------------------------------------------------

struct CleanPage {
  cv::Mat image;     // CV_8UC3 at kPageDpi
  std::string text;  // what it says, words separated by single spaces
};

int MmToPagePixels(double mm) {
  return static_cast<int>(std::lround(mm / 25.4 * kPageDpi));
}

// paragraphs [first, first + count) of kParagraphs on a page of pageMm.
CleanPage RenderPage(const cv::Scalar& paper, cv::Size2d pageMm = {kPageWidthMm, kPageHeightMm},
                     size_t first = 0, size_t count = std::size(kParagraphs)) {
  CleanPage page;
  page.image = cv::Mat(MmToPagePixels(pageMm.height), MmToPagePixels(pageMm.width), CV_8UC3, paper);
  tavrin::lens::TextStyle style;
  style.family = "Liberation Serif";
  style.pixelSize = static_cast<int>(std::lround(12.0 / 72 * kPageDpi));  // 12 pt
  const int left = MmToPagePixels(kMarginMm);
  const int right = page.image.cols - left;
  double baseline = MmToPagePixels(kMarginMm) + style.pixelSize;
  const double lineStep = 1.45 * style.pixelSize;
  const auto draw = [&](const std::string& line) {
    const auto raster = tavrin::lens::RasterizeText(line, style);
    if (!raster) return;
    const cv::Point origin(left - static_cast<int>(raster->origin.x),
                           static_cast<int>(baseline - raster->ascent - raster->origin.y));
    const cv::Rect place = cv::Rect(origin, raster->coverage.size()) &
                           cv::Rect(0, 0, page.image.cols, page.image.rows);
    cv::Mat target = page.image(place);
    const cv::Mat coverage = raster->coverage(cv::Rect(place.tl() - origin, place.size()));
    for (int y = 0; y < target.rows; ++y) {
      for (int x = 0; x < target.cols; ++x) {
        const double a = coverage.at<uchar>(y, x) / 255.0;
        cv::Vec3b& p = target.at<cv::Vec3b>(y, x);
        for (int c = 0; c < 3; ++c) p[c] = cv::saturate_cast<uchar>(p[c] * (1 - a) + 28 * a);
      }
    }
    page.text += (page.text.empty() ? "" : " ") + line;
    baseline += lineStep;
  };
  for (size_t p = first; p < std::min(first + count, std::size(kParagraphs)); ++p) {
    std::istringstream words(kParagraphs[p]);
    std::string word;
    std::string line;
    while (words >> word) {
      const std::string longer = line.empty() ? word : line + " " + word;
      const auto raster = tavrin::lens::RasterizeText(longer, style);
      if (raster && left + raster->advance > right && !line.empty()) {
        draw(line);
        line = word;
      } else {
        line = longer;
      }
    }
    if (!line.empty()) draw(line);
    baseline += 0.6 * lineStep;
  }
  // Registration marks near the corners: where the crop's edges are, and
  // how straight the page came out.
  const int inset = MmToPagePixels(kMarkInsetMm);
  const int radius = MmToPagePixels(kMarkRadiusMm);
  for (const cv::Point centre : {cv::Point(inset, inset), cv::Point(page.image.cols - inset, inset),
                                 cv::Point(page.image.cols - inset, page.image.rows - inset),
                                 cv::Point(inset, page.image.rows - inset)}) {
    cv::circle(page.image, centre, radius, cv::Scalar(20, 20, 20), cv::FILLED, cv::LINE_AA);
  }
  return page;
}

// ---- the frame ----------------------------------------------------------------

double FocalPixels() {
  return tavrin::lens::DefaultFocalPixels(kFrame.width);
}

// Page millimetres (origin at the page's centre) to frame pixels, through a
// pinhole camera tilted by the scene's angles.
cv::Matx33d PageToFrame(const Scene& scene) {
  const double rx = scene.tiltX * CV_PI / 180;
  const double ry = scene.tiltY * CV_PI / 180;
  const double rz = scene.turn * CV_PI / 180;
  const cv::Matx33d turnX(1, 0, 0, 0, std::cos(rx), -std::sin(rx), 0, std::sin(rx), std::cos(rx));
  const cv::Matx33d turnY(std::cos(ry), 0, std::sin(ry), 0, 1, 0, -std::sin(ry), 0, std::cos(ry));
  const cv::Matx33d turnZ(std::cos(rz), -std::sin(rz), 0, std::sin(rz), std::cos(rz), 0, 0, 0, 1);
  const cv::Matx33d r = turnX * turnY * turnZ;
  const double f = FocalPixels();
  const double distance = f * kFieldWidthMm / kFrame.width;  // mm from the camera
  const cv::Matx33d k(f, 0, kFrame.width / 2.0, 0, f, kFrame.height / 2.0, 0, 0, 1);
  const cv::Matx33d rt(r(0, 0), r(0, 1), 0, r(1, 0), r(1, 1), 0, r(2, 0), r(2, 1), distance);
  return k * rt;
}

cv::Mat DrawDesk(const std::string& kind, cv::RNG& rng) {
  cv::Mat desk(kFrame, CV_8UC3);
  if (kind == "dark-wood" || kind == "cork") {
    cv::Mat noise(kFrame.height / 8, kFrame.width / 8, CV_32F);
    rng.fill(noise, cv::RNG::NORMAL, 0, 1);
    cv::Mat grain;
    if (kind == "dark-wood") {
      cv::GaussianBlur(noise, grain, cv::Size(0, 0), 12, 1.2);  // long grain along x
    } else {
      cv::GaussianBlur(noise, grain, cv::Size(0, 0), 1.0);  // speckle
    }
    cv::resize(grain, grain, kFrame, 0, 0, cv::INTER_CUBIC);
    const cv::Scalar base =
        kind == "dark-wood" ? cv::Scalar(45, 75, 115) : cv::Scalar(95, 140, 180);
    const double depth = kind == "dark-wood" ? 60 : 90;
    for (int y = 0; y < kFrame.height; ++y) {
      for (int x = 0; x < kFrame.width; ++x) {
        const double g = grain.at<float>(y, x) * depth;
        desk.at<cv::Vec3b>(y, x) = cv::Vec3b(cv::saturate_cast<uchar>(base[0] + 0.5 * g),
                                             cv::saturate_cast<uchar>(base[1] + 0.8 * g),
                                             cv::saturate_cast<uchar>(base[2] + g));
      }
    }
  } else if (kind == "checks") {
    for (int y = 0; y < kFrame.height; ++y) {
      for (int x = 0; x < kFrame.width; ++x) {
        const bool dark = ((x / 90) + (y / 90)) % 2 == 0;
        desk.at<cv::Vec3b>(y, x) = dark ? cv::Vec3b(150, 160, 170) : cv::Vec3b(215, 220, 224);
      }
    }
  } else if (kind == "white") {
    desk.setTo(cv::Scalar(238, 239, 240));
  } else {
    desk.setTo(cv::Scalar(196, 200, 203));  // light grey
  }
  return desk;
}

struct Frame {
  cv::Mat image;
  std::array<cv::Point2f, 4> corners;  // the page's, in frame pixels
};

Frame DrawFrame(const Scene& scene, const cv::Mat& cleanPage, unsigned seed) {
  cv::RNG rng(seed);
  Frame frame;
  frame.image = DrawDesk(scene.desk, rng);
  const cv::Matx33d toFrame = PageToFrame(scene);
  // The page at about the frame's scale first: a warp that shrinks a lot
  // samples too sparsely.
  const double framePixelsPerMm = kFrame.width / kFieldWidthMm;
  cv::Mat page;
  cv::resize(cleanPage, page,
             cv::Size(static_cast<int>(kPageWidthMm * framePixelsPerMm),
                      static_cast<int>(kPageHeightMm * framePixelsPerMm)),
             0, 0, cv::INTER_AREA);
  const double perMmX = page.cols / kPageWidthMm;
  const double perMmY = page.rows / kPageHeightMm;
  // page pixel centres -> page mm (centred) -> frame pixel centres
  const cv::Matx33d pageToMm(1 / perMmX, 0, 0.5 / perMmX - kPageWidthMm / 2, 0, 1 / perMmY,
                             0.5 / perMmY - kPageHeightMm / 2, 0, 0, 1);
  const cv::Matx33d shift(1, 0, -0.5, 0, 1, -0.5, 0, 0, 1);
  const cv::Matx33d h = shift * toFrame * pageToMm;
  const cv::Point2d cornersMm[4] = {{-kPageWidthMm / 2, -kPageHeightMm / 2},
                                    {kPageWidthMm / 2, -kPageHeightMm / 2},
                                    {kPageWidthMm / 2, kPageHeightMm / 2},
                                    {-kPageWidthMm / 2, kPageHeightMm / 2}};
  for (size_t i = 0; i < 4; ++i) {
    const cv::Vec3d p = toFrame * cv::Vec3d(cornersMm[i].x, cornersMm[i].y, 1);
    frame.corners[i] =
        cv::Point2f(static_cast<float>(p[0] / p[2]), static_cast<float>(p[1] / p[2]));
  }
  cv::Mat laid;
  cv::Mat alpha;
  cv::warpPerspective(page, laid, cv::Mat(h), kFrame, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  cv::warpPerspective(cv::Mat(page.size(), CV_32F, cv::Scalar(1)), alpha, cv::Mat(h), kFrame,
                      cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0));
  // The paper's thin shadow on the desk, down and to the right.
  cv::Mat castShadow;
  cv::warpAffine(alpha, castShadow, cv::Mat(cv::Matx23d(1, 0, 5, 0, 1, 7)), kFrame);
  cv::GaussianBlur(castShadow, castShadow, cv::Size(0, 0), 5);

  // The light over desk and paper alike: a lamp's fall-off from the left,
  // a soft shadow across the middle, the overall level.
  cv::Mat light(kFrame, CV_32F);
  for (int y = 0; y < kFrame.height; ++y) {
    for (int x = 0; x < kFrame.width; ++x) {
      light.at<float>(y, x) = static_cast<float>(scene.dim * (1.0 - scene.lamp * x / kFrame.width) *
                                                 (1.0 - 0.25 * castShadow.at<float>(y, x)));
    }
  }
  if (scene.shadow > 0) {
    cv::Mat shade(kFrame, CV_32F, cv::Scalar(0));
    cv::ellipse(shade, cv::Point(kFrame.width * 62 / 100, kFrame.height * 55 / 100),
                cv::Size(kFrame.width / 5, kFrame.height / 9), -30, 0, 360, cv::Scalar(1),
                cv::FILLED);
    cv::GaussianBlur(shade, shade, cv::Size(0, 0), 60);
    light = light.mul(1.0 - scene.shadow * shade);
  }
  cv::Mat deskF;
  cv::Mat laidF;
  frame.image.convertTo(deskF, CV_32FC3);
  laid.convertTo(laidF, CV_32FC3);
  cv::Mat alpha3;
  cv::Mat light3;
  cv::cvtColor(alpha, alpha3, cv::COLOR_GRAY2BGR);
  cv::cvtColor(light, light3, cv::COLOR_GRAY2BGR);
  cv::Mat desk3;
  cv::subtract(cv::Scalar::all(1.0), alpha3, desk3);
  cv::Mat scene3 = deskF.mul(desk3) + laidF.mul(alpha3);
  scene3 = scene3.mul(light3);
  // Lens blur, then sensor noise that grows a little with the light.
  cv::GaussianBlur(scene3, scene3, cv::Size(0, 0), 1.1);
  cv::Mat noise(kFrame, CV_32FC3);
  rng.fill(noise, cv::RNG::NORMAL, 0, 1);
  cv::Mat spread;
  cv::sqrt(cv::max(scene3, 1.0), spread);
  scene3 += noise.mul(spread * 0.25 + 1.5);
  scene3.convertTo(frame.image, CV_8UC3);
  return frame;
}

bool WriteJpeg(const cv::Mat& bgr, const fs::path& path, int quality) {
  tjhandle handle = tjInitCompress();
  unsigned char* bytes = nullptr;
  unsigned long size = 0;
  const int status = tjCompress2(handle, bgr.data, bgr.cols, static_cast<int>(bgr.step), bgr.rows,
                                 TJPF_BGR, &bytes, &size, TJSAMP_422, quality, TJFLAG_FASTDCT);
  tjDestroy(handle);
  if (status != 0) return false;
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
  tjFree(bytes);
  return static_cast<bool>(file);
}

// ---- scoring ---------------------------------------------------------------------

std::string Normalised(const std::string& text) {
  std::string out;
  bool space = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (std::isspace(c)) {
      space = !out.empty();
      continue;
    }
    // The typographic ligatures and dashes tesseract likes to return.
    if (text.compare(i, 3, "\xEF\xAC\x81") == 0) {
      out += space ? " fi" : "fi";
      i += 2;
      space = false;
      continue;
    }
    if (text.compare(i, 3, "\xEF\xAC\x82") == 0) {
      out += space ? " fl" : "fl";
      i += 2;
      space = false;
      continue;
    }
    if (space) out += ' ';
    space = false;
    out += static_cast<char>(c);
  }
  return out;
}

double CharacterErrorRate(const std::string& truth, const std::string& read) {
  const std::string a = Normalised(truth);
  const std::string b = Normalised(read);
  std::vector<int> previous(b.size() + 1);
  std::vector<int> current(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) previous[j] = static_cast<int>(j);
  for (size_t i = 1; i <= a.size(); ++i) {
    current[0] = static_cast<int>(i);
    for (size_t j = 1; j <= b.size(); ++j) {
      current[j] = std::min(
          {previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
    }
    std::swap(previous, current);
  }
  return a.empty() ? 0.0 : static_cast<double>(previous[b.size()]) / static_cast<double>(a.size());
}

// tesseract binarises with Sauvola's local threshold, so that a lamp's
// fall-off across a colour or grey picture is not what the score measures.
constexpr const char* kOcrOptions = "-c thresholding_method=2";

std::string Ocr(const fs::path& image) {
  const std::string command = "OMP_THREAD_LIMIT=1 tesseract '" + image.string() +
                              "' stdout -l eng " + kOcrOptions + " 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  std::string text;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
  ::pclose(pipe);
  return text;
}

cv::Mat LoadGrey(const fs::path& path) {
  QImage image(QString::fromStdString(path.string()));
  if (image.isNull()) return {};
  image = image.convertToFormat(QImage::Format_Grayscale8);
  return cv::Mat(image.height(), image.width(), CV_8UC1, image.bits(),
                 static_cast<size_t>(image.bytesPerLine()))
      .clone();
}

struct Geometry {
  bool marks = false;  // all four registration marks found
  double aspect = 0;   // output's width/height against the page's, in percent
  double skew = 0;     // degrees
  double edge = 0;     // worst distance of a crop edge from the page's edge, mm
};

Geometry Measure(const cv::Mat& grey, cv::Size2d pageMm = {kPageWidthMm, kPageHeightMm}) {
  Geometry g;
  g.aspect =
      100.0 * ((static_cast<double>(grey.cols) / grey.rows) / (pageMm.width / pageMm.height) - 1);
  const double pxPerMm = grey.cols / pageMm.width;
  // Dark against the paper around it: a lamp's fall-off across the page
  // would defeat one global cut-off.
  cv::Mat paper;
  cv::resize(grey, paper, cv::Size(std::max(1, grey.cols / 8), std::max(1, grey.rows / 8)), 0, 0,
             cv::INTER_AREA);
  cv::dilate(paper, paper, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(9, 9)));
  cv::GaussianBlur(paper, paper, cv::Size(9, 9), 0);
  cv::resize(paper, paper, grey.size(), 0, 0, cv::INTER_LINEAR);
  cv::Mat scaled;
  paper.convertTo(scaled, CV_8U, 0.6);
  cv::Mat dark = grey < scaled;
  cv::Mat labels;
  cv::Mat stats;
  cv::Mat centroids;
  const int count = cv::connectedComponentsWithStats(dark, labels, stats, centroids);
  const double expectedArea = CV_PI * std::pow(kMarkRadiusMm * pxPerMm, 2);
  const cv::Point2d expected[4] = {
      {kMarkInsetMm * pxPerMm, kMarkInsetMm * pxPerMm},
      {grey.cols - kMarkInsetMm * pxPerMm, kMarkInsetMm * pxPerMm},
      {grey.cols - kMarkInsetMm * pxPerMm, grey.rows - kMarkInsetMm * pxPerMm},
      {kMarkInsetMm * pxPerMm, grey.rows - kMarkInsetMm * pxPerMm}};
  std::array<cv::Point2d, 4> found{};
  for (size_t corner = 0; corner < 4; ++corner) {
    double best = 15 * pxPerMm;  // a mark further than 15 mm off is lost
    bool any = false;
    for (int i = 1; i < count; ++i) {
      const double area = stats.at<int>(i, cv::CC_STAT_AREA);
      const double w = stats.at<int>(i, cv::CC_STAT_WIDTH);
      const double h = stats.at<int>(i, cv::CC_STAT_HEIGHT);
      if (area < 0.4 * expectedArea || area > 2.5 * expectedArea || w > 1.6 * h || h > 1.6 * w) {
        continue;
      }
      const cv::Point2d c(centroids.at<double>(i, 0), centroids.at<double>(i, 1));
      const double distance = cv::norm(c - expected[corner]);
      if (distance < best) {
        best = distance;
        found[corner] = c;
        any = true;
      }
    }
    if (!any) return g;
  }
  g.marks = true;
  const double across = 0.5 * (cv::norm(found[1] - found[0]) + cv::norm(found[2] - found[3]));
  const double down = 0.5 * (cv::norm(found[3] - found[0]) + cv::norm(found[2] - found[1]));
  const double scaleX = across / (pageMm.width - 2 * kMarkInsetMm);
  const double scaleY = down / (pageMm.height - 2 * kMarkInsetMm);
  g.skew = 0.5 *
           (std::atan2(found[1].y - found[0].y, found[1].x - found[0].x) +
            std::atan2(found[2].y - found[3].y, found[2].x - found[3].x)) *
           180 / CV_PI;
  const double offsets[] = {found[0].x / scaleX,
                            found[3].x / scaleX,
                            (grey.cols - found[1].x) / scaleX,
                            (grey.cols - found[2].x) / scaleX,
                            found[0].y / scaleY,
                            found[1].y / scaleY,
                            (grey.rows - found[2].y) / scaleY,
                            (grey.rows - found[3].y) / scaleY};
  for (double offset : offsets) g.edge = std::max(g.edge, std::abs(offset - kMarkInsetMm));
  return g;
}

// ---- the open book ------------------------------------------------------------------

// A5 pages of the same text at the camera's scale: 148 mm over 0.42 of the
// frame's width is about 235 DPI.
constexpr double kBookPageWidthMm = 148.0;
constexpr double kBookPageHeightMm = 210.0;
constexpr double kBookPageShare = 0.42;
const cv::Size2d kBookPageMm(kBookPageWidthMm, kBookPageHeightMm);

struct BookScene {
  const char* name;
  double lift;  // how high the pages rise, as a part of their width
};
const BookScene kBookScenes[] = {{"book, rise 8 %", 0.08}, {"book, rise 12 %", 0.12}};

// Lens blur and sensor noise, as DrawFrame adds them.
void AddSensor(cv::Mat& image, cv::RNG& rng) {
  cv::Mat f;
  image.convertTo(f, CV_32FC3);
  cv::GaussianBlur(f, f, cv::Size(0, 0), 1.1);
  cv::Mat noise(f.size(), CV_32FC3);
  rng.fill(noise, cv::RNG::NORMAL, 0, 1);
  cv::Mat spread;
  cv::sqrt(cv::max(f, 1.0), spread);
  f += noise.mul(spread * 0.25 + 1.5);
  f.convertTo(image, CV_8UC3);
}

// The spread as the camera above the open book sees it.
cv::Mat DrawBookFrame(const cv::Mat& left, const cv::Mat& right, double lift, unsigned seed) {
  cv::RNG rng(seed);
  cv::Mat frame = DrawDesk("dark-wood", rng);
  tavrin::lens::CurvedBook book;
  book.left = left;
  book.right = right;
  book.pageWidthShare = kBookPageShare;
  book.lift = lift;
  book.focalPixels = FocalPixels();
  tavrin::lens::DrawCurvedBook(frame, book);
  AddSensor(frame, rng);
  return frame;
}

// One of the pages laid flat where the book lay, at the same scale and
// under the same light: what the flattened page should read like.
cv::Mat DrawFlatPageFrame(const cv::Mat& page, unsigned seed) {
  cv::RNG rng(seed);
  cv::Mat frame = DrawDesk("dark-wood", rng);
  const double width = kBookPageShare * kFrame.width;
  cv::Mat scaled;
  cv::resize(page, scaled,
             cv::Size(static_cast<int>(width),
                      static_cast<int>(width * kBookPageHeightMm / kBookPageWidthMm)),
             0, 0, cv::INTER_AREA);
  scaled.copyTo(frame(cv::Rect((kFrame.width - scaled.cols) / 2, (kFrame.height - scaled.rows) / 2,
                               scaled.cols, scaled.rows)));
  AddSensor(frame, rng);
  return frame;
}

// Ink: darker than the paper around it (a global cut-off would fail on
// the gutter's shading left in an unflattened page).
cv::Mat InkMask(const cv::Mat& grey) {
  cv::Mat paper;
  cv::resize(grey, paper, cv::Size(std::max(1, grey.cols / 8), std::max(1, grey.rows / 8)), 0, 0,
             cv::INTER_AREA);
  cv::dilate(paper, paper, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(9, 9)));
  cv::GaussianBlur(paper, paper, cv::Size(9, 9), 0);
  cv::resize(paper, paper, grey.size(), 0, 0, cv::INTER_LINEAR);
  cv::Mat scaled;
  paper.convertTo(scaled, CV_8U, 0.6);
  return grey < scaled;
}

// How far the worst text line bows away from straight, in mm: each line's
// ink is joined along its length, its baseline followed in steps of 8 mm
// (the commonest of the columns' lowest ink), a
// straight line fitted, and the bow is the farthest the followed baseline
// strays from it. Lines shorter than half the page's width (a paragraph's
// last) are left out: they say little about the bow. -1 when no line is
// long enough.
double WorstBaselineBow(const cv::Mat& grey, double widthMm, int* lines) {
  const double pxPerMm = grey.cols / widthMm;
  const cv::Mat ink = InkMask(grey);
  cv::Mat joined;
  cv::dilate(ink, joined,
             cv::getStructuringElement(cv::MORPH_RECT,
                                       cv::Size(std::max(3, static_cast<int>(3 * pxPerMm)), 1)));
  cv::Mat labels;
  cv::Mat stats;
  cv::Mat centroids;
  const int count = cv::connectedComponentsWithStats(joined, labels, stats, centroids, 8, CV_32S);
  double worst = -1;
  *lines = 0;
  const int step = std::max(4, static_cast<int>(8 * pxPerMm));
  for (int i = 1; i < count; ++i) {
    const cv::Rect box(stats.at<int>(i, cv::CC_STAT_LEFT), stats.at<int>(i, cv::CC_STAT_TOP),
                       stats.at<int>(i, cv::CC_STAT_WIDTH), stats.at<int>(i, cv::CC_STAT_HEIGHT));
    if (box.width < grey.cols / 2 || box.height > 20 * pxPerMm) continue;
    std::vector<cv::Point2d> points;
    for (int x0 = box.x; x0 + step <= box.br().x; x0 += step) {
      std::vector<int> bottoms;
      for (int x = x0; x < x0 + step; ++x) {
        for (int y = box.br().y - 1; y >= box.y; --y) {
          if (ink.at<uchar>(y, x) != 0 && labels.at<int>(y, x) == i) {
            bottoms.push_back(y);
            break;
          }
        }
      }
      if (static_cast<int>(bottoms.size()) < step / 3) continue;
      // Most letters end on the baseline; descenders end below it and
      // the arms of r, f or T above it: the commonest bottom is the
      // baseline.
      std::map<int, int> histogram;
      for (const int y : bottoms) ++histogram[y];
      double best = -1;
      double baseline = 0;
      for (const auto& [y, n] : histogram) {
        const int below = histogram.count(y - 1) ? histogram[y - 1] : 0;
        const int above = histogram.count(y + 1) ? histogram[y + 1] : 0;
        const double near = n + below + above;
        if (near > best) {
          best = near;
          baseline = (y * n + (y - 1.0) * below + (y + 1.0) * above) / near;
        }
      }
      points.emplace_back(x0 + step / 2.0, baseline);
    }
    if (points.size() < 5) continue;
    cv::Vec4f fit;
    cv::fitLine(points, fit, cv::DIST_L2, 0, 0.01, 0.01);
    double bow = 0;
    for (const cv::Point2d& p : points) {
      bow = std::max(bow, std::abs((p.x - fit[2]) * fit[1] - (p.y - fit[3]) * fit[0]));
    }
    worst = std::max(worst, bow / pxPerMm);
    ++*lines;
  }
  return worst;
}

struct BookPageScore {
  double cer = -1;
  double bow = -1;  // mm
  int lines = 0;
  double aspect = 0;  // percent
};

BookPageScore ScoreBookPage(const fs::path& file, const std::string& truth, bool geometry) {
  BookPageScore score;
  score.cer = CharacterErrorRate(truth, Ocr(file));
  if (geometry) {
    const cv::Mat grey = LoadGrey(file);
    score.bow = WorstBaselineBow(grey, kBookPageWidthMm, &score.lines);
    score.aspect = Measure(grey, kBookPageMm).aspect;
  }
  return score;
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

}  // namespace

int main(int argc, char** argv) {
  std::string library;
  std::string label = "this";
  fs::path keep;
  std::string part = "all";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--library") library = argv[i + 1];
    if (flag == "--label") label = argv[i + 1];
    if (flag == "--keep") keep = argv[i + 1];
    if (flag == "--part") part = argv[i + 1];
  }
  if (part != "all" && part != "pages" && part != "book") {
    std::fprintf(stderr, "--part takes all, pages or book\n");
    return 2;
  }
  const bool pagesPart = part != "book";
  const bool bookPart = part != "pages";
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
                              DrawBookFrame(bookPages[0].image, bookPages[1].image,
                                            kBookScenes[i].lift, static_cast<unsigned>(41 + i)));
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
    std::printf("%-8s %-4s %-16s %-5s %-5s %-8s %7s %7s %7s %7s %8s %8s\n", "run", "", "scene",
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
            std::printf("%-8s %-4s %-16s %-5s %-5s %-8s %7.1f %7.1f %7s %7s %8s %8.0f\n",
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
