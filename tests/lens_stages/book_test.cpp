// The book crop on open books drawn with a known shape: two sheets of a
// printed grid, curved as a book's pages curve, seen by a camera above.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <QImage>
#include <QString>
#include <opencv2/imgproc.hpp>

#include "lens/src/stages/book.h"
#include "lens/src/stages/color.h"
#include "lens/src/stages/pipeline.h"
#include "lens/src/virtual/curved_book.h"
#include "tests/lens_stages/synthetic_scene.h"

namespace tavrin::lens {
namespace {

const cv::Size kFrame(2000, 1500);
// A page 840 frame pixels wide is 148 mm (A5) at this DPI.
constexpr int kCameraDpi = 144;
constexpr double kPixelsPerMm = kCameraDpi / 25.4;
constexpr int kGridStep = 40;  // sheet pixels between grid lines
const cv::Size kSheet(600, 840);

// A sheet with a grid of thin lines every kGridStep pixels, starting
// kGridStep in from the edges; the left page also carries a solid block
// near its top left corner, so the pages' order shows.
cv::Mat GridSheet(bool block) {
  cv::Mat sheet(kSheet, CV_8UC3, synthetic::kPageColour);
  for (int x = kGridStep; x < kSheet.width; x += kGridStep) {
    cv::line(sheet, {x, kGridStep}, {x, kSheet.height - kGridStep}, synthetic::kInkColour, 2);
  }
  for (int y = kGridStep; y < kSheet.height; y += kGridStep) {
    cv::line(sheet, {kGridStep, y}, {kSheet.width - kGridStep, y}, synthetic::kInkColour, 2);
  }
  if (block) cv::rectangle(sheet, cv::Rect(135, 100, 50, 40), synthetic::kInkColour, cv::FILLED);
  return sheet;
}

// A thick book rises to a fifth of its width, shows the band of its
// stacked page edges beyond each fore-edge, and its left page's gutter
// wall lies in deep shadow.
cv::Mat BookFrame(double lift, bool thick = false) {
  cv::Mat frame(kFrame, CV_8UC3, synthetic::kDeskColour);
  CurvedBook book;
  book.left = GridSheet(true);
  book.right = GridSheet(false);
  book.lift = lift;
  if (thick) {
    book.edgeBand = 0.05;
    book.leftGutterDepth = 0.93;
    book.leftGutterReach = 0.12;
  }
  DrawCurvedBook(frame, book);
  return frame;
}

void Save(const std::string& name, const cv::Mat& image) {
  // Pictures to look at, when asked for.
  if (const char* folder = std::getenv("TAVRIN_TEST_PICTURES")) {
    cv::Mat rgb;
    cv::cvtColor(image, rgb, image.channels() == 1 ? cv::COLOR_GRAY2RGB : cv::COLOR_BGR2RGB);
    QImage(rgb.data, rgb.cols, rgb.rows, static_cast<qsizetype>(rgb.step), QImage::Format_RGB888)
        .save(QString::fromStdString(std::string(folder) + "/" + name));
  }
}

// The grid line nearest expected row (or column) in each column (or row)
// of grey: the middle of the dark pixels within reach, where nothing
// crosses it.
std::vector<cv::Point2d> TraceLine(const cv::Mat& grey, double expected, bool horizontal,
                                   double reach) {
  std::vector<cv::Point2d> trace;
  const int length = horizontal ? grey.cols : grey.rows;
  for (int i = 0; i < length; ++i) {
    double sum = 0;
    double weight = 0;
    int dark = 0;
    const int from = static_cast<int>(expected - reach);
    const int to = static_cast<int>(expected + reach);
    for (int d = from; d <= to; ++d) {
      const int x = horizontal ? i : d;
      const int y = horizontal ? d : i;
      if (x < 0 || y < 0 || x >= grey.cols || y >= grey.rows) continue;
      const double ink = std::max(0, 160 - grey.at<uchar>(y, x));
      sum += ink * d;
      weight += ink;
      dark += ink > 0 ? 1 : 0;
    }
    // A crossing line (or the block) darkens the whole reach.
    if (weight > 0 && dark < 0.3 * (to - from + 1)) trace.emplace_back(i, sum / weight);
  }
  return trace;
}

// How far a traced line strays from the straight line through it.
double Curvature(const std::vector<cv::Point2d>& trace) {
  cv::Vec4f line;
  std::vector<cv::Point2f> points(trace.begin(), trace.end());
  cv::fitLine(points, line, cv::DIST_L2, 0, 0.01, 0.01);
  double worst = 0;
  for (const auto& p : points) {
    const double distance = std::abs((p.x - line[2]) * line[1] - (p.y - line[3]) * line[0]);
    worst = std::max(worst, distance);
  }
  return worst;
}

TEST(BookTest, CurvedGridPagesComeBackFlatStraightAndInOrder) {
  for (double lift : {0.05, 0.1, 0.2}) {
    SCOPED_TRACE("lift " + std::to_string(lift));
    const bool thick = lift > 0.15;
    const cv::Mat frame = BookFrame(lift, thick);
    ProcessingOptions options;
    options.autoCrop = 4;
    const auto pages = RunPipeline(frame, kCameraDpi, options);
    Save("book-frame-" + std::to_string(lift) + ".png", frame);
    ASSERT_EQ(pages.size(), 2U);
    const cv::Size2d truth = CurvedBookPageSize(kFrame, CurvedBook{GridSheet(true), {}});
    for (size_t p = 0; p < 2; ++p) {
      SCOPED_TRACE("page " + std::to_string(p));
      const cv::Mat grey = ToGrey(pages[p].image);
      Save("book-page-" + std::to_string(lift) + "-" + std::to_string(p) + ".png", grey);
      // True proportions, and the true size at the camera's DPI.
      const double aspect = static_cast<double>(grey.cols) / grey.rows;
      const double trueAspect = truth.width / truth.height;
      EXPECT_NEAR(aspect, trueAspect, 0.02 * trueAspect);
      // A thick book's gutter wall, seen almost edge on from above, gives
      // up a little of its width.
      EXPECT_NEAR(grey.cols, truth.width, (thick ? 0.025 : 0.02) * truth.width);
      // Every grid line straight to within a millimetre, and where the
      // flat sheet had it (the unrolled width is right all the way); on a
      // thick book the page stops at its own fore-edge, not at the band of
      // page edges beyond it: the outermost line lies its own distance in.
      const double perSheetX = static_cast<double>(grey.cols) / kSheet.width;
      const double perSheetY = static_cast<double>(grey.rows) / kSheet.height;
      for (int y = 2 * kGridStep; y <= kSheet.height - 2 * kGridStep; y += 2 * kGridStep) {
        auto trace = TraceLine(grey, y * perSheetY, true, 0.35 * kGridStep * perSheetY);
        // Only the part between the first and last vertical grid lines.
        std::erase_if(trace, [&](const cv::Point2d& t) {
          return t.x < 1.2 * kGridStep * perSheetX ||
                 t.x > (kSheet.width - 1.2 * kGridStep) * perSheetX;
        });
        ASSERT_GT(trace.size(), grey.cols / 2U);
        EXPECT_LT(Curvature(trace), 1.0 * kPixelsPerMm) << "row " << y;
      }
      for (int x = kGridStep; x < kSheet.width; x += 2 * kGridStep) {
        auto trace = TraceLine(grey, x * perSheetX, false, 0.35 * kGridStep * perSheetX);
        std::erase_if(trace, [&](const cv::Point2d& t) {
          return t.x < 1.2 * kGridStep * perSheetY ||
                 t.x > (kSheet.height - 1.2 * kGridStep) * perSheetY;
        });
        ASSERT_GT(trace.size(), grey.rows / 2U);
        EXPECT_LT(Curvature(trace), 1.0 * kPixelsPerMm) << "column " << x;
        double mean = 0;
        for (const auto& t : trace) mean += t.y / trace.size();
        if (thick) {
          const bool outermost = p == 0 ? x == kGridStep : x + 2 * kGridStep >= kSheet.width;
          if (!outermost) continue;
          const double in = p == 0 ? mean : grey.cols - mean;
          const double trueIn = (p == 0 ? x : kSheet.width - x) * truth.width / kSheet.width;
          EXPECT_NEAR(in, trueIn, 1.0 * kPixelsPerMm) << "column " << x;
          continue;
        }
        // The page's rim is cut evenly from both sides.
        const double rim = (truth.width - grey.cols) / 2;
        EXPECT_NEAR(mean, x * truth.width / kSheet.width - rim, 1.0 * kPixelsPerMm)
            << "column " << x;
      }
    }
    // Left, then right: the block is on the first page's top left.
    const auto blockShare = [&](size_t p) {
      const cv::Mat grey = ToGrey(pages[p].image);
      const cv::Rect block(grey.cols * 140 / kSheet.width, grey.rows * 105 / kSheet.height,
                           grey.cols * 40 / kSheet.width, grey.rows * 30 / kSheet.height);
      return cv::countNonZero(grey(block) < 128) / static_cast<double>(block.area());
    };
    EXPECT_GT(blockShare(0), 0.9);
    EXPECT_LT(blockShare(1), 0.2);
  }
}

TEST(BookTest, BlackAndWhitePagesHaveNoGutterBar) {
  const cv::Mat frame = BookFrame(0.08);
  ProcessingOptions options;
  options.autoCrop = 4;
  options.colorMode = kColorModeDocument;
  const auto pages = RunPipeline(frame, kCameraDpi, options);
  ASSERT_EQ(pages.size(), 2U);
  for (size_t p = 0; p < 2; ++p) {
    const cv::Mat& page = pages[p].image;
    Save("book-bw-" + std::to_string(p) + ".png", page);
    // The strip along the spine holds as little ink as the middle of the
    // page: grid lines, no shadow.
    const int strip = page.cols / 20;
    const cv::Rect gutter(p == 0 ? page.cols - strip : 0, 0, strip, page.rows);
    const cv::Rect middle(page.cols / 2 - strip / 2, 0, strip, page.rows);
    const auto ink = [&](const cv::Rect& r) {
      return cv::countNonZero(page(r) == 0) / static_cast<double>(r.area());
    };
    EXPECT_LT(ink(gutter), ink(middle) * 1.5 + 0.02) << "page " << p;
  }
}

TEST(BookTest, OnePageOfTheSpreadFoundIsEnoughForBoth) {
  // A page curled so far that the page search finds only the left one:
  // roughly that page's outline.
  const cv::Mat frame = BookFrame(0.08);
  PageQuad left;
  left.corners = {cv::Point2f(140, 150), cv::Point2f(1000, 165), cv::Point2f(1000, 1335),
                  cv::Point2f(140, 1350)};
  const auto pages = FlattenBookSpread(frame, left, {}, {});
  ASSERT_EQ(pages.size(), 2U);
  const cv::Size2d truth = CurvedBookPageSize(kFrame, CurvedBook{GridSheet(true), {}});
  for (const cv::Mat& page : pages) {
    EXPECT_NEAR(page.cols, truth.width, 0.02 * truth.width);
    EXPECT_NEAR(page.rows, truth.height, 0.02 * truth.height);
  }
}

TEST(BookTest, AFlatSpreadTurnedOnTheDeskGivesItsTwoPages) {
  // Two flat pages meeting at a shaded gutter, the book turned by 2 degrees.
  const cv::Size frameSize(1600, 1200);
  const auto drawn = synthetic::BookSpread(frameSize);
  const cv::Mat frame = synthetic::DrawBookScene(frameSize);
  ProcessingOptions options;
  options.autoCrop = 4;
  // The pages are told apart by their paper, which the evened-out light
  // would make the same white.
  options.evenLight = false;
  const auto pages = RunPipeline(frame, kCameraDpi, options);
  ASSERT_EQ(pages.size(), 2U);
  const double aspect = drawn[0].size.width / drawn[0].size.height;
  for (size_t p = 0; p < 2; ++p) {
    Save("book-flat-" + std::to_string(p) + ".png", pages[p].image);
    const cv::Size size = pages[p].image.size();
    EXPECT_NEAR(static_cast<double>(size.width) / size.height, aspect, 0.02 * aspect) << p;
    EXPECT_NEAR(size.width, drawn[0].size.width, 0.02 * drawn[0].size.width) << p;
  }
  // The right page is the greyer one.
  EXPECT_GT(cv::mean(pages[0].image)[0], cv::mean(pages[1].image)[0]);
}

TEST(BookTest, APageWithARuleDownItsMiddleStaysWhole) {
  // A landscape form with a dark line between its two halves is no spread.
  const cv::Size frameSize(1600, 1200);
  synthetic::DrawnPage form;
  form.centre = {800, 600};
  form.size = {1100, 760};
  cv::Mat frame = synthetic::DrawScene(frameSize, {form});
  cv::line(frame, {800, 240}, {800, 960}, cv::Scalar(20, 20, 20), 3, cv::LINE_AA);
  ProcessingOptions options;
  options.autoCrop = 4;
  const auto pages = RunPipeline(frame, kCameraDpi, options);
  ASSERT_EQ(pages.size(), 1U);
  EXPECT_NEAR(pages[0].image.cols, 1100, 0.02 * 1100);
}

TEST(BookTest, ColumnShadingIsLiftedAndTextKept) {
  // A page whose paper darkens towards one side, with a dark stroke.
  cv::Mat page(200, 300, CV_8UC1, cv::Scalar(230));
  for (int x = 0; x < 60; ++x) page.col(x) *= 0.4 + 0.6 * x / 60.0;
  cv::line(page, {10, 100}, {290, 100}, cv::Scalar(30), 3);
  FlattenColumnShading(page);
  for (int x : {15, 30, 150, 285}) {
    EXPECT_NEAR(page.at<uchar>(20, x), 230, 8) << x;
    EXPECT_LT(page.at<uchar>(100, x), 100) << x;
  }
}

}  // namespace
}  // namespace tavrin::lens
