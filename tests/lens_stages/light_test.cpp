// Pages under the light of real desks: the same cut in every colour mode,
// a dim page brought to white paper, faint strokes kept in black and white.
#include <gtest/gtest.h>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "lens/src/stages/area.h"
#include "lens/src/stages/color.h"
#include "lens/src/stages/even_light.h"
#include "lens/src/stages/pipeline.h"
#include "tests/lens_stages/synthetic_scene.h"

namespace tavrin::lens {
namespace {

const cv::Size kFrame(960, 720);
constexpr int kCameraDpi = 197;

double Median(const cv::Mat& grey) {
  std::vector<uchar> values(grey.begin<uchar>(), grey.end<uchar>());
  std::nth_element(values.begin(), values.begin() + static_cast<long>(values.size() / 2),
                   values.end());
  return values[values.size() / 2];
}

TEST(PageLightTest, EveryColourModeCutsTheSameRegion) {
  // Cream paper on a neutral desk of the same brightness: only its colour
  // tells the page from the desk.
  synthetic::DrawnPage page = synthetic::DocumentPage(kFrame, 3.0F);
  page.colour = cv::Scalar(170, 222, 246);
  synthetic::Desk desk;
  const double paperGrey = 0.114 * 170 + 0.587 * 222 + 0.299 * 246;
  desk.colour = cv::Scalar::all(paperGrey);
  const cv::Mat frame = synthetic::DrawScene(kFrame, {page}, 7, desk);
  cv::Size colourCut;
  for (const int mode : {kColorModeColor, kColorModeGrey, kColorModeDocument, kColorModeOtsu}) {
    ProcessingOptions options;
    options.autoCrop = 1;
    options.colorMode = mode;
    const auto out = RunPipeline(frame, kCameraDpi, options);
    ASSERT_EQ(out.size(), 1U) << mode;
    const cv::Size cut = out[0].image.size();
    if (mode == kColorModeColor) {
      colourCut = cut;
      EXPECT_NEAR(cut.width, page.size.width, 0.03 * page.size.width);
      EXPECT_NEAR(cut.height, page.size.height, 0.03 * page.size.height);
    } else {
      EXPECT_EQ(cut, colourCut) << mode;
    }
  }
}

TEST(PageLightTest, ADimUnevenlyLitPageComesOutWhiteUnlessTurnedOff) {
  const synthetic::DrawnPage page = synthetic::DocumentPage(kFrame, 2.0F);
  cv::Mat frame = synthetic::DrawScene(kFrame, {page});
  // Half the light, falling to a quarter of that on the right.
  frame *= 0.5;
  synthetic::ApplyUnevenLight(frame, 0.25);
  ProcessingOptions options;
  options.autoCrop = 1;
  for (const int mode : {kColorModeColor, kColorModeGrey}) {
    options.colorMode = mode;
    options.evenLight = true;
    const auto even = RunPipeline(frame, kCameraDpi, options);
    ASSERT_EQ(even.size(), 1U);
    const cv::Mat grey = ToGrey(even[0].image);
    const cv::Mat farSide = grey.colRange(grey.cols * 3 / 4, grey.cols);
    EXPECT_GE(Median(grey), 235) << mode;
    EXPECT_GE(Median(farSide), 230) << mode;
    // The ink stays ink.
    double darkest = 0;
    cv::minMaxLoc(grey, &darkest);
    EXPECT_LT(darkest, 100) << mode;

    options.evenLight = false;
    const auto kept = RunPipeline(frame, kCameraDpi, options);
    ASSERT_EQ(kept.size(), 1U);
    const cv::Mat keptGrey = ToGrey(kept[0].image);
    EXPECT_LT(Median(keptGrey.colRange(keptGrey.cols * 3 / 4, keptGrey.cols)), 60) << mode;
  }
}

TEST(PageLightTest, EvenedOutLightIsTheSameWhetherTheRowsAreSplitOrNot) {
  // A dim page (grain smoothed), a glossy highlight over its text (light
  // lifted), and a width that is no multiple of a vector: the rows are
  // worked in strips and blocks on several threads, in one run on one.
  const cv::Size size(1203, 917);
  cv::Mat page = synthetic::DrawScene(size, {synthetic::DocumentPage(size, 2.0F)}) * 0.5;
  synthetic::ApplyUnevenLight(page, 0.3);
  cv::Mat glare(size, CV_8UC3, cv::Scalar::all(0));
  cv::circle(glare, cv::Point(size.width / 3, size.height / 2), 120, cv::Scalar::all(110),
             cv::FILLED);
  cv::GaussianBlur(glare, glare, cv::Size(0, 0), 40);
  page += glare;
  // Written over the page itself too where no grain is smoothed (a page
  // under good light with a faint highlight); the dim page's median reads
  // the rows about each one as they were, so it is not written over.
  cv::Mat lit(size, CV_8UC3, cv::Scalar(236, 240, 242));
  for (int y = 60; y < size.height - 40; y += 40) {
    cv::putText(lit, "the quick brown fox jumps over the lazy dog", cv::Point(40, y),
                cv::FONT_HERSHEY_SIMPLEX, 1.0, cv::Scalar(40, 40, 40), 2);
  }
  lit += glare * 0.3;
  const int threads = cv::getNumThreads();
  const std::pair<cv::Mat, bool> inputs[] = {
      {page, false}, {ToGrey(page), false}, {lit, true}, {ToGrey(lit), true}};
  for (const auto& [input, writtenOver] : inputs) {
    cv::setNumThreads(1);
    const cv::Mat whole = EvenOutLight(input);
    cv::setNumThreads(std::max(threads, 2));
    const cv::Mat split = EvenOutLight(input);
    cv::Mat over = input.clone();
    const cv::Mat written = EvenOutLightOver(over);
    cv::setNumThreads(threads);
    ASSERT_EQ(whole.size(), input.size());
    EXPECT_EQ(cv::countNonZero(cv::Mat(whole != split).reshape(1)), 0) << input.channels();
    EXPECT_EQ(cv::countNonZero(cv::Mat(whole != written).reshape(1)), 0) << input.channels();
    EXPECT_EQ(written.data == over.data, writtenOver) << input.channels();
    if (!writtenOver) {
      EXPECT_EQ(cv::countNonZero(cv::Mat(over != input).reshape(1)), 0) << input.channels();
    }
  }
}

TEST(PageLightTest, AreaAveragingIsOpenCvsToTheLastBit) {
  // The detection copy, the ink search's half-size page of odd width, the
  // light's cells and the document mode's blocks are all averaged down by
  // it: what they find must not move by a bit from cv::resize's. Also a
  // part of a picture (a search area's) and one narrower than a vector.
  cv::Mat noise(2040, 1442, CV_8UC3);
  cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(256));
  const cv::Mat part = noise(cv::Rect(3, 5, 1001, 999));
  const cv::Mat narrow = noise(cv::Rect(7, 2, 13, 9));
  const std::vector<std::pair<cv::Mat, std::vector<cv::Size>>> cases = {
      {noise,
       {cv::Size(721, 1020), cv::Size(720, 1019), cv::Size(181, 255), cv::Size(206, 255),
        cv::Size(360, 509), cv::Size(480, 291), cv::Size(1, 1), noise.size()}},
      {part, {cv::Size(450, 449), cv::Size(125, 124)}},
      {narrow, {cv::Size(5, 4)}}};
  for (const auto& [colour, sizes] : cases) {
    for (const cv::Mat& image : {colour, ToGrey(colour)}) {
      for (const cv::Size size : sizes) {
        cv::Mat expected;
        cv::resize(image, expected, size, 0, 0, cv::INTER_AREA);
        const cv::Mat averaged = AreaAverage(image, size);
        ASSERT_EQ(averaged.size(), size);
        EXPECT_EQ(cv::countNonZero(cv::Mat(averaged != expected).reshape(1)), 0)
            << image.channels() << " channels, " << image.size() << " to " << size;
      }
    }
  }
}

TEST(PageLightTest, FaintThinStrokesStayInkInBlackAndWhite) {
  // A thermal receipt's light grey print, one or two pixels thin and
  // blurred by the lens, between blank paper with grain.
  cv::Mat receipt(600, 400, CV_8UC1, cv::Scalar(240));
  cv::Mat strokes(receipt.size(), CV_8UC1, cv::Scalar(0));
  for (int y = 40; y < receipt.rows - 300; y += 24) {
    cv::putText(strokes, "TOTAL 12.50 CASH 20.00", cv::Point(20, y), cv::FONT_HERSHEY_SIMPLEX, 0.6,
                cv::Scalar(255), 1, cv::LINE_AA);
  }
  receipt.setTo(cv::Scalar(170), strokes > 128);
  cv::GaussianBlur(receipt, receipt, cv::Size(0, 0), 0.8);
  cv::Mat grain(receipt.size(), CV_16SC1);
  cv::RNG(3).fill(grain, cv::RNG::NORMAL, 0, 2);
  cv::Mat noisy;
  receipt.convertTo(noisy, CV_16SC1);
  noisy += grain;
  noisy.convertTo(receipt, CV_8UC1);

  const cv::Mat bw = ApplyColorMode(receipt, kColorModeDocument);
  const cv::Mat core = strokes > 200;
  const double kept =
      cv::countNonZero((bw == 0) & core) / static_cast<double>(cv::countNonZero(core));
  EXPECT_GT(kept, 0.7);
  // The blank half stays white.
  const cv::Mat blank = bw.rowRange(receipt.rows - 250, receipt.rows);
  EXPECT_LT(cv::countNonZero(blank == 0), static_cast<int>(0.001 * blank.total()));
}

}  // namespace
}  // namespace tavrin::lens
