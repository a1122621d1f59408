#include "mainwindow/merge_layout.h"

#include <utility>

#include "TavrinLens.h"

namespace tavrin {

QSize TurnedFrame(QSize frame, int rotate) {
  if (rotate == kTavrinRotateLeft || rotate == kTavrinRotateRight) frame.transpose();
  return frame;
}

QRect WebcamMergeRect(int mergeType, int insidePlace, QSize mainSize, QSize webcamSize) {
  const int width = mainSize.width();
  const int height = mainSize.height();
  const int w = width / kInsetWidthShare;
  // A webcam that reports no width would divide by zero; 4:3 is the
  // common shape.
  const int h = webcamSize.width() > 0 ? w * webcamSize.height() / webcamSize.width() : w * 3 / 4;
  int x = 0;
  int y = 0;
  if (mergeType == kTavrinMergeInside) {
    switch (insidePlace) {
      case kInsideCentre:
        x = width / 3;
        y = (height - h) / 2;
        break;
      case kInsideTopRight:
        x = 2 * (width / 3);
        break;
      case kInsideBottomRight:
        x = 2 * (width / 3);
        y = height - h;
        break;
      case kInsideBottomLeft:
        y = height - h;
        break;
      default:
        break;
    }
  }
  return {x, y, w, h};
}

QSize MergePreviewSize(QSize pictureArea, bool oneAboveOther) {
  return oneAboveOther ? QSize(pictureArea.width() / 3, pictureArea.height() / 2)
                       : QSize(pictureArea.width() / 2, pictureArea.height() / 3);
}

QRect MergePreviewInStrip(const QRect& strip, QSize size) {
  if (size.width() > strip.width() || size.height() > strip.height() / 2) {
    size = size.scaled(strip.width(), strip.height() / 2, Qt::KeepAspectRatio);
  }
  return {QPoint(strip.left(), strip.bottom() + 1 - size.height()), size};
}

}  // namespace tavrin
