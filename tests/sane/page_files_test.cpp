#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include "datasource/sane/page_image.h"
#include "lens/src/encode.h"

namespace tavrin::sane {
namespace {

// The black-and-white pages the camera library writes with one bit a pixel
// reach the frontend with every pixel in place, as grey and as line art.
TEST(PageFiles, OneBitFilesOfTheCameraLibraryDecodeWhole) {
  cv::Mat page(37, 21, CV_8UC1, cv::Scalar(255));
  for (int y = 0; y < page.rows; ++y) {
    for (int x = 0; x < page.cols; ++x) {
      if ((x * 7 + y * 3) % 5 == 0) page.at<uint8_t>(y, x) = 0;
    }
  }
  for (lens::ImageFormat format : {lens::ImageFormat::kBmp, lens::ImageFormat::kPng}) {
    std::string bytes;
    ASSERT_TRUE(lens::EncodeImage(page, format, 200, 200, bytes));
    Page grey;
    std::string error;
    ASSERT_TRUE(DecodePage(bytes, PixelKind::kGray, grey, error)) << error;
    ASSERT_EQ(grey.widthPx, page.cols);
    ASSERT_EQ(grey.heightPx, page.rows);
    EXPECT_EQ(grey.dpiX, 200);
    const cv::Mat decoded(grey.heightPx, grey.widthPx, CV_8UC1, grey.data.data(),
                          static_cast<size_t>(grey.bytesPerLine));
    EXPECT_EQ(cv::norm(decoded, page, cv::NORM_INF), 0) << static_cast<int>(format);
  }
}

}  // namespace
}  // namespace tavrin::sane
