// The geometry of the two merges: where the webcam's picture goes in a
// webcam merge, and the size and fallback place of the two-picture merge's
// preview. Pure geometry; no widgets.
#pragma once

#include <QRect>
#include <QSize>

#include "settings/scan_settings.h"

namespace tavrin {

// The webcam's picture is this share of the main picture's width across.
inline constexpr int kInsetWidthShare = 3;

// The camera's frame as a capture writes it: a quarter turn swaps its sides.
QSize TurnedFrame(QSize frame, int rotate);

// The rectangle handed to the library for a webcam merge of a main picture
// of mainSize with a webcam picture of webcamSize: a third of the main width
// across, the webcam's shape (4:3 when it reports no width); placed at
// insidePlace for kTavrinMergeInside, at the origin for the outside codes,
// which use only the size.
QRect WebcamMergeRect(int mergeType, int insidePlace, QSize mainSize, QSize webcamSize);

// The merge preview's size for the picture area: half of it along the side
// the two pictures share, a third across.
QSize MergePreviewSize(QSize pictureArea, bool oneAboveOther);

// Where the preview goes when the screen has no room beside the window: at
// the foot of the thumbnail strip, shrunk to the strip's width and half its
// height when it is larger.
QRect MergePreviewInStrip(const QRect& strip, QSize size);

}  // namespace tavrin
