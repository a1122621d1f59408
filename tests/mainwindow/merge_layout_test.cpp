#include <gtest/gtest.h>

#include "TavrinLens.h"
#include "mainwindow/merge_layout.h"

namespace tavrin {
namespace {

TEST(MergeLayoutTest, InsetIsAThirdOfTheWidthInTheWebcamsShapeAtItsPlace) {
  const QSize main(900, 600);
  const QSize webcam(320, 240);
  // 300 wide, 225 high.
  EXPECT_EQ(WebcamMergeRect(kTavrinMergeInside, kInsideCentre, main, webcam),
            QRect(300, 187, 300, 225));
  EXPECT_EQ(WebcamMergeRect(kTavrinMergeInside, kInsideTopLeft, main, webcam),
            QRect(0, 0, 300, 225));
  EXPECT_EQ(WebcamMergeRect(kTavrinMergeInside, kInsideTopRight, main, webcam),
            QRect(600, 0, 300, 225));
  EXPECT_EQ(WebcamMergeRect(kTavrinMergeInside, kInsideBottomRight, main, webcam),
            QRect(600, 375, 300, 225));
  EXPECT_EQ(WebcamMergeRect(kTavrinMergeInside, kInsideBottomLeft, main, webcam),
            QRect(0, 375, 300, 225));
  EXPECT_EQ(WebcamMergeRect(kTavrinMergeInside, 17, main, webcam), QRect(0, 0, 300, 225))
      << "an unknown place is the top left";
  // Beside the picture only the size counts.
  EXPECT_EQ(WebcamMergeRect(kTavrinMergeBelowRight, kInsideBottomRight, main, webcam),
            QRect(0, 0, 300, 225));
  // A webcam without a size: 4:3.
  EXPECT_EQ(WebcamMergeRect(kTavrinMergeInside, kInsideTopLeft, main, QSize()),
            QRect(0, 0, 300, 225));
}

TEST(MergeLayoutTest, OnlyAQuarterTurnSwapsTheFrame) {
  EXPECT_EQ(TurnedFrame({800, 600}, kTavrinRotateNone), QSize(800, 600));
  EXPECT_EQ(TurnedFrame({800, 600}, kTavrinRotateLeft), QSize(600, 800));
  EXPECT_EQ(TurnedFrame({800, 600}, kTavrinRotate180), QSize(800, 600));
  EXPECT_EQ(TurnedFrame({800, 600}, kTavrinRotateRight), QSize(600, 800));
}

TEST(MergeLayoutTest, PreviewIsHalfAlongThePairAndShrinksIntoTheStripFoot) {
  EXPECT_EQ(MergePreviewSize({600, 450}, false), QSize(300, 150));
  EXPECT_EQ(MergePreviewSize({600, 450}, true), QSize(200, 225));

  const QRect strip(1000, 100, 200, 600);
  // Fits: kept, at the strip's foot.
  EXPECT_EQ(MergePreviewInStrip(strip, {150, 100}), QRect(1000, 600, 150, 100));
  // Wider than the strip: scaled to its width, shape kept.
  EXPECT_EQ(MergePreviewInStrip(strip, {400, 100}), QRect(1000, 650, 200, 50));
  // Higher than half the strip: scaled to that.
  EXPECT_EQ(MergePreviewInStrip(strip, {100, 600}), QRect(1000, 400, 50, 300));
}

}  // namespace
}  // namespace tavrin
