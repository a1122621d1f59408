#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "lens/src/stages/geometry.h"

namespace tavrin::lens {
namespace {

// An image whose every pixel is distinct, so a wrong mapping shows.
cv::Mat Numbered(cv::Size size) {
  cv::Mat image(size, CV_8UC3);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      image.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(x), static_cast<uchar>(y), 7);
    }
  }
  return image;
}

bool Identical(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

TEST(CustomCropTest, PercentOfTheFrameIsKept) {
  const cv::Size frame(400, 300);
  EXPECT_EQ(CustomCropRect(frame, {10, 20, 60, 90}), cv::Rect(40, 60, 200, 210));
  // The preview's "frame on" default keeps everything, and so does "off".
  EXPECT_EQ(CustomCropRect(frame, {0, 0, 100, 100}), cv::Rect(0, 0, 400, 300));
  EXPECT_EQ(CustomCropRect(frame, {0, 0, 0, 0}), cv::Rect(0, 0, 400, 300));
}

TEST(CustomCropTest, OutOfRangeAndTinyFramesStayInsideTheImage) {
  const cv::Size frame(400, 300);
  EXPECT_EQ(CustomCropRect(frame, {-20, -5, 150, 300}), cv::Rect(0, 0, 400, 300));
  // Reversed is off, not an empty or negative rectangle.
  EXPECT_EQ(CustomCropRect(frame, {60, 60, 10, 10}), cv::Rect(0, 0, 400, 300));
  const cv::Rect edge = CustomCropRect(cv::Size(50, 50), {100, 100, 101, 101});
  EXPECT_FALSE(edge.empty());
  EXPECT_EQ(edge & cv::Rect(0, 0, 50, 50), edge);
}

TEST(ResampleTest, DpiScaleGrowsBy300Over197) {
  EXPECT_DOUBLE_EQ(DpiScale(197, 300), 300.0 / 197.0);
  EXPECT_DOUBLE_EQ(DpiScale(0, 300), 1.0);
  EXPECT_DOUBLE_EQ(DpiScale(197, 0), 1.0);
  const cv::Mat image = Numbered(cv::Size(197, 120));
  const cv::Mat grown = Resample(image, DpiScale(197, 300), DpiScale(197, 300));
  EXPECT_EQ(grown.size(), cv::Size(300, 183));  // 120 * 300 / 197 = 182.7
  const cv::Mat shrunk = Resample(image, 0.5, 0.25);
  EXPECT_EQ(shrunk.size(), cv::Size(99, 30));
}

TEST(ResampleTest, ShrinkingAveragesInsteadOfDroppingPixels) {
  // A one-pixel checkerboard halves to flat grey, not to one of its colours.
  cv::Mat board(64, 64, CV_8UC1);
  for (int y = 0; y < 64; ++y) {
    for (int x = 0; x < 64; ++x) board.at<uchar>(y, x) = ((x + y) % 2) ? 255 : 0;
  }
  const cv::Mat half = Resample(board, 0.5, 0.5);
  double low = 0;
  double high = 0;
  cv::minMaxLoc(half, &low, &high);
  EXPECT_GE(low, 120);
  EXPECT_LE(high, 135);
}

TEST(RotateTest, QuarterTurnsSwapSizesAndMoveCornersTheRightWay) {
  const cv::Mat image = Numbered(cv::Size(6, 4));
  const cv::Vec3b topLeft = image.at<cv::Vec3b>(0, 0);
  const cv::Mat left = Rotate(image, 1);
  ASSERT_EQ(left.size(), cv::Size(4, 6));
  // Counter-clockwise: the top-left corner goes to the bottom left.
  EXPECT_EQ(left.at<cv::Vec3b>(5, 0), topLeft);
  const cv::Mat right = Rotate(image, 3);
  ASSERT_EQ(right.size(), cv::Size(4, 6));
  EXPECT_EQ(right.at<cv::Vec3b>(0, 3), topLeft);
  const cv::Mat half = Rotate(image, 2);
  ASSERT_EQ(half.size(), cv::Size(6, 4));
  EXPECT_EQ(half.at<cv::Vec3b>(3, 5), topLeft);
  EXPECT_TRUE(Identical(Rotate(image, 0), image));
  EXPECT_TRUE(Identical(Rotate(image, 7), image));
  EXPECT_TRUE(SwapsAxes(1) && SwapsAxes(3) && !SwapsAxes(0) && !SwapsAxes(2));
}

TEST(RotateTest, TurnsComposeAsTheyShould) {
  const cv::Mat image = Numbered(cv::Size(9, 5));
  EXPECT_TRUE(Identical(Rotate(Rotate(image, 1), 3), image));
  EXPECT_TRUE(Identical(Rotate(Rotate(image, 2), 2), image));
  EXPECT_TRUE(Identical(Rotate(Rotate(image, 1), 1), Rotate(image, 2)));
  EXPECT_TRUE(Identical(Rotate(Rotate(Rotate(image, 3), 3), 3), Rotate(image, 1)));
}

// An 18 MP colour frame is turned in memory of its own kind (large pages):
// every pixel lands where a plain turn puts it, and a second turn back
// gives the frame again.
TEST(RotateTest, FullSizeFramesTurnWhole) {
  cv::Mat frame(3680, 4912, CV_8UC3);
  cv::randu(frame, 0, 256);
  const cv::Mat right = Rotate(frame, 3);
  cv::Mat expected;
  cv::rotate(frame, expected, cv::ROTATE_90_CLOCKWISE);
  EXPECT_TRUE(Identical(right, expected));
  EXPECT_TRUE(Identical(Rotate(right, 1), frame));
}

}  // namespace
}  // namespace tavrin::lens
