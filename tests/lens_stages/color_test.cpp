#include <gtest/gtest.h>

#include <cmath>

#include <opencv2/imgproc.hpp>

#include "lens/src/stages/color.h"
#include "tests/lens_stages/synthetic_scene.h"

namespace tavrin::lens {
namespace {

using synthetic::DrawnPage;

bool OnlyBlackAndWhite(const cv::Mat& image) {
  if (image.type() != CV_8UC1) return false;
  const int black = static_cast<int>(image.total()) - cv::countNonZero(image);
  return black + cv::countNonZero(image == 255) == static_cast<int>(image.total());
}

// A page filling the frame, with text, lit from the left so that its right
// side is much darker: what a desk lamp does.
struct LitPage {
  cv::Mat image;
  cv::Mat inkMask;  // where the text is, from the same drawing without light
};

LitPage MakeLitPage() {
  const cv::Size size(480, 360);
  DrawnPage page;
  page.centre = {240, 180};
  page.size = {520, 400};  // larger than the frame: no desk
  LitPage lit;
  lit.image = synthetic::DrawScene(size, {page});
  cv::Mat grey;
  cv::cvtColor(lit.image, grey, cv::COLOR_BGR2GRAY);
  lit.inkMask = grey < 100;
  synthetic::ApplyUnevenLight(lit.image, 0.45);
  return lit;
}

TEST(ColorModeTest, GreyIsOneChannelOfTheLuminance) {
  const cv::Mat image(20, 30, CV_8UC3, cv::Scalar(10, 120, 250));
  const cv::Mat grey = ApplyColorMode(image, kColorModeGrey);
  ASSERT_EQ(grey.type(), CV_8UC1);
  ASSERT_EQ(grey.size(), image.size());
  // 0.114 B + 0.587 G + 0.299 R
  EXPECT_NEAR(grey.at<uchar>(5, 5), 0.114 * 10 + 0.587 * 120 + 0.299 * 250, 1.0);
}

TEST(ColorModeTest, UnknownModesAreColour) {
  const cv::Mat image(8, 8, CV_8UC3, cv::Scalar(1, 2, 3));
  for (int mode : {0, 2, 5, -1, 99}) {
    const cv::Mat out = ApplyColorMode(image, mode);
    EXPECT_EQ(out.type(), CV_8UC3) << mode;
    EXPECT_EQ(cv::norm(out, image, cv::NORM_INF), 0) << mode;
    EXPECT_EQ(NormalizeColorMode(mode), kColorModeColor) << mode;
  }
}

TEST(ColorModeTest, BothBlackAndWhiteModesHoldOnly0And255) {
  const LitPage lit = MakeLitPage();
  for (int mode : {kColorModeDocument, kColorModeOtsu}) {
    const cv::Mat out = ApplyColorMode(lit.image, mode);
    EXPECT_EQ(out.size(), lit.image.size());
    EXPECT_TRUE(OnlyBlackAndWhite(out)) << mode;
  }
}

TEST(ColorModeTest, DocumentModeKeepsTextAndPaperUnderUnevenLight) {
  const LitPage lit = MakeLitPage();
  const cv::Mat out = ApplyColorMode(lit.image, kColorModeDocument);
  // Paper well away from the text stays white on the dark side too.
  cv::Mat nearInk;
  cv::dilate(lit.inkMask, nearInk, cv::Mat(), cv::Point(-1, -1), 6);
  const cv::Mat paper = ~nearInk;
  const cv::Mat darkSide = cv::Mat::zeros(out.size(), CV_8UC1);
  darkSide(cv::Rect(out.cols * 3 / 4, 0, out.cols / 4, out.rows)).setTo(255);
  const double paperWhite = cv::mean(out, paper)[0] / 255.0;
  const double darkPaperWhite = cv::mean(out, paper & darkSide)[0] / 255.0;
  const double inkBlack = 1.0 - cv::mean(out, lit.inkMask)[0] / 255.0;
  EXPECT_GT(paperWhite, 0.98);
  EXPECT_GT(darkPaperWhite, 0.98);
  EXPECT_GT(inkBlack, 0.8);
}

TEST(ColorModeTest, DocumentModeKeepsBoldBlocksSolid) {
  // A heading bar far thicker than text strokes, on paper in a shadow.
  cv::Mat image(300, 400, CV_8UC3, synthetic::kPageColour);
  const cv::Rect heading(60, 80, 280, 30);
  image(heading).setTo(synthetic::kInkColour);
  synthetic::ApplyUnevenLight(image, 0.5);
  const cv::Mat out = ApplyColorMode(image, kColorModeDocument);
  const cv::Rect inside(heading.x + 4, heading.y + 4, heading.width - 8, heading.height - 8);
  EXPECT_EQ(cv::countNonZero(out(inside)), 0);
  cv::Mat paper = cv::Mat::ones(out.size(), CV_8UC1) * 255;
  paper(cv::Rect(heading.x - 4, heading.y - 4, heading.width + 8, heading.height + 8)).setTo(0);
  EXPECT_EQ(cv::countNonZero(out & paper), cv::countNonZero(paper));
}

TEST(ColorModeTest, DocumentModeLeavesBlankPaperWhite) {
  cv::Mat paper(240, 320, CV_8UC3);
  cv::RNG rng(11);
  rng.fill(paper, cv::RNG::NORMAL, synthetic::kPageColour, cv::Scalar::all(4));
  synthetic::ApplyUnevenLight(paper, 0.6);
  EXPECT_EQ(cv::countNonZero(ApplyColorMode(paper, kColorModeDocument)),
            static_cast<int>(paper.total()));
}

// Dim light with a soft shadow falling across the page (a hand, the
// camera's arm): the blank band the shadow crosses stays white, thin grey
// strokes in and out of the shadow stay ink, and words do not swell into
// blobs.
TEST(ColorModeTest, DocumentModeTakesShadowsForPaperNotInk) {
  const cv::Size size(640, 480);
  cv::Mat page(size, CV_8UC3, synthetic::kPageColour);
  const char* const words[] = {"thin grey strokes keep", "their shape in shadow",
                               "and out of it as well"};
  for (int line = 0; line < 3; ++line) {
    for (int half = 0; half < 2; ++half) {
      const int y = 50 + line * 40 + half * 280;
      cv::putText(page, words[line], cv::Point(30, y), cv::FONT_HERSHEY_SIMPLEX, 0.9,
                  cv::Scalar(95, 95, 95), 1, cv::LINE_AA);
    }
  }
  cv::Mat grey;
  cv::cvtColor(page, grey, cv::COLOR_BGR2GRAY);
  const cv::Mat ink = grey < 190;
  // The shadow: a diagonal edge with a soft penumbra, to 45 % of the light,
  // over a lamp that is dim to begin with.
  cv::Mat lit;
  page.convertTo(lit, CV_32FC3);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      const double across = (x - 0.6 * y - 250) / 25.0;  // penumbra about 50 px wide
      const double shade = 0.45 + 0.55 / (1 + std::exp(-across));
      lit.at<cv::Vec3f>(y, x) *= 0.7 * shade;
    }
  }
  cv::Mat image;
  lit.convertTo(image, CV_8UC3);
  cv::Mat noise(size, CV_16SC3);
  cv::RNG(5).fill(noise, cv::RNG::NORMAL, 0, 3);
  cv::Mat noisy;
  image.convertTo(noisy, CV_16SC3);
  noisy += noise;
  noisy.convertTo(image, CV_8UC3);

