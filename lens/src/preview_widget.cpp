#include "lens/src/preview_widget.h"

#include <algorithm>
#include <cmath>

#include <QEvent>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace tavrin::lens {

namespace {

constexpr int kRepaintCheckMs = 15;  // well above any camera's frame rate
constexpr double kGripPixels = 7.0;
constexpr int kSmallestCropPercent = 2;

enum Edge : int { kLeft = 1, kTop = 2, kRight = 4, kBottom = 8, kAll = 15 };

bool SameCrop(const CropPercent& a, const CropPercent& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

QImage ImageOf(const cv::Mat& mat) {
  return QImage(mat.data, mat.cols, mat.rows, static_cast<qsizetype>(mat.step),
                QImage::Format_BGR888);
}

}  // namespace

PreviewWidget::PreviewWidget(QWidget* host, std::shared_ptr<CameraView> view)
    : QWidget(host), view_(std::move(view)) {
  setObjectName("TavrinLensPreview");
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMouseTracking(true);
  setGeometry(host->rect());
  host->installEventFilter(this);
  connect(&timer_, &QTimer::timeout, this, &PreviewWidget::OnTick);
  timer_.start(kRepaintCheckMs);
  zoom_ = view_->CurrentZoom();
  crop_ = view_->Crop();
  // Before the first paint the capture thread prepares frames at fit size.
  view_->SetPreviewFactor(1.0 / 8);
}

PreviewWidget::~PreviewWidget() {
  view_->SetPreviewFactor(0.0);
}

bool PreviewWidget::eventFilter(QObject* watched, QEvent* event) {
  if (watched == parent() && event->type() == QEvent::Resize) {
    setGeometry(parentWidget()->rect());
  }
  return QWidget::eventFilter(watched, event);
}

void PreviewWidget::OnTick() {
  const CameraView::Zoom zoom = view_->CurrentZoom();
  const CropPercent crop = view_->Crop();
  FrameSlot::Frame latest = view_->frames.Latest();
  const bool newFrame =
      latest.sequence != frame_.sequence || latest.image.empty() != frame_.image.empty();
  const bool newView = zoom.fit != zoom_.fit || zoom.scale != zoom_.scale || !SameCrop(crop, crop_);
  if (!newFrame && !newView) return;
  frame_ = std::move(latest);
  zoom_ = zoom;
  if (dragEdges_ == 0) crop_ = crop;
  update();
}

double PreviewWidget::ScaleFor(const cv::Size& frame, const CameraView::Zoom& zoom) const {
  if (frame.width <= 0 || frame.height <= 0) return 0.0;
  if (!zoom.fit) return zoom.scale;
  return std::min(static_cast<double>(width()) / frame.width,
                  static_cast<double>(height()) / frame.height);
}

QRectF PreviewWidget::FrameRect(const cv::Size& frame, double scale) const {
  const double w = frame.width * scale;
  const double h = frame.height * scale;
  return QRectF((width() - w) / 2.0, (height() - h) / 2.0, w, h);
}

QRectF PreviewWidget::CropRect(const CropPercent& crop) const {
  const QRectF whole = FrameRect(frameSize_, scale_);
  return QRectF(whole.left() + whole.width() * crop.left / 100.0,
                whole.top() + whole.height() * crop.top / 100.0,
                whole.width() * (crop.right - crop.left) / 100.0,
                whole.height() * (crop.bottom - crop.top) / 100.0);
}

void PreviewWidget::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), QColor(32, 32, 34));
  if (frame_.image.empty()) {
    painter.setPen(QColor(150, 150, 150));
    painter.drawText(rect(), Qt::AlignCenter, QStringLiteral("No picture"));
    return;
  }
  frameSize_ = frame_.image.size();
  scale_ = ScaleFor(frameSize_, zoom_);
  view_->SetPaintedScale(scale_);
  view_->SetPreviewFactor(std::min(1.0, scale_));

  const cv::Mat& source = frame_.preview.empty() ? frame_.image : frame_.preview;
  const QImage image = ImageOf(source);
  const QRectF whole = FrameRect(frameSize_, scale_);
  // Only the part on screen is drawn, so a high zoom stays cheap.
  const QRectF visible = whole.intersected(QRectF(rect()));
  if (!visible.isEmpty()) {
    const double sourcePerScreen = source.cols / whole.width();
    const QRectF from((visible.left() - whole.left()) * sourcePerScreen,
                      (visible.top() - whole.top()) * sourcePerScreen,
                      visible.width() * sourcePerScreen, visible.height() * sourcePerScreen);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, std::abs(sourcePerScreen - 1.0) > 1e-3);
    painter.drawImage(visible, image, from);
  }

  if (crop_.Enabled()) {
    const QRectF frameRect = CropRect(crop_);
    QPainterPath outside;
    outside.addRect(whole);
    outside.addRect(frameRect);
    painter.fillPath(outside, QColor(0, 0, 0, 110));
    painter.setPen(QPen(QColor(0, 170, 255), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(frameRect);
    painter.setBrush(QColor(0, 170, 255));
    const double grip = kGripPixels;
    for (const QPointF& corner : {frameRect.topLeft(), frameRect.topRight(), frameRect.bottomLeft(),
                                  frameRect.bottomRight()}) {
      painter.drawRect(QRectF(corner.x() - grip / 2, corner.y() - grip / 2, grip, grip));
    }
  }
  ++framesPainted_;
  setProperty("paintedScale", scale_);
  setProperty("framesPainted", framesPainted_);
  setProperty("frameSequence", static_cast<qulonglong>(frame_.sequence));
}

int PreviewWidget::EdgesAt(const QPointF& point) const {
  if (!crop_.Enabled() || scale_ <= 0.0) return 0;
  const QRectF frameRect = CropRect(crop_);
  if (!frameRect.adjusted(-kGripPixels, -kGripPixels, kGripPixels, kGripPixels).contains(point)) {
    return 0;
  }
  int edges = 0;
  if (std::abs(point.x() - frameRect.left()) <= kGripPixels) edges |= kLeft;
  if (std::abs(point.x() - frameRect.right()) <= kGripPixels) edges |= kRight;
  if (std::abs(point.y() - frameRect.top()) <= kGripPixels) edges |= kTop;
  if (std::abs(point.y() - frameRect.bottom()) <= kGripPixels) edges |= kBottom;
  if (edges == 0 && frameRect.contains(point)) edges = kAll;
  return edges;
}

void PreviewWidget::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  dragEdges_ = EdgesAt(event->position());
  dragStart_ = event->position();
  dragCrop_ = crop_;
}

