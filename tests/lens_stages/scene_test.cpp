// The processing stages as the scan window gets them: captures of the
// virtual scenes through the built libTavrinLens.so and the real binding,
// decoded again from the files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>
#include <QColor>
#include <QImage>
#include <QString>

#include "camera/camera_library.h"

namespace {

namespace fs = std::filesystem;

constexpr int kDocument = 0;
constexpr int kPages = 1;
constexpr int kBook = 2;
constexpr int kWidth = 1600;
constexpr int kHeight = 1200;
// The paper of the virtual scenes, and a level between it and the desk.
const QColor kPaper(242, 240, 236);
constexpr int kDeskOrPaper = 150;

// The scenes' sheets, as they are drawn at 1600 x 1200.
constexpr double kDocumentAspect = 712.0 / 1008.0;
constexpr double kCardAspect = 480.0 / 360.0;

class SceneTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::setenv("TAVRIN_LENS_VIRTUAL",
             "document?sizes=1600x1200&dpi=197,pages?sizes=1600x1200,book?sizes=1600x1200", 1);
    ::unsetenv("TAVRIN_LENS_VIRTUAL_FILE");
    ::setenv("TAVRIN_LENS_V4L2", "0", 1);
  }

  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("tavrin-scene-test-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    ASSERT_TRUE(lens_.LoadFromFolder(TAVRIN_TEST_PROGRAM_DIR)) << lens_.LastError();
    ASSERT_EQ(lens_.camInitCameraLib(), 0);
    for (int dev : {kDocument, kPages, kBook})
      ASSERT_EQ(lens_.camOpenDev(dev, 0, kWidth, kHeight), 0);
  }

  void TearDown() override {
    lens_.camUnInitCameraLib();
    lens_.UnloadModule();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  std::string File(const std::string& name) const { return (folder_ / name).string(); }

  // Captures into a path buffer of the promised size; returns the files.
  std::vector<std::string> Capture(int dev, const std::string& name) {
    std::vector<char> buffer(kTavrinLensPathBuffer, '\0');
    const std::string path = File(name);
    path.copy(buffer.data(), path.size());
    if (lens_.camCaptureImageFile(dev, buffer.data()) != 0) return {};
    std::vector<std::string> files;
    std::string list(buffer.data());
    for (size_t start = 0;;) {
      const size_t end = list.find(';', start);
      files.push_back(list.substr(start, end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    return files;
  }

  QImage CaptureOne(int dev, const std::string& name) {
    const auto files = Capture(dev, name);
    if (files.size() != 1) return {};
    return QImage(QString::fromStdString(files[0]));
  }

  static double Aspect(const QImage& image) {
    return static_cast<double>(image.width()) / image.height();
  }

  // The darkest grey of the outermost rows and columns, outside a middle
  // band of gutterShare of the width (a book's spine reaches the edge).
  static int DarkestBorder(const QImage& image, double gutterShare = 0.0) {
    const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
    const int gutterFrom = static_cast<int>(grey.width() * (0.5 - gutterShare / 2));
    const int gutterTo = static_cast<int>(grey.width() * (0.5 + gutterShare / 2));
    int darkest = 255;
    const auto look = [&](int x, int y) {
      if (x >= gutterFrom && x < gutterTo && gutterShare > 0) return;
      darkest = std::min(darkest, static_cast<int>(grey.constScanLine(y)[x]));
    };
    for (int x = 0; x < grey.width(); ++x) {
      look(x, 0);
      look(x, grey.height() - 1);
    }
    for (int y = 0; y < grey.height(); ++y) {
      look(0, y);
      look(grey.width() - 1, y);
    }
    return darkest;
  }

  static bool NearPaper(QColor colour) {
    return std::abs(colour.red() - kPaper.red()) < 14 &&
           std::abs(colour.green() - kPaper.green()) < 14 &&
           std::abs(colour.blue() - kPaper.blue()) < 14;
  }

  tavrin::CameraLibrary lens_;
  fs::path folder_;
};

TEST_F(SceneTest, SingleCropOfTheDocumentKeepsThePageAlone) {
  ASSERT_EQ(lens_.camSetImageAutoCrop(kDocument, 1), 0);
  const QImage page = CaptureOne(kDocument, "single.png");
  ASSERT_FALSE(page.isNull());
  EXPECT_NEAR(Aspect(page), kDocumentAspect, 0.02 * kDocumentAspect);
  EXPECT_GT(DarkestBorder(page), kDeskOrPaper);
  // The whole page, not a corner of it: about its drawn size.
  EXPECT_NEAR(page.height(), 1008, 0.03 * 1008);
}

TEST_F(SceneTest, MultipleCropOfThePagesWritesOneFilePerCard) {
  ASSERT_EQ(lens_.camSetImageAutoCrop(kPages, 2), 0);
  const auto files = Capture(kPages, "cards.jpg");
  ASSERT_EQ(files.size(), 3U);
  EXPECT_EQ(files[0], File("cards.jpg"));
  EXPECT_EQ(files[1], File("cards_2.jpg"));
  EXPECT_EQ(files[2], File("cards_3.jpg"));
  for (const auto& file : files) {
    const QImage card(QString::fromStdString(file));
    ASSERT_FALSE(card.isNull()) << file;
    EXPECT_NEAR(Aspect(card), kCardAspect, 0.03 * kCardAspect) << file;
    EXPECT_NEAR(card.width(), 480, 0.04 * 480) << file;
    EXPECT_GT(DarkestBorder(card), kDeskOrPaper) << file;
  }
}

// How far the text lines of a page stray from straight: each vertical
// strip's rows of ink matched against the middle strip's; the largest
// shift, in pixels.
double TextLineCurvature(const QImage& page) {
  const QImage grey = page.convertToFormat(QImage::Format_Grayscale8);
  constexpr int kStrips = 8;
  const int top = grey.height() / 8;
  const int bottom = grey.height() * 7 / 8;
  const auto profile = [&](int strip) {
    const int x0 = grey.width() * (strip + 1) / (kStrips + 2);
    const int x1 = grey.width() * (strip + 2) / (kStrips + 2);
    std::vector<double> ink(static_cast<size_t>(grey.height()), 0.0);
    for (int y = 0; y < grey.height(); ++y) {
      for (int x = x0; x < x1; ++x) ink[static_cast<size_t>(y)] += 255 - grey.constScanLine(y)[x];
    }
    return ink;
  };
  const auto middle = profile(kStrips / 2);
  double worst = 0;
  for (int strip = 0; strip < kStrips; ++strip) {
    const auto ink = profile(strip);
    // The shift with the best match, to a fraction of a pixel.
    constexpr int kReach = 24;
    std::vector<double> match;
    for (int shift = -kReach; shift <= kReach; ++shift) {
      double sum = 0;
      for (int y = top; y < bottom; ++y) {
        sum += ink[static_cast<size_t>(y + shift)] * middle[static_cast<size_t>(y)];
      }
      match.push_back(sum);
    }
    const auto best = std::max_element(match.begin() + 1, match.end() - 1);
    const double l = *(best - 1);
    const double r = *(best + 1);
    const double curvature = l - 2 * *best + r;
    const double offset = curvature < 0 ? 0.5 * (l - r) / curvature : 0.0;
    worst = std::max(worst, std::abs(static_cast<double>(best - match.begin() - kReach) + offset));
  }
  return worst;
}

// The share of ink in a part of a page.
double InkShare(const QImage& page, const QRect& part) {
  const QImage grey = page.convertToFormat(QImage::Format_Grayscale8);
  int dark = 0;
  for (int y = part.top(); y <= part.bottom(); ++y) {
    for (int x = part.left(); x <= part.right(); ++x) dark += grey.constScanLine(y)[x] < 128;
  }
  return static_cast<double>(dark) / (part.width() * part.height());
}

TEST_F(SceneTest, BookCropGivesTwoFlatPagesInReadingOrder) {
  // The scene's pages are 672 x 941 pixels laid flat, curved up out of a
  // shaded spine; the camera's 97 DPI makes a millimetre 3.8 pixels.
  constexpr double kPageWidth = 672;
  constexpr double kPageAspect = 1 / 1.4;
  constexpr double kMillimetre = 1600 / 420.0;
  ASSERT_EQ(lens_.camSetImageAutoCrop(kBook, 4), 0);
  for (int colour : {0, 1}) {
    SCOPED_TRACE(colour == 0 ? "colour" : "black and white");
    ASSERT_EQ(lens_.camSetImageAdjust(kBook, colour), 0);
    const auto files = Capture(kBook, "book.png");
    ASSERT_EQ(files.size(), 2U);
    EXPECT_EQ(files[0], File("book.png"));
    EXPECT_EQ(files[1], File("book_2.png"));
    for (size_t side = 0; side < 2; ++side) {
      const QImage page(QString::fromStdString(files[side]));
      ASSERT_FALSE(page.isNull());
      EXPECT_NEAR(Aspect(page), kPageAspect, 0.02 * kPageAspect) << side;
      EXPECT_NEAR(page.width(), kPageWidth, 0.02 * kPageWidth) << side;
      EXPECT_GT(DarkestBorder(page), kDeskOrPaper) << side;
      EXPECT_LT(TextLineCurvature(page), kMillimetre) << side;
      // The number at the foot of the page sits on its outer side: left
      // on the left page, right on the right one.
      const int foot = page.height() * 93 / 100;
      const QRect leftFoot(0, foot, page.width() / 2, page.height() - foot);
      const QRect rightFoot(page.width() / 2, foot, page.width() - page.width() / 2,
                            page.height() - foot);
      const bool numberLeft = InkShare(page, leftFoot) > InkShare(page, rightFoot);
      EXPECT_EQ(numberLeft, side == 0) << side;
      // No shadow along the spine: the strip there is bare paper.
      const int strip = page.width() / 25;
      const QRect gutter(side == 0 ? page.width() - strip : 0, 0, strip, page.height());
      EXPECT_LT(InkShare(page, gutter), 0.01) << side;
    }
  }
  // A single flat page in book mode is cropped as the one page.
  ASSERT_EQ(lens_.camSetImageAutoCrop(kDocument, 4), 0);
  const QImage single = CaptureOne(kDocument, "single-book.png");
  ASSERT_FALSE(single.isNull());
  EXPECT_NEAR(Aspect(single), kDocumentAspect, 0.02 * kDocumentAspect);
}

TEST_F(SceneTest, EdgeRestorePaintsTheCornersInThePageColour) {
  ASSERT_EQ(lens_.camSetImageAutoCrop(kDocument, 3), 0);
  // The paper as the camera saw it, which the evened-out light would whiten.
  ASSERT_EQ(lens_.camSetImageEvenLight(kDocument, 0), 0);
  const QImage page = CaptureOne(kDocument, "restored.png");
  ASSERT_FALSE(page.isNull());
  for (const QPoint corner :
       {QPoint(0, 0), QPoint(page.width() - 1, 0), QPoint(page.width() - 1, page.height() - 1),
        QPoint(0, page.height() - 1)}) {
    EXPECT_TRUE(NearPaper(page.pixelColor(corner))) << corner.x() << "," << corner.y();
  }
}

TEST_F(SceneTest, NoPageFoundKeepsTheWholeFrame) {
  // The left strip of the document scene is desk only.
  ASSERT_EQ(lens_.camSetImageCusCropRect(kDocument, 0, 0, 12, 100), 0);
  ASSERT_EQ(lens_.camSetImageAutoCrop(kDocument, 1), 0);
  const QImage strip = CaptureOne(kDocument, "desk.png");
  EXPECT_EQ(strip.size(), QSize(192, 1200));
  ASSERT_EQ(lens_.camSetImageCusCropRect(kDocument, 0, 0, 0, 0), 0);
  ASSERT_EQ(lens_.camSetImageAutoCrop(kDocument, 0), 0);
  EXPECT_EQ(CaptureOne(kDocument, "frame.png").size(), QSize(kWidth, kHeight));
}

TEST_F(SceneTest, Dpi300FromA197DpiCameraGrowsTheImageAndSaysSo) {
  ASSERT_EQ(lens_.camSetImageDPI(kDocument, 300, 300), 0);
  for (const char* name : {"dpi.jpg", "dpi.png", "dpi.bmp"}) {
    const QImage image = CaptureOne(kDocument, name);
    ASSERT_FALSE(image.isNull()) << name;
    EXPECT_EQ(image.size(), QSize(2437, 1827)) << name;  // 1600 and 1200 times 300 / 197
    EXPECT_NEAR(image.dotsPerMeterX() * 0.0254, 300, 0.5) << name;
    EXPECT_NEAR(image.dotsPerMeterY() * 0.0254, 300, 0.5) << name;
  }
}

TEST_F(SceneTest, GreyAndBlackAndWhiteFiles) {
  ASSERT_EQ(lens_.camSetImageAutoCrop(kDocument, 1), 0);
  ASSERT_EQ(lens_.camSetImageAdjust(kDocument, 3), 0);
  const QImage grey = CaptureOne(kDocument, "grey.png");
  ASSERT_FALSE(grey.isNull());
  EXPECT_TRUE(grey.isGrayscale());
  EXPECT_EQ(grey.depth(), 8);
  for (int mode : {1, 4}) {
    ASSERT_EQ(lens_.camSetImageAdjust(kDocument, mode), 0);
    const QImage bw = CaptureOne(kDocument, "bw" + std::to_string(mode) + ".png")
                          .convertToFormat(QImage::Format_Grayscale8);
    ASSERT_FALSE(bw.isNull());
    long black = 0;
    long other = 0;
    for (int y = 0; y < bw.height(); ++y) {
      for (int x = 0; x < bw.width(); ++x) {
        const int value = bw.constScanLine(y)[x];
        black += value == 0;
        other += value != 0 && value != 255;
      }
    }
    EXPECT_EQ(other, 0) << mode;
    // Text, and far from all black.
    const double ink = static_cast<double>(black) / (bw.width() * bw.height());
    EXPECT_GT(ink, 0.02) << mode;
    EXPECT_LT(ink, 0.3) << mode;
  }
}

TEST_F(SceneTest, TheFourRotationsSwapTheSizes) {
  const QSize sizes[] = {
      {kWidth, kHeight}, {kHeight, kWidth}, {kWidth, kHeight}, {kHeight, kWidth}};
  for (int rotate = 0; rotate < 4; ++rotate) {
    ASSERT_EQ(lens_.camSetImageRotateMode(kDocument, rotate), 0);
    EXPECT_EQ(CaptureOne(kDocument, "turn" + std::to_string(rotate) + ".png").size(), sizes[rotate])
        << rotate;
  }
}

TEST_F(SceneTest, WatermarkLandsInItsCellAfterRotation) {
  ASSERT_EQ(lens_.camSetImageRotateMode(kDocument, 1), 0);
  ASSERT_EQ(lens_.camSetImageWaterMark(kDocument, "Tavrin 水印", 2, 24, "Arial", 0, 0, 1, 0.0F,
                                       0.0F, 0, 0, 255, 1),
            0);
  const QImage image = CaptureOne(kDocument, "mark.png");
  ASSERT_EQ(image.size(), QSize(kHeight, kWidth));
  const auto blueIn = [&](int cell) {
    const int w = image.width() / 3;
    const int h = image.height() / 3;
    int count = 0;
    for (int y = (cell / 3) * h; y < (cell / 3 + 1) * h; ++y) {
      for (int x = (cell % 3) * w; x < (cell % 3 + 1) * w; ++x) {
        count += image.pixel(x, y) == qRgb(0, 0, 255);
      }
    }
    return count;
  };
  EXPECT_GT(blueIn(2), 100);  // top right of the turned picture
  EXPECT_EQ(blueIn(6), 0);
  // Switched off, the next capture has none.
  ASSERT_EQ(lens_.camSetImageWaterMark(kDocument, "", 2, 24, "", 0, 0, 1, 0.0F, 0.0F, 0, 0, 255, 0),
            0);
  const QImage plain = CaptureOne(kDocument, "plain.png");
  int blue = 0;
  for (int y = 0; y < plain.height(); ++y) {
    for (int x = 0; x < plain.width(); ++x) blue += plain.pixel(x, y) == qRgb(0, 0, 255);
  }
  EXPECT_EQ(blue, 0);
}

TEST_F(SceneTest, CombineCapturesInsideBelowAndBeside) {
  ASSERT_EQ(lens_.camSetImageAutoCrop(kPages, 0), 0);
  const auto main = Capture(kDocument, "main.jpg");
  const auto second = Capture(kPages, "second.png");
  ASSERT_EQ(main.size(), 1U);
  ASSERT_EQ(second.size(), 1U);
  const std::string inside = File("inside.jpg");
  ASSERT_EQ(lens_.camCombineImage(main[0].c_str(), second[0].c_str(), inside.c_str(), 0, 1066, 0,
                                  533, 400),
            0);
  EXPECT_EQ(QImage(QString::fromStdString(inside)).size(), QSize(kWidth, kHeight));
  const std::string beside = File("beside.png");
  ASSERT_EQ(
      lens_.camCombineImage(main[0].c_str(), second[0].c_str(), beside.c_str(), 4, 0, 0, 0, 0), 0);
  EXPECT_EQ(QImage(QString::fromStdString(beside)).size(), QSize(2 * kWidth, kHeight));
  const std::string below = File("below.bmp");
  ASSERT_EQ(lens_.camCombineImage(main[0].c_str(), second[0].c_str(), below.c_str(), 7, 0, 0, 0, 0),
            0);
  EXPECT_EQ(QImage(QString::fromStdString(below)).size(), QSize(kWidth, 2 * kHeight));

  const std::string never = File("never.jpg");
  EXPECT_NE(lens_.camCombineImage(File("missing.jpg").c_str(), second[0].c_str(), never.c_str(), 4,
                                  0, 0, 0, 0),
            0);
  EXPECT_NE(lens_.camCombineImage(main[0].c_str(), main[0].c_str(), never.c_str(), 12, 0, 0, 0, 0),
            0);
  EXPECT_FALSE(fs::exists(never));
}

}  // namespace
