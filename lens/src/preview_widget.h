// The live picture of one camera, laid over a host widget: fit, zoom steps
// and 1:1, and the user-drawn crop frame, which the mouse moves and resizes.
// Threads: GUI thread only. It reads frames from the camera's view, which
// the capture thread fills; a timer repaints when a new frame is there.
#pragma once

#include <memory>

#include <QTimer>
#include <QWidget>

#include "lens/src/camera_view.h"

namespace tavrin::lens {

class PreviewWidget final : public QWidget {
 public:
  PreviewWidget(QWidget* host, std::shared_ptr<CameraView> view);
  ~PreviewWidget() override;

  const std::shared_ptr<CameraView>& View() const { return view_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void OnTick();
  double ScaleFor(const cv::Size& frame, const CameraView::Zoom& zoom) const;
  // Where the whole frame lies on the widget at that scale.
  QRectF FrameRect(const cv::Size& frame, double scale) const;
  QRectF CropRect(const CropPercent& crop) const;
  int EdgesAt(const QPointF& point) const;

  std::shared_ptr<CameraView> view_;
  QTimer timer_;
  FrameSlot::Frame frame_;  // keeps the pixels being shown alive
  cv::Size frameSize_;      // of the last frame shown
  double scale_ = 0.0;      // as last painted
  CameraView::Zoom zoom_;
  CropPercent crop_;
  quint64 framesPainted_ = 0;

  int dragEdges_ = 0;  // bits of Edge; all four = moving the frame
  QPointF dragStart_;
  CropPercent dragCrop_;
};

}  // namespace tavrin::lens
