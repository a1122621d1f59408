#include "mainwindow/companion_place.h"

#include <QEvent>

namespace tavrin {

namespace {
constexpr int kGapPx = 4;
}  // namespace

QRect PlaceCompanion(const QRect& windowFrame, const QSize& frameSize, const QRect& screen,
                     const QRect& fallback) {
  const QRect candidates[] = {
      {QPoint(windowFrame.right() + 1 + kGapPx, windowFrame.top()), frameSize},
      {QPoint(windowFrame.left() - kGapPx - frameSize.width(), windowFrame.top()), frameSize},
      {QPoint(windowFrame.left(), windowFrame.bottom() + 1 + kGapPx), frameSize},
      {QPoint(windowFrame.left(), windowFrame.top() - kGapPx - frameSize.height()), frameSize},
  };
  for (const QRect& candidate : candidates) {
    if (screen.contains(candidate)) return candidate;
  }
  return fallback;
}

GeometryWatcher::GeometryWatcher(QObject* watched, std::function<void()> onChange)
    : QObject(watched), changed(std::move(onChange)) {
  watched->installEventFilter(this);
}

bool GeometryWatcher::eventFilter(QObject* watched, QEvent* event) {
  if (watched == parent() && (event->type() == QEvent::Move || event->type() == QEvent::Resize)) {
    changed();
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace tavrin
