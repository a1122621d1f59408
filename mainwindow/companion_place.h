// Where the scan window's companion windows (the merge preview, the
// continuous-capture dialog) go, so that they leave the live picture free.
// Pure geometry in global coordinates.
#pragma once

#include <QRect>
#include <QSize>

namespace tavrin {

// A place of frameSize beside windowFrame on the first side the screen has
// room for (right, left, below, above), else fallback: a place inside the
// window, away from the picture, that the caller chose. An empty screen
// (none known) has room nowhere.
QRect PlaceCompanion(const QRect& windowFrame, const QSize& frameSize, const QRect& screen,
                     const QRect& fallback);

}  // namespace tavrin
