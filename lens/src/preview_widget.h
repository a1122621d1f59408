// The live picture of one camera, laid over a host widget, as the capture
// will give it (colour mode, rotation, the pages an automatic crop finds):
// fit, zoom steps and 1:1, panned by dragging and the wheel, zoomed around
// the pointer by Ctrl+wheel, and the user-drawn crop frame, which a drag
// draws anew and the mouse moves and resizes.
// Threads: GUI thread only. It reads frames from the camera's view, which
// the capture thread fills; a timer repaints when a new frame is there.
#pragma once

#include <memory>

#include <QPainter>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include "lens/src/camera_view.h"

namespace tavrin::lens {

class PreviewWidget final : public QWidget {
 public:
  // Lies over host; a child of parent, which is host itself or, where the
  // host's own window cannot show it, the host's top-level window.
  PreviewWidget(QWidget* host, QWidget* parent, std::shared_ptr<CameraView> view);
  ~PreviewWidget() override;

  const std::shared_ptr<CameraView>& View() const { return view_; }
  const QWidget* Host() const { return host_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  // The picture comes at once, not at the next tick.
  void showEvent(QShowEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void OnTick();
  double ScaleFor(const cv::Size& shown, const CameraView::Zoom& zoom) const;
  // Where the whole picture lies on the widget at that scale: centred when
  // it is smaller than the widget, else at the panned place.
  QRectF FrameRect(const cv::Size& shown, double scale) const;
  // crop in percent of the picture as shown (turned).
  QRectF CropRect(const CropPercent& crop) const;
  int EdgesAt(const QPointF& point) const;
  // Keeps the pan inside the picture; call after a scale or size change.
  void ClampCentre();
  void PanBy(const QPointF& screenPixels);
  // The percent point of the shown picture under a widget point, clamped.
  QPointF PercentAt(const QPointF& point) const;
  void SetShownCrop(const CropPercent& shown);
  // The preview copy's size against the frame, at the screen's pixels.
  double DeviceFactor() const;
  // The part of picture that falls inside visible, with the whole picture
  // drawn over at.
  static void DrawPart(QPainter& painter, const cv::Mat& picture, const QRectF& at,
                       const QRectF& visible);

  void FollowHost();

  QPointer<QWidget> host_;
  std::shared_ptr<CameraView> view_;
  QTimer timer_;
  // Keeps the pixels being shown alive: the preview copy, or the frame
  // itself until there is one.
  FrameSlot::Frame frame_;
  // The last preview copy of the whole picture, shown where a copy of a
  // part does not reach.
  cv::Mat backdrop_;
  int backdropRotate_ = 0;
  cv::Size backdropFrameSize_;
  cv::Size shownSize_;  // of the last picture shown, turned
  int rotate_ = 0;      // of the last picture shown
  double scale_ = 0.0;  // as last painted
  CameraView::Zoom zoom_;
  // The picture point (fractions of the shown picture) at the widget's
  // centre, when the picture is larger than the widget.
  QPointF centre_{0.5, 0.5};
  CropPercent crop_;  // as the camera view holds it: percent of the unturned frame
  std::vector<PageOutline> outlines_;
  quint64 framesPainted_ = 0;

  enum class Drag { kNone, kEdges, kNewFrame, kPan };
  Drag drag_ = Drag::kNone;
  int dragEdges_ = 0;  // bits of Edge; all four = moving the frame
  bool dragMoved_ = false;
  QPointF dragStart_;
  CropPercent dragCrop_;
  QPointF dragCentre_;
};

}  // namespace tavrin::lens
