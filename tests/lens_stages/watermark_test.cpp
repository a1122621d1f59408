#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QString>
#include <opencv2/imgproc.hpp>

#include <limits>

#include "lens/src/stages/watermark.h"

namespace tavrin::lens {
namespace {

const cv::Scalar kWhite(255, 255, 255);

WatermarkOptions RedText(const std::string& text, int points) {
  WatermarkOptions options;
  options.enable = true;
  options.text = text;
  options.fontSize = points;
  options.fontName = "Arial";
  options.red = 255;
  return options;
}

// Pixels the watermark changed.
cv::Mat Ink(const cv::Mat& image, const cv::Scalar& background = kWhite) {
  cv::Mat difference;
  cv::absdiff(image, background, difference);
  if (difference.channels() == 3) cv::cvtColor(difference, difference, cv::COLOR_BGR2GRAY);
  return difference > 0;
}

cv::Rect Cell(cv::Size size, int position) {
  const int w = size.width / 3;
  const int h = size.height / 3;
  return {(position % 3) * w, (position / 3) * h, w, h};
}

int PureRed(const cv::Mat& image) {
  cv::Mat red;
  cv::inRange(image, cv::Scalar(0, 0, 255), cv::Scalar(0, 0, 255), red);
  return cv::countNonZero(red);
}

TEST(WatermarkTest, EachOfTheNinePlacesPutsTheTextInItsCell) {
  const cv::Size size(720, 540);
  for (int position = 0; position < 9; ++position) {
    cv::Mat image(size, CV_8UC3, kWhite);
    WatermarkOptions options = RedText("Tavrin 2024", 12);
    options.position = position;
    ASSERT_EQ(DrawWatermark(image, options, 150, 150), WatermarkResult::kDrawn);
    const cv::Mat ink = Ink(image);
    const cv::Rect cell = Cell(size, position);
    EXPECT_GT(PureRed(image(cell)), 50) << position;
    // Nothing outside its cell, so nothing in the opposite one.
    EXPECT_EQ(cv::countNonZero(ink), cv::countNonZero(ink(cell))) << position;
    EXPECT_EQ(cv::countNonZero(ink(Cell(size, 8 - position))),
              position == 4 ? cv::countNonZero(ink) : 0);
  }
}

TEST(WatermarkTest, TransparencyBlendsFromPureColourToNothing) {
  const cv::Mat blank(300, 400, CV_8UC3, kWhite);
  cv::Mat opaque = blank.clone();
  WatermarkOptions options = RedText("WATERMARK", 20);
  options.transparencyPercent = 0;
  DrawWatermark(opaque, options, 96, 96);
  EXPECT_GT(PureRed(opaque), 500);

  cv::Mat half = blank.clone();
  options.transparencyPercent = 50;
  DrawWatermark(half, options, 96, 96);
  EXPECT_EQ(PureRed(half), 0);
  double lowestGreen = 0;
  std::vector<cv::Mat> channels;
  cv::split(half, channels);
  cv::minMaxLoc(channels[1], &lowestGreen);
  EXPECT_NEAR(lowestGreen, 128, 3);  // full coverage at half opacity
  EXPECT_EQ(cv::countNonZero(channels[2] != 255), 0);

  cv::Mat invisible = blank.clone();
  options.transparencyPercent = 100;
  EXPECT_EQ(DrawWatermark(invisible, options, 96, 96), WatermarkResult::kNothingToDraw);
  EXPECT_EQ(cv::norm(invisible, blank, cv::NORM_INF), 0);
}

TEST(WatermarkTest, SwitchedOffOrEmptyDrawsNothing) {
  const cv::Mat blank(100, 100, CV_8UC3, kWhite);
  cv::Mat image = blank.clone();
  WatermarkOptions options = RedText("x", 20);
  options.enable = false;
  EXPECT_EQ(DrawWatermark(image, options, 96, 96), WatermarkResult::kNothingToDraw);
  options = RedText("", 20);
  EXPECT_EQ(DrawWatermark(image, options, 96, 96), WatermarkResult::kNothingToDraw);
  EXPECT_EQ(cv::norm(image, blank, cv::NORM_INF), 0);
}

TEST(WatermarkTest, PointsAreMeasuredOnPaperAtTheImagesDpi) {
  // 36 pt is half an inch: the capital H of a sans face is about 0.72 of
  // that, 108 pixels at 300 DPI and 54 at 150.
  for (int dpi : {150, 300}) {
    cv::Mat image(500, 700, CV_8UC3, kWhite);
    DrawWatermark(image, RedText("H", 36), dpi, dpi);
    const cv::Rect box = cv::boundingRect(Ink(image));
    EXPECT_NEAR(box.height, 0.72 * 36 / 72 * dpi, 0.05 * dpi / 2) << dpi;
  }
}

TEST(WatermarkTest, AngleTurnsCounterClockwise) {
  cv::Mat image(500, 500, CV_8UC3, kWhite);
  WatermarkOptions options = RedText("TAVRIN WATERMARK", 16);
  options.angleDegrees = 30;
  DrawWatermark(image, options, 96, 96);
  const cv::Mat ink = Ink(image);
  const cv::Rect box = cv::boundingRect(ink);
  const cv::Moments left =
      cv::moments(ink(cv::Rect(box.x, box.y, box.width / 3, box.height)), true);
  const cv::Moments right =
      cv::moments(ink(cv::Rect(box.x + box.width * 2 / 3, box.y, box.width / 3, box.height)), true);
  // The end of the text is higher up than its start.
  EXPECT_LT(right.m01 / right.m00, left.m01 / left.m00 - 0.2 * box.height);

  cv::Mat upright(500, 500, CV_8UC3, kWhite);
  options.angleDegrees = 90;
  DrawWatermark(upright, options, 96, 96);
  const cv::Rect turned = cv::boundingRect(Ink(upright));
  EXPECT_GT(turned.height, 3 * turned.width);
}

TEST(WatermarkTest, BoldAndUnderlineChangeTheStrokes) {
  const auto inkOf = [](const WatermarkOptions& options) {
    cv::Mat image(200, 600, CV_8UC3, kWhite);
    DrawWatermark(image, options, 96, 96);
    return Ink(image);
  };
  const WatermarkOptions plain = RedText("Watermark", 24);
  WatermarkOptions bold = plain;
  bold.bold = true;
  WatermarkOptions underline = plain;
  underline.underline = true;
  const cv::Mat plainInk = inkOf(plain);
  EXPECT_GT(cv::countNonZero(inkOf(bold)), 1.2 * cv::countNonZero(plainInk));
  // The underline is a row of ink under the whole text.
  const cv::Mat underlined = inkOf(underline);
  const cv::Rect box = cv::boundingRect(underlined);
  cv::Mat rowCounts;
  cv::reduce(underlined(box) / 255, rowCounts, 1, cv::REDUCE_SUM, CV_32S);
  double longestRow = 0;
  cv::minMaxLoc(rowCounts, nullptr, &longestRow);
  EXPECT_GT(longestRow, 0.9 * box.width);
}

TEST(WatermarkTest, MissingFontsFallBackAndCjkRenders) {
  const std::string fallback = ResolveFontFamily("No Such Family 4711");
  EXPECT_NE(fallback, "No Such Family 4711");
  EXPECT_TRUE(QFontDatabase::hasFamily(QString::fromStdString(fallback)));
  EXPECT_EQ(ResolveFontFamily("Liberation Sans"), "Liberation Sans");

  // Different characters give different pictures: a missing glyph would be
  // the same empty box for each.
  const auto render = [](const std::string& text) {
    cv::Mat image(200, 400, CV_8UC3, kWhite);
    WatermarkOptions options = RedText(text, 28);
    options.fontName = "No Such Family 4711";
    DrawWatermark(image, options, 96, 96);
    return image;
  };
  const cv::Mat first = render("水印");
  const cv::Mat second = render("测试");
  EXPECT_GT(PureRed(first), 200);
  EXPECT_GT(PureRed(second), 200);
  EXPECT_GT(cv::countNonZero(Ink(first) != Ink(second)), 200);
}

TEST(WatermarkTest, GreyImagesStayGreyAndBigTextShrinksToFit) {
  cv::Mat grey(120, 200, CV_8UC1, cv::Scalar(255));
  WatermarkOptions options = RedText("A very long watermark text", 72);
  ASSERT_EQ(DrawWatermark(grey, options, 300, 300), WatermarkResult::kDrawn);
  EXPECT_EQ(grey.type(), CV_8UC1);
  double darkest = 255;
  cv::minMaxLoc(grey, &darkest);
  EXPECT_NEAR(darkest, 76, 2);  // the luminance of pure red
  // The whole text is on the picture, clear of its edges.
  const cv::Rect box = cv::boundingRect(grey < 255);
  EXPECT_GT(box.x, 0);
  EXPECT_LT(box.x + box.width, grey.cols);
  EXPECT_GT(box.width, grey.cols / 2);
}

// However large the size asked for, the text is measured small and drawn
// once at the size the picture holds: 5000 points used to mean a raster of
// gigabytes, and sizes beyond int shrank to nothing.
TEST(WatermarkTest, SizesFarBeyondThePictureFillItAndStayWhole) {
  for (const int points : {1000, 5000, std::numeric_limits<int>::max()}) {
    cv::Mat image(480, 640, CV_8UC3, kWhite);
    ASSERT_EQ(DrawWatermark(image, RedText("TAVRIN", points), 96, 96), WatermarkResult::kDrawn)
        << points;
    const cv::Rect box = cv::boundingRect(Ink(image));
    EXPECT_GT(box.width, image.cols * 8 / 10) << points;
    EXPECT_GT(box.x, 0) << points;
    EXPECT_LT(box.x + box.width, image.cols) << points;
  }
}

}  // namespace
}  // namespace tavrin::lens