  const cv::Mat out = ApplyColorMode(image, kColorModeDocument);
  ASSERT_TRUE(OnlyBlackAndWhite(out));
  cv::Mat nearInk;
  cv::dilate(ink, nearInk, cv::Mat(), cv::Point(-1, -1), 4);
  const cv::Mat band = cv::Mat::zeros(size, CV_8UC1);
  band(cv::Rect(0, 160, size.width, 140)).setTo(255);
  const double bandWhite = cv::mean(out, band)[0] / 255.0;
  const double paperWhite = cv::mean(out, ~nearInk)[0] / 255.0;
  const double strokesKept = 1.0 - cv::mean(out, ink)[0] / 255.0;
  const int black = static_cast<int>(out.total()) - cv::countNonZero(out);
  EXPECT_GT(bandWhite, 0.998);
  EXPECT_GT(paperWhite, 0.995);
  EXPECT_GT(strokesKept, 0.75);
  EXPECT_LT(black, 1.5 * cv::countNonZero(ink));
}

TEST(ColorModeTest, OtsuSplitsTwoLevelsAtTheGapBetweenThem) {
  cv::Mat image(40, 40, CV_8UC3, cv::Scalar(60, 60, 60));
  image(cv::Rect(0, 0, 40, 15)).setTo(cv::Scalar(200, 200, 200));
  const cv::Mat out = ApplyColorMode(image, kColorModeOtsu);
  EXPECT_EQ(cv::countNonZero(out), 40 * 15);
  EXPECT_EQ(out.at<uchar>(0, 0), 255);
  EXPECT_EQ(out.at<uchar>(39, 39), 0);
}

TEST(ColorModeTest, GreyInputIsAccepted) {
  const cv::Mat grey(10, 10, CV_8UC1, cv::Scalar(90));
  EXPECT_EQ(ApplyColorMode(grey, kColorModeColor).type(), CV_8UC1);
  EXPECT_EQ(ApplyColorMode(grey, kColorModeGrey).at<uchar>(3, 3), 90);
  EXPECT_TRUE(OnlyBlackAndWhite(ApplyColorMode(grey, kColorModeDocument)));
}

}  // namespace
}  // namespace tavrin::lens
