// Without a QGuiApplication (a client that only captures) there are no
// fonts: the watermark must be skipped, never crash, and the capture must
// still come out.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "lens/src/stages/pipeline.h"
#include "lens/src/stages/watermark.h"

namespace tavrin::lens {
namespace {

WatermarkOptions Enabled() {
  WatermarkOptions options;
  options.enable = true;
  options.text = "Tavrin";
  options.red = 255;
  return options;
}

TEST(HeadlessWatermarkTest, IsSkippedAndTheImageKept) {
  const cv::Mat blank(120, 160, CV_8UC3, cv::Scalar(255, 255, 255));
  cv::Mat image = blank.clone();
  EXPECT_EQ(DrawWatermark(image, Enabled(), 96, 96), WatermarkResult::kNoFonts);
  EXPECT_EQ(cv::norm(image, blank, cv::NORM_INF), 0);

  ProcessingOptions options;
  options.watermark = Enabled();
  const auto out = RunPipeline(blank, 96, options);
  ASSERT_EQ(out.size(), 1U);
  EXPECT_EQ(cv::norm(out[0].image, blank, cv::NORM_INF), 0);
}

}  // namespace
}  // namespace tavrin::lens

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QCoreApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
