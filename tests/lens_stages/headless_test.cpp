// Without a QGuiApplication (a host program that only captures: a script, a
// service) Qt has no fonts; the watermark is drawn by FreeType instead, and
// when no font at all can be had the capture fails rather than come out
// without the mark it was asked to carry.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <QCoreApplication>
#include <opencv2/imgproc.hpp>

#include "lens/src/stages/pipeline.h"
#include "lens/src/stages/watermark.h"

namespace tavrin::lens {
namespace {

WatermarkOptions Enabled() {
  WatermarkOptions options;
  options.enable = true;
  options.text = "Tavrin";
  options.fontSize = 36;
  options.position = 4;  // the middle
  options.red = 255;
  return options;
}

cv::Mat ToGreyMask(const cv::Mat& image) {
  cv::Mat grey;
  cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
  return grey < 255;
}

int PureRed(const cv::Mat& image) {
  cv::Mat red;
  cv::inRange(image, cv::Scalar(0, 0, 255), cv::Scalar(0, 0, 255), red);
  return cv::countNonZero(red);
}

TEST(HeadlessWatermarkTest, IsDrawnWithoutAGuiAtItsSizeAndPlace) {
  const cv::Mat blank(300, 400, CV_8UC3, cv::Scalar(255, 255, 255));
  cv::Mat image = blank.clone();
  ASSERT_EQ(DrawWatermark(image, Enabled(), 96, 96), WatermarkResult::kDrawn);
  // 36 pt at 96 DPI: capitals about 0.72 of 48 pixels, in the middle cell.
  const cv::Rect box = cv::boundingRect(ToGreyMask(image));
  EXPECT_NEAR(box.y + box.height / 2.0, 150, 12);
  EXPECT_NEAR(box.x + box.width / 2.0, 200, 12);
  EXPECT_NEAR(box.height, 0.72 * 48, 8);
  EXPECT_GT(PureRed(image), 300);

  ProcessingOptions options;
  options.watermark = Enabled();
  const auto out = RunPipeline(blank, 96, options);
  ASSERT_EQ(out.size(), 1U);
  EXPECT_GT(PureRed(out[0].image), 300);
}

// fontconfig reads its configuration once per process: the case runs in a
// fresh one, pointed at a configuration without a single font folder.
TEST(HeadlessWatermarkTest, WithoutAnyFontTheCaptureFails) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::filesystem::path config =
      std::filesystem::temp_directory_path() / "tavrin-no-fonts.conf";
  {
    std::ofstream file(config);
    file << "<?xml version=\"1.0\"?>\n<fontconfig></fontconfig>\n";
  }
  EXPECT_EXIT(
      {
        setenv("FONTCONFIG_FILE", config.c_str(), 1);
        setenv("FONTCONFIG_PATH", config.parent_path().c_str(), 1);
        const cv::Mat blank(120, 160, CV_8UC3, cv::Scalar(255, 255, 255));
        cv::Mat image = blank.clone();
        const bool untouched =
            DrawWatermark(image, Enabled(), 96, 96) == WatermarkResult::kNoFonts &&
            cv::norm(image, blank, cv::NORM_INF) == 0;
        ProcessingOptions options;
        options.watermark = Enabled();
        PipelineFailure failure = PipelineFailure::kNone;
        const bool failed = RunPipeline(blank, 96, options, &failure).empty() &&
                            failure == PipelineFailure::kWatermarkNoFonts;
        // Without a watermark the same capture still comes out.
        options.watermark.enable = false;
        const bool plain = RunPipeline(blank, 96, options).size() == 1;
        std::fprintf(stderr, "untouched %d failed %d plain %d\n", untouched, failed, plain);
        std::exit(untouched && failed && plain ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "untouched 1 failed 1 plain 1");
  std::filesystem::remove(config);
}

}  // namespace
}  // namespace tavrin::lens

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QCoreApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
