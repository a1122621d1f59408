#include <gtest/gtest.h>

#include <png.h>
#include <turbojpeg.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <QByteArray>
#include <QImage>

#include <opencv2/imgproc.hpp>

#include "lens/src/encode.h"
#include "tests/lens_stages/synthetic_scene.h"

namespace tavrin::lens {
namespace {

// A page as the camera gives it, large enough to be compressed in bands on
// a machine with several cores, with sizes that are no multiple of eight
// pixels or of a JPEG block row.
const cv::Mat& CameraPicture() {
  static const cv::Mat picture = [] {
    const cv::Size size(1803, 1205);
    return synthetic::DrawScene(size, {synthetic::DocumentPage(size, 4.0F)});
  }();
  return picture;
}

cv::Mat BlackAndWhite(const cv::Mat& colour) {
  cv::Mat grey;
  cv::Mat bw;
  cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
  cv::threshold(grey, bw, 128, 255, cv::THRESH_BINARY);
  return bw;
}

cv::Mat FromQImage(const QImage& decoded, int channels) {
  const QImage image =
      decoded.convertToFormat(channels == 3 ? QImage::Format_BGR888 : QImage::Format_Grayscale8);
  return cv::Mat(image.height(), image.width(), channels == 3 ? CV_8UC3 : CV_8UC1,
                 const_cast<uchar*>(image.constBits()), static_cast<size_t>(image.bytesPerLine()))
      .clone();
}

// What a client that reads PNG with libpng gets.
cv::Mat DecodeWithLibpng(const std::string& bytes, int channels) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return {};
  image.format = channels == 3 ? PNG_FORMAT_BGR : PNG_FORMAT_GRAY;
  cv::Mat pixels(static_cast<int>(image.height), static_cast<int>(image.width),
                 channels == 3 ? CV_8UC3 : CV_8UC1);
  if (!png_image_finish_read(&image, nullptr, pixels.data, static_cast<png_int_32>(pixels.step),
                             nullptr)) {
    return {};
  }
  return pixels;
}

bool SamePixels(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

TEST(Encode, PngAndBmpKeepEveryPixelAndTheDpi) {
  const cv::Mat colour = CameraPicture();
  cv::Mat grey;
  cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
  for (const cv::Mat& picture : {colour, grey, BlackAndWhite(colour)}) {
    for (ImageFormat format : {ImageFormat::kPng, ImageFormat::kBmp}) {
      std::string bytes;
      std::string error;
      ASSERT_TRUE(EncodeImage(picture, format, 300, 150, bytes, &error)) << error;
      const QImage decoded = QImage::fromData(QByteArray(bytes.data(), std::ssize(bytes)));
      ASSERT_FALSE(decoded.isNull());
      EXPECT_TRUE(SamePixels(FromQImage(decoded, picture.channels()), picture));
      EXPECT_NEAR(decoded.dotsPerMeterX() * 0.0254, 300, 0.5);
      EXPECT_NEAR(decoded.dotsPerMeterY() * 0.0254, 150, 0.5);
      if (format == ImageFormat::kPng) {
        EXPECT_TRUE(SamePixels(DecodeWithLibpng(bytes, picture.channels()), picture));
      } else {
        // A BMP file is written from the picture's rows: the same bytes.
        const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                           ("tavrin-encode-" + std::to_string(::getpid()) + ".bmp");
        ASSERT_TRUE(WriteImageFile(file.string(), picture, 300, 150, &error)) << error;
        std::ifstream in(file, std::ios::binary);
        const std::string written{std::istreambuf_iterator<char>(in), {}};
        std::filesystem::remove(file);
        EXPECT_TRUE(written == bytes) << picture.channels();
      }
    }
  }
}

cv::Mat DecodeJpeg(const std::string& bytes, int channels) {
  tjhandle handle = tjInitDecompress();
  int width = 0;
  int height = 0;
  int subsampling = 0;
  int colourspace = 0;
  auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  cv::Mat pixels;
  if (tjDecompressHeader3(handle, data, bytes.size(), &width, &height, &subsampling,
                          &colourspace) == 0) {
    pixels.create(height, width, channels == 3 ? CV_8UC3 : CV_8UC1);
    if (tjDecompress2(handle, data, bytes.size(), pixels.data, width, static_cast<int>(pixels.step),
                      height, channels == 3 ? TJPF_BGR : TJPF_GRAY, 0) != 0) {
      pixels.release();
    }
  }
  tjDestroy(handle);
  return pixels;
}

// A JPEG compressed in bands on several cores decodes to exactly what one
// plain compression at the same quality gives: the same coefficients, only
// with restart markers between the rows of blocks.
TEST(Encode, JpegInBandsDecodesLikeOnePlainCompression) {
  cv::Mat grey;
  cv::cvtColor(CameraPicture(), grey, cv::COLOR_BGR2GRAY);
  for (const cv::Mat& picture : {CameraPicture(), grey}) {
    const bool colour = picture.channels() == 3;
    std::string bytes;
    std::string error;
    ASSERT_TRUE(EncodeImage(picture, ImageFormat::kJpeg, 300, 200, bytes, &error)) << error;

    tjhandle handle = tjInitCompress();
    unsigned char* plain = nullptr;
    unsigned long plainSize = 0;
    ASSERT_EQ(tjCompress2(handle, picture.data, picture.cols, static_cast<int>(picture.step),
                          picture.rows, colour ? TJPF_BGR : TJPF_GRAY, &plain, &plainSize,
                          colour ? TJSAMP_420 : TJSAMP_GRAY, kJpegQuality, 0),
              0);
    const std::string reference(reinterpret_cast<const char*>(plain), plainSize);
    tjFree(plain);
    tjDestroy(handle);

    const cv::Mat decoded = DecodeJpeg(bytes, picture.channels());
    ASSERT_FALSE(decoded.empty());
    EXPECT_TRUE(SamePixels(decoded, DecodeJpeg(reference, picture.channels())));
    const QImage viaQt = QImage::fromData(QByteArray(bytes.data(), std::ssize(bytes)));
    EXPECT_EQ(viaQt.size(), QSize(picture.cols, picture.rows));
    EXPECT_NEAR(viaQt.dotsPerMeterX() * 0.0254, 300, 0.5);
    EXPECT_NEAR(viaQt.dotsPerMeterY() * 0.0254, 200, 0.5);
  }
}

TEST(Encode, BlackAndWhiteFilesHaveOneBitAPixel) {
  const cv::Mat bw = BlackAndWhite(CameraPicture());
  std::string grey;
  std::string bilevel;
  ASSERT_TRUE(EncodeImage(bw, ImageFormat::kBmp, 300, 300, bilevel));
  EXPECT_EQ(QImage::fromData(QByteArray(bilevel.data(), std::ssize(bilevel))).depth(), 1);
  // Eight times smaller than the same page kept as grey levels.
  cv::Mat almost = bw.clone();
  almost.at<uint8_t>(0, 0) = 128;
  ASSERT_TRUE(EncodeImage(almost, ImageFormat::kBmp, 300, 300, grey));
  EXPECT_LT(bilevel.size() * 7, grey.size());

  ASSERT_TRUE(EncodeImage(bw, ImageFormat::kPng, 300, 300, bilevel));
  EXPECT_EQ(static_cast<unsigned char>(bilevel[24]), 1);  // IHDR bit depth
  EXPECT_EQ(QImage::fromData(QByteArray(bilevel.data(), std::ssize(bilevel))).depth(), 1);
}

}  // namespace
}  // namespace tavrin::lens
