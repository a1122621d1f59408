// Where the scan window's companion windows (the merge preview, the
// continuous-capture dialog) go, so that they leave the live picture free.
// Pure geometry in global coordinates.
#pragma once

#include <QObject>
#include <QRect>
#include <QSize>

#include <functional>

namespace tavrin {

// What a companion leaves free between itself and what it is placed against.
inline constexpr int kCompanionGapPx = 4;

// A place of frameSize beside windowFrame on the first side the screen has
// room for (right, left, below, above), else fallback: a place inside the
// window, away from the picture, that the caller chose. An empty screen
// (none known) has room nowhere.
QRect PlaceCompanion(const QRect& windowFrame, const QSize& frameSize, const QRect& screen,
                     const QRect& fallback);

// Calls changed after each move or resize of the widget it watches, so
// that what is placed against that widget follows it however it changes
// (a moved window, a layout that grows the picture area).
class GeometryWatcher : public QObject {
 public:
  GeometryWatcher(QObject* watched, std::function<void()> changed);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::function<void()> changed;
};

}  // namespace tavrin
