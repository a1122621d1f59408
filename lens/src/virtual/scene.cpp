#include "lens/src/virtual/scene.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "lens/src/memory/large_picture.h"
#include "lens/src/stages/text_raster.h"
#include "lens/src/virtual/curved_book.h"

namespace tavrin::lens {

namespace {

constexpr std::array<const char*, 24> kWords = {
    "camera", "page",   "scan",    "light",  "paper",    "margin", "line",   "record",
    "office", "letter", "invoice", "total",  "signed",   "copy",   "date",   "number",
    "report", "table",  "account", "notice", "contract", "terms",  "review", "archive"};

const cv::Scalar kInk(45, 40, 38);
const cv::Scalar kPaper(236, 240, 242);

void FillDesk(cv::Mat& image) {
  for (int y = 0; y < image.rows; ++y) {
    const double shade = 0.8 + 0.2 * y / std::max(1, image.rows - 1);
    const double grain = 5.0 * std::sin(y * 0.35 * 480.0 / std::max(1, image.rows));
    image.row(y).setTo(cv::Scalar(52 * shade + grain, 66 * shade + grain, 88 * shade + grain));
  }
}

// Lines of words on an upright sheet, between margins; deterministic in seed.
void WriteLines(cv::Mat& sheet, const std::string& title, unsigned seed, int lineCount) {
  std::minstd_rand random(seed + 1);
  const int margin = sheet.cols / 10;
  const double lineHeight = (sheet.rows - 2.0 * margin) / (lineCount + 2);
  const double textScale = lineHeight / 40.0;
  const int thickness = std::max(1, static_cast<int>(std::lround(textScale * 1.6)));
  cv::putText(sheet, title, cv::Point(margin, static_cast<int>(margin + lineHeight)),
              cv::FONT_HERSHEY_DUPLEX, textScale * 1.6, kInk, thickness + 1, cv::LINE_AA);
  for (int line = 0; line < lineCount; ++line) {
    const int y = static_cast<int>(margin + lineHeight * (line + 2.6));
    const bool paragraphEnd = line % 7 == 6;
    const int right = paragraphEnd ? sheet.cols / 2 : sheet.cols - margin;
    int x = margin;
    while (true) {
      const std::string word = kWords[random() % kWords.size()];
      int baseline = 0;
      const cv::Size extent =
          cv::getTextSize(word, cv::FONT_HERSHEY_SIMPLEX, textScale, thickness, &baseline);
      if (x + extent.width > right) break;
      cv::putText(sheet, word, cv::Point(x, y), cv::FONT_HERSHEY_SIMPLEX, textScale, kInk,
                  thickness, cv::LINE_AA);
      x += extent.width + static_cast<int>(lineHeight * 0.35);
    }
  }
}

// Lays an upright sheet on the picture, centred at centre and turned by
// angleDegrees, with a soft shadow.
void LaySheet(cv::Mat& image, const cv::Mat& sheet, cv::Point2f centre, double angleDegrees) {
  const cv::RotatedRect place(centre, cv::Size2f(sheet.cols, sheet.rows),
                              static_cast<float>(-angleDegrees));
  std::array<cv::Point2f, 4> corners;
  place.points(corners.data());
  const float shadowOffset = std::max(2.0F, sheet.cols / 60.0F);
  std::array<cv::Point, 4> shadow;
  for (size_t i = 0; i < corners.size(); ++i) {
    shadow[i] = cv::Point(static_cast<int>(corners[i].x + shadowOffset),
                          static_cast<int>(corners[i].y + shadowOffset));
  }
  cv::fillConvexPoly(image, shadow.data(), 4, cv::Scalar(30, 36, 46), cv::LINE_AA);
  cv::Mat transform =
      cv::getRotationMatrix2D(cv::Point2f(sheet.cols / 2.0F, sheet.rows / 2.0F), angleDegrees, 1.0);
  // Only the part of the picture the sheet covers is worked through: the
  // whole of a large frame would take several times as long.
  const cv::Rect covered = (place.boundingRect() + cv::Size(2, 2) - cv::Point(1, 1)) &
                           cv::Rect(0, 0, image.cols, image.rows);
  if (covered.empty()) return;
  transform.at<double>(0, 2) += centre.x - sheet.cols / 2.0 - covered.x;
  transform.at<double>(1, 2) += centre.y - sheet.rows / 2.0 - covered.y;
  cv::Mat target = image(covered);
  cv::warpAffine(sheet, target, transform, covered.size(), cv::INTER_LINEAR,
                 cv::BORDER_TRANSPARENT);
}

void RenderDocument(cv::Mat& image, int page) {
  const int pageHeight = static_cast<int>(image.rows * 0.84);
  const int pageWidth = std::min(static_cast<int>(image.cols * 0.8), pageHeight * 210 / 297);
  cv::Mat sheet = NewPicture(pageHeight, pageWidth, CV_8UC3, kLargeFrameBytes);
  // The desk and the sheet are drawn side by side: the first frame of a
  // large camera waits for both. A thread of its own, not OpenCV's pool,
  // whose workers would outlive the library in the host process.
  {
    std::jthread desk([&image] { FillDesk(image); });
    sheet.setTo(kPaper);
    WriteLines(sheet, "Page " + std::to_string(page + 1), static_cast<unsigned>(page), 30);
  }
  // Each new page lies a little elsewhere, as a hand puts it down.
  const bool odd = page % 2 == 1;
  const cv::Point2f centre(image.cols * (odd ? 0.46F : 0.52F), image.rows * 0.5F);
  LaySheet(image, sheet, centre, odd ? -2.0 : 3.0);
}

void RenderPages(cv::Mat& image) {
  FillDesk(image);
  struct Card {
    float x;
    float y;
    double angle;
  };
  constexpr std::array<Card, 3> kCards = {
      {{0.25F, 0.3F, -4.0}, {0.72F, 0.3F, 6.0}, {0.45F, 0.73F, -2.0}}};
  const int cardWidth = static_cast<int>(image.cols * 0.3);
  const int cardHeight = static_cast<int>(image.rows * 0.3);
  for (size_t i = 0; i < kCards.size(); ++i) {
    cv::Mat sheet(cardHeight, cardWidth, CV_8UC3, kPaper);
    WriteLines(sheet, "Card " + std::to_string(i + 1), static_cast<unsigned>(100 + i), 6);
    LaySheet(image, sheet, cv::Point2f(image.cols * kCards[i].x, image.rows * kCards[i].y),
             kCards[i].angle);
  }
}

// The book's pages carry their number as a row of blocks in the top
// margin: the first always inked, then the number's bits from the highest.
constexpr int kBookCodeCells = 8;

cv::Rect2d BookCodeCell(cv::Size sheet, int cell) {
  // Where block cell lies on an upright page of size sheet: blocks a
  // twelfth of the page wide, a quarter of that apart, centred in the top
  // margin, large enough to read on a page a few hundred pixels wide.
  const double width = sheet.width / 12.0;
  const double step = width * 1.25;
  const double left = (sheet.width - step * (kBookCodeCells - 1) - width) / 2;
  return {left + cell * step, sheet.width * 0.02, width, sheet.width * 0.065};
}

// A book's running text: plain sentences, so that a reader (or OCR) can
// tell whether a flattened page still reads as well as a flat one.
constexpr std::array<const char*, 12> kBookSentences = {
    "The river runs slowly past the old mill, and the water turns the wheel as it has done "
    "for two hundred years.",
    "In the morning the baker opens his shop early, and the smell of fresh bread fills the "
    "narrow street outside.",
    "She wrote a long letter to her brother, folded it twice and put it in the drawer with "
    "the other letters.",
    "The train to the coast leaves at seven, stops at every small town and arrives just "
    "before the evening meal.",
    "A good map shows the roads, the rivers and the hills, and it tells the walker how far "
    "the next village is.",
    "Children learn to count with their fingers long before they can write the numbers on "
    "a page.",
    "The library keeps its oldest books in a cool room where the light is low and the air "
    "is dry all year.",
    "When the wind comes from the west the boats stay in the harbour and the fishermen mend "
    "their nets.",
    "Every garden needs patience: the seeds go in during spring and the fruit comes only at "
    "the end of summer.",
    "The clock on the tower was stopped for a week while a man from the city cleaned its "
    "heavy brass parts.",
    "Good soup is made from simple things, such as onions, carrots, a little salt and plenty "
    "of time.",
    "At night the lighthouse sends its beam across the dark sea, and the sailors know where "
    "the rocks are.",
};

// Composites coverage (CV_8UC1) onto sheet at origin in colour ink.
void Ink(cv::Mat& sheet, const cv::Mat& coverage, cv::Point origin, const cv::Scalar& ink) {
  const cv::Rect place = cv::Rect(origin, coverage.size()) & cv::Rect(0, 0, sheet.cols, sheet.rows);
  for (int y = 0; y < place.height; ++y) {
    const uchar* a = coverage.ptr<uchar>(place.y - origin.y + y) + (place.x - origin.x);
    cv::Vec3b* p = sheet.ptr<cv::Vec3b>(place.y + y) + place.x;
    for (int x = 0; x < place.width; ++x) {
      if (a[x] == 0) continue;
      const double k = a[x] / 255.0;
      for (int c = 0; c < 3; ++c)
        p[x][c] = cv::saturate_cast<uchar>(p[x][c] * (1 - k) + ink[c] * k);
    }
  }
}

// A word in the book's face at pixelSize. Finding and loading the font
// costs far more than drawing, and the book has a small vocabulary, so the
// words are kept: a new spread then draws in a few milliseconds and the
// camera's frames keep coming while the page turns.
std::optional<RasterText> BookWord(const std::string& word, int pixelSize) {
  static std::mutex mutex;
  static std::map<std::pair<int, std::string>, std::optional<RasterText>> words;
  constexpr size_t kMaxWords = 4096;
  const auto key = std::make_pair(pixelSize, word);
  {
    std::lock_guard lock(mutex);
    if (const auto found = words.find(key); found != words.end()) return found->second;
  }
  TextStyle style;
  style.family = "Liberation Serif";
  style.pixelSize = pixelSize;
  auto raster = RasterizeText(word, style);
  std::lock_guard lock(mutex);
  if (words.size() >= kMaxWords) words.clear();
  words.emplace(key, raster);
  return raster;
}

// Sentences set word by word in a serif face between the margins, starting
// at a different sentence on every page. Where no font can be loaded the
// lines fall back to the built-in stroke font, which reads worse but still
// shows a page of text.
void SetBookText(cv::Mat& sheet, int number, int top) {
  const int margin = sheet.cols / 10;
  const int pixelSize = std::max(6, sheet.cols / 32);
  const double lineStep = 1.5 * pixelSize;
  const double space = 0.3 * pixelSize;
  double baseline = top + pixelSize;
  double x = margin;
  for (size_t s = 0; baseline < sheet.rows - 1.5 * margin; ++s) {
    std::istringstream words(
        kBookSentences[(static_cast<size_t>(number) * 5 + s) % kBookSentences.size()]);
    std::string word;
    while (words >> word && baseline < sheet.rows - 1.5 * margin) {
      const auto raster = BookWord(word, pixelSize);
      if (!raster) {
        int unused = 0;
        const double scale = pixelSize / 30.0;
        const int width = cv::getTextSize(word, cv::FONT_HERSHEY_SIMPLEX, scale, 1, &unused).width;
        if (x + width > sheet.cols - margin && x > margin) {
          x = margin;
          baseline += lineStep;
        }
        cv::putText(sheet, word, cv::Point(static_cast<int>(x), static_cast<int>(baseline)),
                    cv::FONT_HERSHEY_SIMPLEX, scale, kInk, 1, cv::LINE_AA);
        x += width + space;
        continue;
      }
      if (x + raster->advance > sheet.cols - margin && x > margin) {
        x = margin;
        baseline += lineStep;
        if (baseline >= sheet.rows - 1.5 * margin) break;
      }
      const cv::Point origin(
          static_cast<int>(std::lround(x - raster->origin.x)),
          static_cast<int>(std::lround(baseline - raster->ascent - raster->origin.y)));
      Ink(sheet, raster->coverage, origin, kInk);
      x += raster->advance + space;
    }
  }
}

// An open book lying under the camera, its pages curved up out of the
// spine. Spread n shows pages 2n + 1 and 2n + 2: each page carries its
// number three ways, as a code of kBookCodeCells blocks in the top margin
// (the first always inked, then the number's bits from the highest), as
// a title "Page N" and in the bottom outer corner as books print it,
// above running text that differs from page to page.
void RenderBook(cv::Mat& image, int spread) {
  FillDesk(image);
  CurvedBook book;
  book.lift = 0.12;
  const cv::Size2d size = CurvedBookPageSize(image.size(), book);
  const cv::Size sheetSize(static_cast<int>(std::lround(size.width)),
                           static_cast<int>(std::lround(size.width * 1.4)));
  for (int side = 0; side < 2; ++side) {
    const int number = 2 * spread + side + 1;
    cv::Mat sheet(sheetSize, CV_8UC3, kPaper);
    const int margin = sheet.cols / 10;
    for (int cell = 0; cell < kBookCodeCells; ++cell) {
      const bool inked = cell == 0 || ((number >> (kBookCodeCells - 1 - cell)) & 1) != 0;
      if (!inked) continue;
      const cv::Rect2d box = BookCodeCell(sheet.size(), cell);
      cv::rectangle(sheet, cv::Rect(box), kInk, cv::FILLED);
    }
    const double titleScale = sheet.cols / 420.0;
    const int titleThickness = std::max(1, static_cast<int>(std::lround(titleScale * 2)));
    const int titleBaseline = margin + sheet.cols / 14;
    cv::putText(sheet, "Page " + std::to_string(number), cv::Point(margin, titleBaseline),
                cv::FONT_HERSHEY_DUPLEX, titleScale, kInk, titleThickness, cv::LINE_AA);
    SetBookText(sheet, number, titleBaseline + sheet.cols / 30);
    const std::string folio = std::to_string(number);
    const double scale = sheet.rows / 700.0;
    const int thickness = std::max(1, static_cast<int>(std::lround(scale * 1.6)));
    int baseline = 0;
    const cv::Size extent =
        cv::getTextSize(folio, cv::FONT_HERSHEY_SIMPLEX, scale, thickness, &baseline);
    const int x = side == 0 ? margin : sheet.cols - margin - extent.width;
    cv::putText(sheet, folio, cv::Point(x, sheet.rows - margin / 2), cv::FONT_HERSHEY_SIMPLEX,
                scale, kInk, thickness, cv::LINE_AA);
    (side == 0 ? book.left : book.right) = sheet;
  }
  // The pages fill most of the frame's height at the camera's field of view.
  book.pageWidthShare = std::min(0.42, 0.82 * image.rows / (1.4 * image.cols));
  DrawCurvedBook(image, book);
}

void RenderWebcam(cv::Mat& image) {
  for (int y = 0; y < image.rows; ++y) {
    const double shade = 1.0 - 0.3 * y / std::max(1, image.rows - 1);
    image.row(y).setTo(cv::Scalar(150 * shade, 140 * shade, 125 * shade));
  }
  const auto at = [&](double x, double y) {
    return cv::Point(static_cast<int>(image.cols * x), static_cast<int>(image.rows * y));
  };
  cv::rectangle(image, at(0.62, 0.1), at(0.92, 0.5), cv::Scalar(235, 225, 200), cv::FILLED);
  cv::rectangle(image, at(0.62, 0.1), at(0.92, 0.5), cv::Scalar(90, 90, 90),
                std::max(1, image.cols / 160));
  cv::rectangle(image, at(0.0, 0.78), at(1.0, 1.0), cv::Scalar(60, 80, 110), cv::FILLED);
  const int unit = std::min(image.cols, image.rows);
  cv::ellipse(image, at(0.38, 0.95), cv::Size(unit * 3 / 10, unit * 3 / 10), 0, 180, 360,
              cv::Scalar(120, 70, 50), cv::FILLED, cv::LINE_AA);
  cv::circle(image, at(0.38, 0.45), unit / 7, cv::Scalar(150, 180, 220), cv::FILLED, cv::LINE_AA);
  cv::circle(image, at(0.38, 0.37), unit / 7, cv::Scalar(50, 50, 60), cv::FILLED, cv::LINE_AA);
  cv::circle(image, at(0.38, 0.47), unit / 8, cv::Scalar(150, 180, 220), cv::FILLED, cv::LINE_AA);
}

}  // namespace

cv::Mat RenderScene(Scene scene, FrameSize size, int page) {
  cv::Mat image = NewPicture(size.height, size.width, CV_8UC3, kLargeFrameBytes);
  switch (scene) {
    case Scene::kDocument:
      RenderDocument(image, page);
      break;
    case Scene::kPages:
      RenderPages(image);
      break;
    case Scene::kBook:
      RenderBook(image, page);
      break;
    case Scene::kWebcam:
      RenderWebcam(image);
      break;
  }
  return image;
}

void ApplyPictureControls(cv::Mat& image, const PictureControls& controls) {
  if (controls.focus != 50) {
    const double sigma = std::abs(controls.focus - 50) * std::min(image.cols, image.rows) / 5000.0;
    if (sigma > 0.3) cv::GaussianBlur(image, image, cv::Size(), sigma);
  }
  if (controls.exposure != 0 || controls.brightness != 0 || controls.contrast != 100) {
    const double gain = std::pow(2.0, controls.exposure / 50.0);
    cv::Mat table(1, 256, CV_8U);
    for (int v = 0; v < 256; ++v) {
      const double exposed = v * gain;
      const double out =
          (exposed - 128.0) * controls.contrast / 100.0 + 128.0 + controls.brightness * 0.64;
      table.at<uchar>(v) = cv::saturate_cast<uchar>(out);
    }
    cv::LUT(image, table, image);
  }
  if (controls.saturation != 100) {
    cv::Mat grey;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    cv::cvtColor(grey, grey, cv::COLOR_GRAY2BGR);
    const double weight = controls.saturation / 100.0;
    cv::addWeighted(image, weight, grey, 1.0 - weight, 0.0, image);
  }
}

void DrawHand(cv::Mat& image, double progress) {
  // A hand reaching in from the right, over the book and back out: a palm,
  // four fingers and a thumb, with the arm trailing off the frame.
  const double unit = std::min(image.cols, image.rows) / 10.0;
  const double sweep = progress < 0.5 ? progress * 2 : 2 - progress * 2;
  const cv::Point2d palm(image.cols * (1.1 - 0.75 * sweep), image.rows * (0.55 - 0.1 * sweep));
  const cv::Scalar skin(120, 150, 205);
  const auto at = [&](double dx, double dy) {
    return cv::Point(static_cast<int>(palm.x + dx * unit), static_cast<int>(palm.y + dy * unit));
  };
  const auto size = [&](double w, double h) {
    return cv::Size(static_cast<int>(w * unit), static_cast<int>(h * unit));
  };
  cv::rectangle(image, at(0.6, -0.8), at(8.0, 0.9), skin, cv::FILLED);  // the arm
  cv::ellipse(image, at(0, 0), size(1.3, 1.1), 0, 0, 360, skin, cv::FILLED, cv::LINE_AA);
  for (int finger = 0; finger < 4; ++finger) {
    const double dy = -0.75 + finger * 0.5;
    cv::ellipse(image, at(-1.6, dy), size(1.0, 0.22), 0, 0, 360, skin, cv::FILLED, cv::LINE_AA);
  }
  cv::ellipse(image, at(-0.5, 1.2), size(0.8, 0.25), -35, 0, 360, skin, cv::FILLED, cv::LINE_AA);
}

namespace {

cv::Rect StampBox(cv::Size image) {
  const int boxWidth = std::max(60, image.width * 15 / 100);
  const int boxHeight = std::max(12, image.height * 3 / 100);
  return {image.width / 50, image.height - image.height / 50 - boxHeight, boxWidth, boxHeight};
}

}  // namespace

cv::Rect FrameStampArea(cv::Size image) {
  // The text stays inside the box; a margin covers its smoothed edges.
  const int margin = 4;
  const cv::Rect box = StampBox(image);
  return cv::Rect(box.x - margin, box.y - margin, box.width + 2 * margin, box.height + 2 * margin) &
         cv::Rect(0, 0, image.width, image.height);
}

void DrawFrameStamp(cv::Mat& image, uint64_t frameNumber, double seconds) {
  const cv::Rect box = StampBox(image.size());
  const int boxWidth = box.width;
  const int boxHeight = box.height;
  cv::rectangle(image, box & cv::Rect(0, 0, image.cols, image.rows), cv::Scalar(20, 20, 20),
                cv::FILLED);
  char text[48] = {};
  std::snprintf(text, sizeof text, "#%06llu %7.1fs", static_cast<unsigned long long>(frameNumber),
                seconds);
  int baseline = 0;
  const cv::Size unit = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, 1.0, 1, &baseline);
  const double scale = std::min(boxHeight * 0.6 / std::max(1, unit.height),
                                boxWidth * 0.9 / std::max(1, unit.width));
  cv::putText(image, text, cv::Point(box.x + boxWidth / 20, box.y + boxHeight * 4 / 5),
              cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(90, 230, 120),
              std::max(1, boxHeight / 14), cv::LINE_AA);
}

}  // namespace tavrin::lens
