#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "lens/src/stages/color.h"
#include "lens/src/stages/pipeline.h"
#include "tests/lens_stages/synthetic_scene.h"

namespace tavrin::lens {
namespace {

const cv::Size kFrame(960, 720);
constexpr int kCameraDpi = 197;

bool OnlyBlackAndWhite(const cv::Mat& image) {
  return image.type() == CV_8UC1 && cv::countNonZero(image == 0) + cv::countNonZero(image == 255) ==
                                        static_cast<int>(image.total());
}

double Aspect(cv::Size2d size) {
  return size.width / size.height;
}

class PipelineTest : public ::testing::Test {
 protected:
  synthetic::DrawnPage page_ = synthetic::DocumentPage(kFrame, 4.0F);
  cv::Mat document_ = synthetic::DrawScene(kFrame, {page_});
};

TEST_F(PipelineTest, NoOptionsGiveTheFrameAtTheCamerasDpi) {
  const auto out = RunPipeline(document_, kCameraDpi, {});
  ASSERT_EQ(out.size(), 1U);
  EXPECT_EQ(cv::norm(out[0].image, document_, cv::NORM_INF), 0);
  EXPECT_EQ(out[0].dpiX, kCameraDpi);
  EXPECT_EQ(out[0].dpiY, kCameraDpi);
  // A watermark on a picture the stages left as it is draws on a copy: the
  // frame is the camera's, shown in the preview and taken by the next capture.
  const cv::Mat before = document_.clone();
  ProcessingOptions marked;
  marked.watermark.enable = true;
  marked.watermark.text = "Tavrin";
  marked.watermark.fontSize = 72;
  const auto stamped = RunPipeline(document_, kCameraDpi, marked);
  ASSERT_EQ(stamped.size(), 1U);
  EXPECT_GT(cv::norm(stamped[0].image, before, cv::NORM_INF), 0);
  EXPECT_EQ(cv::norm(document_, before, cv::NORM_INF), 0);
  // An unknown camera DPI is the usual 96.
  EXPECT_EQ(RunPipeline(document_, 0, {})[0].dpiX, 96);
}

TEST_F(PipelineTest, SingleCropStraightensThePageWithNoDeskLeft) {
  ProcessingOptions options;
  options.autoCrop = 1;
  const auto out = RunPipeline(document_, kCameraDpi, options);
  ASSERT_EQ(out.size(), 1U);
  EXPECT_NEAR(Aspect(out[0].image.size()), Aspect(page_.size), 0.02 * Aspect(page_.size));
  const cv::Mat grey = ToGrey(out[0].image);
  for (const cv::Mat& line :
       {grey.row(0), grey.row(grey.rows - 1), grey.col(0), grey.col(grey.cols - 1)}) {
    double lowest = 0;
    cv::minMaxLoc(line, &lowest);
    EXPECT_GT(lowest, 165);
  }
}

TEST_F(PipelineTest, NoPageFoundKeepsTheWholeFrame) {
  const cv::Mat desk = synthetic::DrawScene(kFrame, {});
  for (int crop : {1, 2, 3, 4}) {
    ProcessingOptions options;
    options.autoCrop = crop;
    const auto out = RunPipeline(desk, kCameraDpi, options);
    ASSERT_EQ(out.size(), 1U) << crop;
    EXPECT_EQ(out[0].image.size(), kFrame) << crop;
  }
}

TEST_F(PipelineTest, DpiResamplesRelativeToTheCamerasOwn) {
  ProcessingOptions options;
  options.dpiX = 300;
  options.dpiY = 300;
  const auto out = RunPipeline(document_, kCameraDpi, options);
  ASSERT_EQ(out.size(), 1U);
  EXPECT_EQ(out[0].image.size(), cv::Size(1462, 1096));  // 960 and 720 times 300 / 197
  EXPECT_EQ(out[0].dpiX, 300);
  EXPECT_EQ(out[0].dpiY, 300);
  // Cropped, the page grows by the same factor in the one warp.
  options.autoCrop = 1;
  const auto page = RunPipeline(document_, kCameraDpi, options);
  ASSERT_EQ(page.size(), 1U);
  EXPECT_NEAR(page[0].image.cols, page_.size.width * 300 / 197,
              0.015 * page_.size.width * 300 / 197);
  EXPECT_NEAR(page[0].image.rows, page_.size.height * 300 / 197,
              0.015 * page_.size.height * 300 / 197);
  // Lower than the camera's own shrinks.
  options.dpiX = 100;
  options.dpiY = 100;
  const auto small = RunPipeline(document_, kCameraDpi, options);
  EXPECT_NEAR(small[0].image.rows, page_.size.height * 100 / 197, 0.02 * page_.size.height / 2);
}

TEST_F(PipelineTest, AnAbsurdDpiIsRefusedNotAttempted) {
  ProcessingOptions options;
  options.dpiX = 2000000;
  options.dpiY = 2000000;
  EXPECT_TRUE(RunPipeline(document_, kCameraDpi, options).empty());
  EXPECT_TRUE(RunPipeline(cv::Mat(), kCameraDpi, {}).empty());
  EXPECT_TRUE(RunPipeline(cv::Mat(10, 10, CV_16UC3), kCameraDpi, {}).empty());
}

TEST_F(PipelineTest, RotationsSwapSizesAndDpi) {
  ProcessingOptions options;
  options.dpiX = 300;
  options.dpiY = 200;
  const cv::Size upright = RunPipeline(document_, kCameraDpi, options)[0].image.size();
  for (int rotate : {1, 2, 3}) {
    options.rotate = rotate;
    const auto out = RunPipeline(document_, kCameraDpi, options);
    ASSERT_EQ(out.size(), 1U);
    const bool quarter = rotate != 2;
    EXPECT_EQ(out[0].image.size(), quarter ? cv::Size(upright.height, upright.width) : upright);
    EXPECT_EQ(out[0].dpiX, quarter ? 200 : 300);
    EXPECT_EQ(out[0].dpiY, quarter ? 300 : 200);
  }
}

TEST_F(PipelineTest, ColourModesGiveGreyAndBlackAndWhiteFiles) {
  ProcessingOptions options;
  options.autoCrop = 1;
  options.colorMode = 3;
  const auto grey = RunPipeline(document_, kCameraDpi, options);
  ASSERT_EQ(grey.size(), 1U);
  EXPECT_EQ(grey[0].image.type(), CV_8UC1);
  for (int mode : {1, 4}) {
    options.colorMode = mode;
    options.watermark.enable = true;
    options.watermark.text = "Tavrin";
    options.watermark.red = 200;
    options.watermark.transparencyPercent = 30;
    const auto bw = RunPipeline(document_, kCameraDpi, options);
    ASSERT_EQ(bw.size(), 1U);
    EXPECT_TRUE(OnlyBlackAndWhite(bw[0].image)) << mode;
    // The text lines survive: a good share of ink, far from all black.
    const double ink =
        1.0 - cv::countNonZero(bw[0].image) / static_cast<double>(bw[0].image.total());
    EXPECT_GT(ink, 0.03) << mode;
    EXPECT_LT(ink, 0.4) << mode;
  }
}

TEST_F(PipelineTest, CustomCropComesFirst) {
  ProcessingOptions options;
  options.customCrop = {0, 0, 50, 100};
  const auto half = RunPipeline(document_, kCameraDpi, options);
  ASSERT_EQ(half.size(), 1U);
  EXPECT_EQ(half[0].image.size(), cv::Size(480, 720));
  EXPECT_EQ(cv::norm(half[0].image, document_(cv::Rect(0, 0, 480, 720)), cv::NORM_INF), 0);
  // A frame around the page alone still lets the automatic crop find it.
  options.customCrop = {10, 5, 95, 95};
  options.autoCrop = 1;
  const auto page = RunPipeline(document_, kCameraDpi, options);
  ASSERT_EQ(page.size(), 1U);
  EXPECT_NEAR(Aspect(page[0].image.size()), Aspect(page_.size), 0.02 * Aspect(page_.size));
}

// A search area narrows where the crop looks: a page wholly inside is
// found; one the area cuts through is not, and the whole frame comes.
TEST_F(PipelineTest, ASearchAreaTakesOnlyAPageLyingWhollyInside) {
  ProcessingOptions options;
  options.autoCrop = 1;
  options.searchArea = {10, 5, 95, 95};
  const auto page = RunPipeline(document_, kCameraDpi, options);
  ASSERT_EQ(page.size(), 1U);
  EXPECT_NEAR(Aspect(page[0].image.size()), Aspect(page_.size), 0.02 * Aspect(page_.size));
  options.searchArea = {0, 0, 50, 100};
  const auto cutThrough = RunPipeline(document_, kCameraDpi, options);
  ASSERT_EQ(cutThrough.size(), 1U);
  EXPECT_EQ(cv::norm(cutThrough[0].image, document_, cv::NORM_INF), 0);
}

// Book crop on cards that make no spread: the single crop's picture, not
// two cards sheared into one and the third dropped.
TEST_F(PipelineTest, BookCropWithoutASpreadIsTheSingleCrop) {
  const cv::Mat cards = synthetic::DrawScene(kFrame, synthetic::ThreeCards(kFrame));
  ProcessingOptions options;
  options.autoCrop = 1;
  const auto single = RunPipeline(cards, kCameraDpi, options);
  options.autoCrop = 4;
  const auto book = RunPipeline(cards, kCameraDpi, options);
  ASSERT_EQ(single.size(), 1U);
  ASSERT_EQ(book.size(), 1U);
  ASSERT_EQ(book[0].image.size(), single[0].image.size());
  EXPECT_EQ(cv::norm(book[0].image, single[0].image, cv::NORM_INF), 0);
  EXPECT_NEAR(Aspect(book[0].image.size()), Aspect(synthetic::ThreeCards(kFrame)[2].size), 0.03);
}

// The watermark a user starts with, red at 70 % transparency, on both
// black-and-white modes: there, as black dots covering about 30 % of the
// text, and the file still only black and white.
TEST_F(PipelineTest, BlackAndWhiteModesCarryTheDefaultWatermark) {
  const cv::Mat paper(480, 640, CV_8UC3, synthetic::kPageColour);
  ProcessingOptions options;
  options.watermark.enable = true;
  options.watermark.text = "TAVRIN";
  options.watermark.position = 4;
  options.watermark.fontSize = 48;
  options.watermark.red = 255;
  options.watermark.transparencyPercent = 70;
  // In colour the mark's full coverage shows where the text is.
  const auto colour = RunPipeline(paper, 96, options);
  ASSERT_EQ(colour.size(), 1U);
  cv::Mat difference;
  cv::absdiff(colour[0].image, paper, difference);
  cv::cvtColor(difference, difference, cv::COLOR_BGR2GRAY);
  // Each fully covered pixel moves 30 % of the way from paper to red.
  const double fullStep =
      0.3 * (0.114 * synthetic::kPageColour[0] + 0.587 * synthetic::kPageColour[1] +
             0.299 * (255 - synthetic::kPageColour[2]));
  const double textArea = cv::sum(difference)[0] / fullStep;
  ASSERT_GT(textArea, 500);
  for (int mode : {kColorModeDocument, kColorModeOtsu}) {
    options.colorMode = mode;
    const auto bw = RunPipeline(paper, 96, options);
    ASSERT_EQ(bw.size(), 1U);
    EXPECT_TRUE(OnlyBlackAndWhite(bw[0].image)) << mode;
    const int black = static_cast<int>(bw[0].image.total()) - cv::countNonZero(bw[0].image);
    EXPECT_NEAR(black, 0.3 * textArea, 0.12 * textArea) << mode;
    // The dots are where the text is.
    const cv::Rect box = cv::boundingRect(bw[0].image == 0);
    EXPECT_NEAR(box.x + box.width / 2.0, 320, 20) << mode;
    EXPECT_NEAR(box.y + box.height / 2.0, 240, 20) << mode;
  }
}

}  // namespace
}  // namespace tavrin::lens
