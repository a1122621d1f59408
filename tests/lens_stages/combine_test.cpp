#include <gtest/gtest.h>

#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QTemporaryDir>

#include "lens/src/stages/combine.h"

namespace tavrin::lens {
namespace {

constexpr int kDotsPerMeterAt200Dpi = 7874;

class CombineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    QImage first(300, 200, QImage::Format_RGB32);
    first.fill(QColor(0, 0, 255));
    first.setDotsPerMeterX(kDotsPerMeterAt200Dpi);
    first.setDotsPerMeterY(kDotsPerMeterAt200Dpi);
    ASSERT_TRUE(first.save(Path("first.png")));
    QImage second(160, 120, QImage::Format_RGB32);  // 4:3
    second.fill(QColor(0, 255, 0));
    ASSERT_TRUE(second.save(Path("second.jpg")));
  }

  QString Path(const char* name) const { return dir_.filePath(QString::fromLatin1(name)); }
  std::string Std(const char* name) const { return Path(name).toStdString(); }

  int Combine(const char* output, int mode, int x = 0, int y = 0, int w = 0, int h = 0) const {
    return CombineImages(Std("first.png"), Std("second.jpg"), Std(output), mode, x, y, w, h);
  }

  static bool Near(QColor actual, QColor expected) {
    return std::abs(actual.red() - expected.red()) < 12 &&
           std::abs(actual.green() - expected.green()) < 12 &&
           std::abs(actual.blue() - expected.blue()) < 12;
  }

  QTemporaryDir dir_;
};

TEST_F(CombineTest, InsideDrawsTheSecondScaledAtItsPlace) {
  ASSERT_EQ(Combine("inside.png", 0, 100, 50, 80, 60), kCombineWritten);
  const QImage out(Path("inside.png"));
  ASSERT_EQ(out.size(), QSize(300, 200));
  EXPECT_TRUE(Near(out.pixelColor(140, 80), Qt::green));
  EXPECT_TRUE(Near(out.pixelColor(101, 51), Qt::green));
  EXPECT_TRUE(Near(out.pixelColor(178, 108), Qt::green));
  EXPECT_TRUE(Near(out.pixelColor(99, 80), Qt::blue));
  EXPECT_TRUE(Near(out.pixelColor(181, 80), Qt::blue));
  EXPECT_TRUE(Near(out.pixelColor(140, 111), Qt::blue));
  // An inset reaching past the edge is cut off, the canvas does not grow.
  ASSERT_EQ(Combine("edge.png", 0, 250, 150, 100, 100), kCombineWritten);
  EXPECT_EQ(QImage(Path("edge.png")).size(), QSize(300, 200));
}

TEST_F(CombineTest, RightSideUpperScalesToTheHeight) {
  ASSERT_EQ(Combine("right.bmp", 4), kCombineWritten);
  const QImage out(Path("right.bmp"));
  // 160 x 120 at height 200 is 267 wide.
  ASSERT_EQ(out.size(), QSize(300 + 267, 200));
  EXPECT_TRUE(Near(out.pixelColor(150, 100), Qt::blue));
  EXPECT_TRUE(Near(out.pixelColor(300 + 133, 100), Qt::green));
  EXPECT_EQ(QImageReader(Path("right.bmp")).format(), "bmp");
}

TEST_F(CombineTest, BelowLeftScalesToTheWidth) {
  ASSERT_EQ(Combine("below.jpg", 7), kCombineWritten);
  const QImage out(Path("below.jpg"));
  // 160 x 120 at width 300 is 225 high.
  ASSERT_EQ(out.size(), QSize(300, 200 + 225));
  EXPECT_TRUE(Near(out.pixelColor(150, 100), Qt::blue));
  EXPECT_TRUE(Near(out.pixelColor(150, 300), Qt::green));
  EXPECT_EQ(QImageReader(Path("below.jpg")).format(), "jpeg");
  // The first picture's DPI goes into the file.
  EXPECT_NEAR(out.dotsPerMeterX(), kDotsPerMeterAt200Dpi, 40);
}

