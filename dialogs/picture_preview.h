// CPicturePreview: shows an image file scaled to fit, keeping its aspect,
// on black; white when it holds no picture. GUI thread only.
#pragma once

#include <QImage>
#include <QRect>
#include <QString>
#include <QWidget>

namespace tavrin {

class CPicturePreview : public QWidget {
 public:
  explicit CPicturePreview(QWidget* parent = nullptr);

  // 0 when a file exists at path, decodable or not; -1 when none does. The
  // previous picture is gone either way; an undecodable file leaves none.
  int LoadPicture(const QString& path);

  // Paints the control (called for every paint event).
  virtual void DrawPicture();

  // Where a w x h picture goes in a cw x ch client: as wide or as tall as
  // the client, centred the other way. The ratios are single-precision
  // floats, which decides the truncation (400 x 300 in 200 x 200 is 149
  // high). Empty when either size is empty.
  static QRect FitRect(int w, int h, int cw, int ch);

  bool HasPicture() const { return !picture.isNull(); }
  int PictureWidthPx() const { return pictureWidthPx; }
  int PictureHeightPx() const { return pictureHeightPx; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage picture;
  int pictureWidthPx = 0;
  int pictureHeightPx = 0;
  // The picture scaled to the last fit rectangle, so repaints do not
  // resample a large image again.
  QImage scaledPicture;
};

}  // namespace tavrin
