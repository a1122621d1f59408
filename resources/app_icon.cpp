#include "resources/app_icon.h"

#include <QPainter>
#include <QPainterPath>

namespace tavrin {

QImage AppIconImage(int sizePx) {
  QImage image(sizePx, sizePx, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  // Drawn on a 64-unit grid so every size keeps the same proportions.
  painter.scale(sizePx / 64.0, sizePx / 64.0);

  // The desk.
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x1f, 0x5f, 0xa8));
  painter.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);

  // A page lying on it.
  painter.setBrush(Qt::white);
  painter.drawRect(QRectF(16, 26, 32, 30));
  painter.setBrush(QColor(0x9a, 0xb4, 0xd4));
  for (int line = 0; line < 4; ++line) painter.drawRect(QRectF(21, 32 + line * 6, 22, 2.5));

  // The camera arm and head above the page.
  painter.setBrush(QColor(0xf2, 0xb1, 0x34));
  painter.drawRect(QRectF(48, 14, 4, 40));
  QPainterPath head;
  head.addRoundedRect(QRectF(24, 8, 28, 10), 3, 3);
  painter.drawPath(head);
  painter.setBrush(QColor(0x1f, 0x2f, 0x48));
  painter.drawEllipse(QPointF(32, 17), 3.5, 3.5);
  return image;
}

QIcon AppIcon() {
  QIcon icon;
  for (int sizePx : {16, 24, 32, 48, 64, 128, 256})
    icon.addPixmap(QPixmap::fromImage(AppIconImage(sizePx)));
  return icon;
}

}  // namespace tavrin