void PreviewWidget::mouseMoveEvent(QMouseEvent* event) {
  if (dragEdges_ == 0) {
    const int edges = EdgesAt(event->position());
    if (edges == kAll) {
      setCursor(Qt::SizeAllCursor);
    } else if (edges == (kLeft | kTop) || edges == (kRight | kBottom)) {
      setCursor(Qt::SizeFDiagCursor);
    } else if (edges == (kRight | kTop) || edges == (kLeft | kBottom)) {
      setCursor(Qt::SizeBDiagCursor);
    } else if (edges & (kLeft | kRight)) {
      setCursor(Qt::SizeHorCursor);
    } else if (edges & (kTop | kBottom)) {
      setCursor(Qt::SizeVerCursor);
    } else {
      unsetCursor();
    }
    return;
  }
  const QRectF whole = FrameRect(frameSize_, scale_);
  if (whole.isEmpty()) return;
  const int dx = static_cast<int>(
      std::lround((event->position().x() - dragStart_.x()) * 100.0 / whole.width()));
  const int dy = static_cast<int>(
      std::lround((event->position().y() - dragStart_.y()) * 100.0 / whole.height()));
  CropPercent crop = dragCrop_;
  if (dragEdges_ == kAll) {
    const int moveX = std::clamp(dx, -crop.left, 100 - crop.right);
    const int moveY = std::clamp(dy, -crop.top, 100 - crop.bottom);
    crop = {crop.left + moveX, crop.top + moveY, crop.right + moveX, crop.bottom + moveY};
  } else {
    if (dragEdges_ & kLeft)
      crop.left = std::clamp(crop.left + dx, 0, crop.right - kSmallestCropPercent);
    if (dragEdges_ & kRight)
      crop.right = std::clamp(crop.right + dx, crop.left + kSmallestCropPercent, 100);
    if (dragEdges_ & kTop)
      crop.top = std::clamp(crop.top + dy, 0, crop.bottom - kSmallestCropPercent);
    if (dragEdges_ & kBottom)
      crop.bottom = std::clamp(crop.bottom + dy, crop.top + kSmallestCropPercent, 100);
  }
  if (!SameCrop(crop, crop_)) {
    crop_ = crop;
    view_->SetCrop(crop);
    update();
  }
}

void PreviewWidget::mouseReleaseEvent(QMouseEvent*) {
  dragEdges_ = 0;
}

}  // namespace tavrin::lens
