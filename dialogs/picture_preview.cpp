#include "dialogs/picture_preview.h"

#include <QImageReader>
#include <QPainter>

#include "platform/files.h"

namespace tavrin {

CPicturePreview::CPicturePreview(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

int CPicturePreview::LoadPicture(const QString& path) {
  if (HasPicture() || pictureWidthPx != 0 || pictureHeightPx != 0) {
    picture = QImage();
    scaledPicture = QImage();
    pictureWidthPx = 0;
    pictureHeightPx = 0;
    update();
  }
  const std::string localPath = path.toStdString();
  if (path.isEmpty() || !platform::PathExists(localPath) || platform::IsFolder(localPath))
    return -1;
  QImageReader reader(path);
  reader.setAutoTransform(false);
  QImage decoded = reader.read();
  if (!decoded.isNull()) {
    picture = std::move(decoded);
    pictureWidthPx = picture.width();
    pictureHeightPx = picture.height();
  }
  update();
  return 0;
}

QRect CPicturePreview::FitRect(int w, int h, int cw, int ch) {
  if (w <= 0 || h <= 0 || cw <= 0 || ch <= 0) return {};
  const float pictureRatio = static_cast<float>(w) / static_cast<float>(h);
  const float clientRatio = static_cast<float>(cw) / static_cast<float>(ch);
  int left = 0;
  int top = 0;
  int drawnWidth = 0;
  int drawnHeight = 0;
  if (clientRatio < pictureRatio) {
    drawnWidth = cw;
    // The size is worked out in double from the float ratio: the ratio's
    // rounding shows (149, not 150), the division adds none of its own.
    drawnHeight = static_cast<int>(cw / static_cast<double>(pictureRatio));
    top = (ch - drawnHeight) / 2;
  } else {
    drawnHeight = ch;
    drawnWidth = static_cast<int>(ch * static_cast<double>(pictureRatio));
    left = (cw - drawnWidth) / 2;
  }
  return QRect(left, top, drawnWidth, drawnHeight);
}

void CPicturePreview::paintEvent(QPaintEvent*) {
  DrawPicture();
}

void CPicturePreview::DrawPicture() {
  QPainter painter(this);
  const QRect client = rect();
  if (!HasPicture()) {
    painter.fillRect(client, Qt::white);
    return;
  }
  painter.fillRect(client, Qt::black);
  const QRect fit = FitRect(pictureWidthPx, pictureHeightPx, client.width(), client.height());
  if (fit.isEmpty()) return;
  if (scaledPicture.size() != fit.size())
    scaledPicture = picture.scaled(fit.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  painter.drawImage(fit.topLeft(), scaledPicture);
}

}  // namespace tavrin
