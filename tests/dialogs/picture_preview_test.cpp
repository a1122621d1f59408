#include "dialogs/picture_preview.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

namespace tavrin {
namespace {

TEST(FitRectTest, WidePictureInASquare) {
  EXPECT_EQ(CPicturePreview::FitRect(400, 200, 200, 200), QRect(0, 50, 200, 100));
}

TEST(FitRectTest, SingleFloatRatioTruncatesBelow150) {
  // 400 / 300 in a float is a little over 4/3, so 200 divided by it falls
  // just short of 150.
  EXPECT_EQ(CPicturePreview::FitRect(400, 300, 200, 200), QRect(0, 25, 200, 149));
}

TEST(FitRectTest, TallPictureInASquare) {
  EXPECT_EQ(CPicturePreview::FitRect(300, 400, 200, 200), QRect(25, 0, 150, 200));
}

TEST(FitRectTest, EmptySizesGiveNothing) {
  EXPECT_TRUE(CPicturePreview::FitRect(0, 100, 200, 200).isEmpty());
  EXPECT_TRUE(CPicturePreview::FitRect(100, 0, 200, 200).isEmpty());
  EXPECT_TRUE(CPicturePreview::FitRect(100, 100, 200, 0).isEmpty());
}

class PicturePreviewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder.isValid());
    preview.resize(200, 200);
  }
  QString Write(const QString& name, int w, int h, QColor colour) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(colour);
    const QString path = folder.filePath(name);
    EXPECT_TRUE(image.save(path));
    return path;
  }
  QImage Shown() { return preview.grab().toImage(); }

  QTemporaryDir folder;
  CPicturePreview preview;
};

TEST_F(PicturePreviewTest, EmptyControlIsWhite) {
  EXPECT_EQ(Shown().pixel(100, 100), qRgb(255, 255, 255));
}

TEST_F(PicturePreviewTest, DrawsTheFitRectangleOnBlack) {
  ASSERT_EQ(preview.LoadPicture(Write("wide.png", 400, 200, Qt::red)), 0);
  EXPECT_EQ(preview.PictureWidthPx(), 400);
  EXPECT_EQ(preview.PictureHeightPx(), 200);
  const QImage shown = Shown();
  EXPECT_EQ(shown.pixel(100, 25), qRgb(0, 0, 0));
  EXPECT_EQ(shown.pixel(100, 49), qRgb(0, 0, 0));
  EXPECT_EQ(shown.pixel(100, 50), qRgb(255, 0, 0));
  EXPECT_EQ(shown.pixel(0, 100), qRgb(255, 0, 0));
  EXPECT_EQ(shown.pixel(100, 149), qRgb(255, 0, 0));
  EXPECT_EQ(shown.pixel(100, 150), qRgb(0, 0, 0));
}

TEST_F(PicturePreviewTest, MissingFileClearsAndReturnsMinusOne) {
  ASSERT_EQ(preview.LoadPicture(Write("a.png", 300, 400, Qt::blue)), 0);
  EXPECT_EQ(Shown().pixel(100, 100), qRgb(0, 0, 255));
  EXPECT_EQ(preview.LoadPicture(folder.filePath("gone.png")), -1);
  EXPECT_FALSE(preview.HasPicture());
  EXPECT_EQ(preview.PictureWidthPx(), 0);
  EXPECT_EQ(Shown().pixel(100, 100), qRgb(255, 255, 255));
  EXPECT_EQ(Shown().pixel(5, 5), qRgb(255, 255, 255));
  EXPECT_EQ(preview.LoadPicture(QString()), -1);
  EXPECT_EQ(preview.LoadPicture(folder.path()), -1);
}

TEST_F(PicturePreviewTest, LoadingTwiceShowsTheNewestOnce) {
  const QString first = Write("first.png", 300, 400, Qt::blue);
  const QString second = Write("second.png", 400, 300, Qt::green);
  ASSERT_EQ(preview.LoadPicture(first), 0);
  ASSERT_EQ(preview.LoadPicture(first), 0);
  EXPECT_EQ(preview.PictureWidthPx(), 300);
  QImage shown = Shown();
  EXPECT_EQ(shown.pixel(10, 100), qRgb(0, 0, 0));
  EXPECT_EQ(shown.pixel(100, 100), qRgb(0, 0, 255));
  ASSERT_EQ(preview.LoadPicture(second), 0);
  EXPECT_EQ(preview.PictureWidthPx(), 400);
  shown = Shown();
  EXPECT_EQ(shown.pixel(10, 100), qRgb(0, 255, 0));
  EXPECT_EQ(shown.pixel(100, 10), qRgb(0, 0, 0));
}

TEST_F(PicturePreviewTest, UndecodableFileLeavesItEmptyButExists) {
  ASSERT_EQ(preview.LoadPicture(Write("b.png", 50, 50, Qt::blue)), 0);
  QFile junk(folder.filePath("junk.jpg"));
  ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
  junk.write("\xff\xd8 broken");
  junk.close();
  EXPECT_EQ(preview.LoadPicture(junk.fileName()), 0);
  EXPECT_FALSE(preview.HasPicture());
  EXPECT_EQ(preview.PictureWidthPx(), 0);
  EXPECT_EQ(preview.PictureHeightPx(), 0);
  EXPECT_EQ(Shown().pixel(100, 100), qRgb(255, 255, 255));
}

TEST_F(PicturePreviewTest, ResizeRefits) {
  ASSERT_EQ(preview.LoadPicture(Write("c.png", 400, 200, Qt::red)), 0);
  (void)Shown();
  preview.resize(100, 200);
  const QImage shown = Shown();
  EXPECT_EQ(shown.pixel(50, 74), qRgb(0, 0, 0));
  EXPECT_EQ(shown.pixel(50, 75), qRgb(255, 0, 0));
  EXPECT_EQ(shown.pixel(50, 124), qRgb(255, 0, 0));
  EXPECT_EQ(shown.pixel(50, 125), qRgb(0, 0, 0));
}

}  // namespace
}  // namespace tavrin