TEST_F(CombineTest, AGivenInsetSizeLeavesWhiteBesideIt) {
  struct Case {
    int mode;
    QSize canvas;
    QPoint secondTopLeft;
  };
  // A 90 x 60 inset against the 300 x 200 first picture.
  const Case cases[] = {
      {1, {390, 200}, {0, 0}},   {2, {300, 260}, {0, 0}},     {3, {300, 260}, {210, 0}},
      {4, {390, 200}, {300, 0}}, {5, {390, 200}, {300, 140}}, {6, {300, 260}, {210, 200}},
      {7, {300, 260}, {0, 200}}, {8, {390, 200}, {0, 140}},
  };
  for (const Case& c : cases) {
    const std::string name = "inset" + std::to_string(c.mode) + ".png";
    ASSERT_EQ(Combine(name.c_str(), c.mode, 0, 0, 90, 60), kCombineWritten) << c.mode;
    const QImage out(Path(name.c_str()));
    ASSERT_EQ(out.size(), c.canvas) << c.mode;
    EXPECT_TRUE(Near(out.pixelColor(c.secondTopLeft + QPoint(45, 30)), Qt::green)) << c.mode;
    // Beside a side inset lies free canvas, white; the first stays whole.
    const bool side = c.canvas.width() > 300;
    const QPoint free = side
                            ? QPoint(c.secondTopLeft.x() + 45, c.secondTopLeft.y() == 0 ? 170 : 30)
                            : QPoint(c.secondTopLeft.x() == 0 ? 250 : 50, c.secondTopLeft.y() + 30);
    EXPECT_TRUE(Near(out.pixelColor(free), Qt::white)) << c.mode;
    const QPoint firstCentre = side ? QPoint(c.secondTopLeft.x() == 0 ? 240 : 150, 100)
                                    : QPoint(150, c.secondTopLeft.y() == 0 ? 160 : 100);
    EXPECT_TRUE(Near(out.pixelColor(firstCentre), Qt::blue)) << c.mode;
  }
}

TEST_F(CombineTest, BadInputsGiveACodeAndWriteNothing) {
  QFile garbage(Path("garbage.png"));
  ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
  garbage.write("this is not a picture");
  garbage.close();
  const std::string out = Std("out.png");
  EXPECT_EQ(CombineImages(Std("missing.png"), Std("second.jpg"), out, 4, 0, 0, 0, 0),
            kCombineFirstUnreadable);
  EXPECT_EQ(CombineImages(Std("first.png"), Std("garbage.png"), out, 4, 0, 0, 0, 0),
            kCombineSecondUnreadable);
  EXPECT_EQ(CombineImages(Std("first.png"), "", out, 4, 0, 0, 0, 0), kCombineSecondUnreadable);
  EXPECT_EQ(Combine("out.png", 9), kCombineBadPlacement);
  EXPECT_EQ(Combine("out.png", -1), kCombineBadPlacement);
  EXPECT_EQ(Combine("out.png", 0, 10, 10, 0, 50), kCombineBadPlacement);
  EXPECT_EQ(Combine("out.png", 0, 0, 0, 100000, 100000), kCombineBadPlacement);
  EXPECT_EQ(Combine("out.tiff", 4), kCombineBadOutputType);
  EXPECT_NE(CombineImages(Std("first.png"), Std("second.jpg"), Std("no/such/folder/out.png"), 4, 0,
                          0, 0, 0),
            kCombineWritten);
  // Nothing appeared, not even a temporary file.
  EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files).size(), 3);
}

TEST_F(CombineTest, AnOutputWithoutExtensionIsJpeg) {
  ASSERT_EQ(Combine("merged", 7), kCombineWritten);
  EXPECT_EQ(QImageReader(Path("merged")).format(), "jpeg");
}

}  // namespace
}  // namespace tavrin::lens
