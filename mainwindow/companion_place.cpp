#include "mainwindow/companion_place.h"

#include <QEvent>

namespace tavrin {

QRect PlaceCompanion(const QRect& windowFrame, const QSize& frameSize, const QRect& screen,
                     const QRect& fallback) {
  const QRect candidates[] = {
      {QPoint(windowFrame.right() + 1 + kCompanionGapPx, windowFrame.top()), frameSize},
      {QPoint(windowFrame.left() - kCompanionGapPx - frameSize.width(), windowFrame.top()),
       frameSize},
      {QPoint(windowFrame.left(), windowFrame.bottom() + 1 + kCompanionGapPx), frameSize},
      {QPoint(windowFrame.left(), windowFrame.top() - kCompanionGapPx - frameSize.height()),
       frameSize},
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
