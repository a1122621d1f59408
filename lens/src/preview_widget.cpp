#include "lens/src/preview_widget.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include <QEvent>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWheelEvent>

#include "lens/src/stages/geometry.h"
#include "lens/src/v4l2/decode.h"

namespace tavrin::lens {

namespace {

constexpr int kRepaintCheckMs = 15;  // well above any camera's frame rate
constexpr double kGripPixels = 8.0;  // how near an edge the mouse takes it
constexpr double kGripSize = 10.0;   // the corner squares as drawn
constexpr int kSmallestCropPercent = 2;
// A press that moves less than this is a click, not a new frame.
constexpr double kDragStartPixels = 4.0;
constexpr double kWheelStepPixels = 60.0;  // per notch of 120 units
constexpr int kWheelNotch = 120;
// Asked for around the part on screen, so a slow pan finds the next frame
// already decoded where it went.
constexpr double kPartMarginPixels = 32.0;

enum Edge : int { kLeft = 1, kTop = 2, kRight = 4, kBottom = 8, kAll = 15 };

QImage ImageOf(const cv::Mat& mat) {
  const QImage::Format format = mat.channels() == 4   ? QImage::Format_RGB32
                                : mat.channels() == 1 ? QImage::Format_Grayscale8
                                                      : QImage::Format_BGR888;
  return QImage(mat.data, mat.cols, mat.rows, static_cast<qsizetype>(mat.step), format);
}

// The frame is turned before it is shown (1 left, 2 half, 3 right), and so
// is the crop frame drawn over it: the user draws on what he sees.
CropPercent ToShown(const CropPercent& c, int rotate) {
  if (!c.Enabled()) return c;
  switch (rotate) {
    case 1:
      return {c.top, 100 - c.right, c.bottom, 100 - c.left};
    case 2:
      return {100 - c.right, 100 - c.bottom, 100 - c.left, 100 - c.top};
    case 3:
      return {100 - c.bottom, c.left, 100 - c.top, c.right};
    default:
      return c;
  }
}

CropPercent FromShown(const CropPercent& c, int rotate) {
  switch (rotate) {
    case 1:
      return ToShown(c, 3);
    case 3:
      return ToShown(c, 1);
    default:
      return ToShown(c, rotate);
  }
}

QPointF ShownPoint(double x, double y, int rotate) {
  switch (rotate) {
    case 1:
      return {y, 1.0 - x};
    case 2:
      return {1.0 - x, 1.0 - y};
    case 3:
      return {1.0 - y, x};
    default:
      return {x, y};
  }
}

// A rectangle in fractions of the frame to the same on the frame turned, and
// back.
QRectF ShownRect(const QRectF& r, int rotate) {
  const QPointF a = ShownPoint(r.left(), r.top(), rotate);
  const QPointF b = ShownPoint(r.right(), r.bottom(), rotate);
  return QRectF(a, b).normalized();
}

QRectF UnturnedRect(const QRectF& r, int rotate) {
  return ShownRect(r, rotate == 1 ? 3 : rotate == 3 ? 1 : rotate);
}

// A rectangle on the widget in fractions of the picture's rectangle whole,
// and back.
QRectF InFractions(const QRectF& r, const QRectF& whole) {
  return QRectF((r.left() - whole.left()) / whole.width(), (r.top() - whole.top()) / whole.height(),
                r.width() / whole.width(), r.height() / whole.height());
}

QRectF OnWidget(const QRectF& fractions, const QRectF& whole) {
  return QRectF(whole.left() + fractions.left() * whole.width(),
                whole.top() + fractions.top() * whole.height(), fractions.width() * whole.width(),
                fractions.height() * whole.height());
}

}  // namespace

PreviewWidget::PreviewWidget(QWidget* host, QWidget* parent, std::shared_ptr<CameraView> view)
    : QWidget(parent), host_(host), view_(std::move(view)) {
  setObjectName("TavrinLensPreview");
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMouseTracking(true);
  FollowHost();
  host->installEventFilter(this);
  // Lying beside its host, it does not go with it by itself.
  if (parent != host) connect(host, &QObject::destroyed, this, &QObject::deleteLater);
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
  if (watched == host_) {
    switch (event->type()) {
      case QEvent::Resize:
      case QEvent::Move:
      case QEvent::Show:
      case QEvent::Hide:
        FollowHost();
        break;
      default:
        break;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void PreviewWidget::FollowHost() {
  if (host_ == nullptr) return;
  if (host_ == parentWidget()) {
    setGeometry(host_->rect());
    return;
  }
  setGeometry(QRect(host_->mapTo(parentWidget(), QPoint(0, 0)), host_->size()));
  setVisible(!host_->isHidden());
  raise();
}

void PreviewWidget::OnTick() {
  setProperty("jpegDecodes", static_cast<qulonglong>(v4l2::FrameDecoder::JpegDecodes()));
  // A hidden window (modes that capture without the person, a server with
  // no screen) or a minimised one needs no preview copies, nor the page
  // search that goes with them: a camera sending JPEG then has none of its
  // frames decoded until a capture asks for one.
  if (!isVisible() || window()->isMinimized()) {
    if (view_->PreviewFactor() > 0.0) view_->SetPreviewFactor(0.0);
    return;
  }
  if (view_->PreviewFactor() <= 0.0)
    view_->SetPreviewFactor(scale_ > 0.0 ? DeviceFactor() : 1.0 / 8);
  const CameraView::Zoom zoom = view_->CurrentZoom();
  const CropPercent crop = view_->Crop();
  FrameSlot::Frame latest = view_->frames.Latest();
  // A JPEG frame corrupt inside has no preview copy: the last picture stays
  // on screen rather than giving way to an empty one.
  if (!latest.Empty() && latest.preview.empty() && latest.image.empty() &&
      !frame_.preview.empty() && latest.size == frame_.size)
    latest = frame_;
  const bool newFrame = latest.sequence != frame_.sequence || latest.Empty() != frame_.Empty();
  const bool newView = zoom.fit != zoom_.fit || zoom.scale != zoom_.scale || crop != crop_;
  std::vector<PageOutline> outlines = view_->Outlines();
  const bool newOutlines = outlines != outlines_;
  if (!newFrame && !newView && !newOutlines) return;
  frame_ = std::move(latest);
  // The screen needs the preview copy only. Holding the full-size frame as
  // well would keep it from the camera, which would then need one more
  // full-size buffer for its next frame: 54 MB at 18 MP.
  if (!frame_.preview.empty()) frame_.image.release();
  zoom_ = zoom;
  outlines_ = std::move(outlines);
  if (drag_ != Drag::kEdges && drag_ != Drag::kNewFrame) crop_ = crop;
  update();
}

double PreviewWidget::ScaleFor(const cv::Size& shown, const CameraView::Zoom& zoom) const {
  if (shown.width <= 0 || shown.height <= 0) return 0.0;
  if (!zoom.fit) return zoom.scale;
  return std::min(static_cast<double>(width()) / shown.width,
                  static_cast<double>(height()) / shown.height);
}

void PreviewWidget::ClampCentre() {
  const double w = shownSize_.width * scale_;
  const double h = shownSize_.height * scale_;
  const auto clamp = [](double centre, double picture, double widget) {
    if (picture <= widget) return 0.5;
    const double half = widget / 2.0 / picture;
    return std::clamp(centre, half, 1.0 - half);
  };
  centre_ = QPointF(clamp(centre_.x(), w, width()), clamp(centre_.y(), h, height()));
}

QRectF PreviewWidget::FrameRect(const cv::Size& shown, double scale) const {
  const double w = shown.width * scale;
  const double h = shown.height * scale;
  return QRectF(width() / 2.0 - centre_.x() * w, height() / 2.0 - centre_.y() * h, w, h);
}

QRectF PreviewWidget::CropRect(const CropPercent& crop) const {
  const QRectF whole = FrameRect(shownSize_, scale_);
  return QRectF(whole.left() + whole.width() * crop.left / 100.0,
                whole.top() + whole.height() * crop.top / 100.0,
                whole.width() * (crop.right - crop.left) / 100.0,
                whole.height() * (crop.bottom - crop.top) / 100.0);
}

QPointF PreviewWidget::PercentAt(const QPointF& point) const {
  const QRectF whole = FrameRect(shownSize_, scale_);
  if (whole.isEmpty()) return {};
  return QPointF(std::clamp((point.x() - whole.left()) * 100.0 / whole.width(), 0.0, 100.0),
                 std::clamp((point.y() - whole.top()) * 100.0 / whole.height(), 0.0, 100.0));
}

void PreviewWidget::PanBy(const QPointF& screenPixels) {
  const QRectF whole = FrameRect(shownSize_, scale_);
  if (whole.isEmpty()) return;
  centre_ -= QPointF(screenPixels.x() / whole.width(), screenPixels.y() / whole.height());
  ClampCentre();
  update();
}

void PreviewWidget::SetShownCrop(const CropPercent& shown) {
  const CropPercent crop = FromShown(shown, rotate_);
  if (crop == crop_) return;
  crop_ = crop;
  view_->SetCrop(crop);
  update();
}

void PreviewWidget::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QColor background(32, 32, 34);
  if (frame_.Empty()) {
    painter.fillRect(rect(), background);
    painter.setPen(QColor(150, 150, 150));
    painter.drawText(rect(), Qt::AlignCenter, QStringLiteral("No picture"));
    return;
  }
  // The preview copy is coloured and turned as the capture will be; a
  // decoded frame stands in only until the first copy is there, a JPEG one
  // not at all.
  bool prepared = !frame_.preview.empty();
  if (!prepared && frame_.jpeg != nullptr && backdropFrameSize_ != frame_.size) {
    // Nothing of this camera at this size on screen yet (the window just
    // shown, kept compressed while hidden): the frame there is decoded for
    // it now rather than the picture waiting for the camera's next frame.
    const double ratio = devicePixelRatioF();
    int turned = 0;
    frame_.preview = view_->PreviewNow(frame_,
                                       cv::Size(std::max(1, static_cast<int>(width() * ratio)),
                                                std::max(1, static_cast<int>(height() * ratio))),
                                       turned);
    frame_.previewRotate = turned;
    frame_.previewRegion = {};
    prepared = !frame_.preview.empty();
  }
  if (!prepared && frame_.image.empty()) {
    painter.fillRect(rect(), background);
    view_->SetPreviewFactor(scale_ > 0.0 ? DeviceFactor() : 1.0 / 8);
    return;
  }
  rotate_ = prepared ? frame_.previewRotate : 0;
  const cv::Size raw = frame_.size;
  shownSize_ = SwapsAxes(rotate_) ? cv::Size(raw.height, raw.width) : raw;
  scale_ = ScaleFor(shownSize_, zoom_);
  ClampCentre();
  view_->SetPaintedScale(scale_);
  view_->SetPreviewFactor(DeviceFactor());

  const cv::Mat& source = prepared ? frame_.preview : frame_.image;
  const QRectF whole = FrameRect(shownSize_, scale_);
  // Only the part on screen is drawn, so a high zoom stays cheap; and only
  // that part (with a margin) of the next JPEG frame is decoded.
  const QRectF visible = whole.intersected(QRectF(rect()));
  const QRectF wanted = whole.intersected(QRectF(rect()).adjusted(
      -kPartMarginPixels, -kPartMarginPixels, kPartMarginPixels, kPartMarginPixels));
  cv::Rect2d region(0, 0, 1, 1);
  if (!wanted.isEmpty() && wanted != whole) {
    const QRectF part = UnturnedRect(InFractions(wanted, whole), rotate_);
    region = cv::Rect2d(part.x(), part.y(), part.width(), part.height());
  }
  view_->SetPreviewRegion(region);
  // Where the preview copy lies on the widget: the whole picture, or the
  // part of it the copy was decoded for.
  QRectF copyRect = whole;
  const cv::Rect part = prepared ? frame_.previewRegion : cv::Rect();
  if (!part.empty() && raw.width > 0 && raw.height > 0) {
    const QRectF shown = ShownRect(
        QRectF(static_cast<double>(part.x) / raw.width, static_cast<double>(part.y) / raw.height,
               static_cast<double>(part.width) / raw.width,
               static_cast<double>(part.height) / raw.height),
        rotate_);
    copyRect = OnWidget(shown, whole);
  }
  // The background only where the picture does not cover whole pixels:
  // painted under it as well, every pixel would be written twice a frame.
  QRegion uncovered(rect());
  const QRectF covered = copyRect.intersected(visible);
  uncovered -= QRect(QPoint(static_cast<int>(std::ceil(covered.left())),
                            static_cast<int>(std::ceil(covered.top()))),
                     QPoint(static_cast<int>(std::floor(covered.right())) - 1,
                            static_cast<int>(std::floor(covered.bottom())) - 1));
  painter.setClipRegion(uncovered);
  painter.fillRect(rect(), background);
  painter.setClipping(false);
  if (!part.empty() && raw.width > 0 && raw.height > 0) {
    // Just zoomed out or panned beyond the part: the last copy of the whole
    // picture fills the rest until the next frame brings the new part.
    if (!copyRect.contains(visible) && !backdrop_.empty() && backdropRotate_ == rotate_ &&
        backdropFrameSize_ == raw)
      DrawPart(painter, backdrop_, whole, visible);
  } else if (prepared) {
    backdrop_ = frame_.preview;
    backdropRotate_ = rotate_;
    backdropFrameSize_ = raw;
  }
  DrawPart(painter, source, copyRect, visible);

  if (!outlines_.empty()) {
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(QColor(40, 220, 90), 2));
    painter.setBrush(Qt::NoBrush);
    for (const PageOutline& outline : outlines_) {
      QPolygonF polygon;
      for (const cv::Point2f& corner : outline) {
        const QPointF p = ShownPoint(corner.x, corner.y, rotate_);
        polygon << QPointF(whole.left() + p.x() * whole.width(),
                           whole.top() + p.y() * whole.height());
      }
      painter.drawPolygon(polygon);
    }
    painter.setRenderHint(QPainter::Antialiasing, false);
  }

  if (crop_.Enabled()) {
    const QRectF frameRect = CropRect(ToShown(crop_, rotate_));
    QPainterPath outside;
    outside.addRect(whole);
    outside.addRect(frameRect);
    painter.fillPath(outside, QColor(0, 0, 0, 110));
    // A frame edge on the widget's border (the whole picture, fitted) is
    // drawn just inside it, and its corner squares wholly on screen, so every
    // grip can be seen; edges panned far out of sight stay out of sight.
    const auto onScreen = [](double edge, double low, double high) {
      if (edge < low && edge > low - kGripSize) return low;
      if (edge > high && edge < high + kGripSize) return high;
      return edge;
    };
    const QRectF drawn(QPointF(onScreen(frameRect.left(), 1, width() - 1),
                               onScreen(frameRect.top(), 1, height() - 1)),
                       QPointF(onScreen(frameRect.right(), 1, width() - 1),
                               onScreen(frameRect.bottom(), 1, height() - 1)));
    painter.setPen(QPen(QColor(0, 170, 255), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(drawn);
    painter.setPen(QPen(Qt::white, 1));
    painter.setBrush(QColor(0, 170, 255));
    for (const QPointF& corner :
         {drawn.topLeft(), drawn.topRight(), drawn.bottomLeft(), drawn.bottomRight()}) {
      QRectF grip(corner.x() - kGripSize / 2, corner.y() - kGripSize / 2, kGripSize, kGripSize);
      grip.moveLeft(onScreen(grip.left(), 0, width() - kGripSize - 1));
      grip.moveTop(onScreen(grip.top(), 0, height() - kGripSize - 1));
      painter.drawRect(grip);
    }
  }
  ++framesPainted_;
  setProperty("paintedScale", scale_);
  setProperty("framesPainted", framesPainted_);
  setProperty("frameSequence", static_cast<qulonglong>(frame_.sequence));
  setProperty("previewSize", QSize(source.cols, source.rows));
  // From the camera handing the frame over to its picture painted.
  setProperty("paintDelayUs",
              static_cast<qlonglong>(std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::steady_clock::now() - frame_.arrived)
                                         .count()));
}

void PreviewWidget::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  OnTick();
}

double PreviewWidget::DeviceFactor() const {
  // The copy is made for the screen's pixels, not the layout's: at 200 %
  // a copy at the layout's size is doubled when drawn, and text blurs.
  return std::min(1.0, scale_ * devicePixelRatioF());
}

void PreviewWidget::DrawPart(QPainter& painter, const cv::Mat& picture, const QRectF& at,
                             const QRectF& visible) {
  const QRectF target = at.intersected(visible);
  if (target.isEmpty() || picture.empty()) return;
  const double perScreenX = picture.cols / at.width();
  const double perScreenY = picture.rows / at.height();
  const QRectF from((target.left() - at.left()) * perScreenX,
                    (target.top() - at.top()) * perScreenY, target.width() * perScreenX,
                    target.height() * perScreenY);
  painter.setRenderHint(QPainter::SmoothPixmapTransform,
                        std::abs(perScreenX - 1.0) > 1e-3 || std::abs(perScreenY - 1.0) > 1e-3);
  painter.drawImage(target, ImageOf(picture), from);
}

int PreviewWidget::EdgesAt(const QPointF& point) const {
  if (!crop_.Enabled() || scale_ <= 0.0) return 0;
  const QRectF frameRect = CropRect(ToShown(crop_, rotate_));
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
  dragStart_ = event->position();
  dragMoved_ = false;
  dragCentre_ = centre_;
  if (event->button() == Qt::MiddleButton) {
    drag_ = Drag::kPan;
    return;
  }
  if (event->button() != Qt::LeftButton) return;
  if (!crop_.Enabled()) {
    drag_ = Drag::kPan;
    setCursor(Qt::ClosedHandCursor);
    return;
  }
  const CropPercent shown = ToShown(crop_, rotate_);
  const bool wholePicture =
      shown.left == 0 && shown.top == 0 && shown.right == 100 && shown.bottom == 100;
  const int edges = EdgesAt(event->position());
  // Inside a frame that covers everything there is nothing to move: the
  // drag draws a new one, as it does outside the frame.
  if (edges != 0 && !(edges == kAll && wholePicture)) {
    drag_ = Drag::kEdges;
    dragEdges_ = edges;
    dragCrop_ = shown;
  } else {
    drag_ = Drag::kNewFrame;
  }
}

void PreviewWidget::mouseMoveEvent(QMouseEvent* event) {
  if (drag_ == Drag::kNone) {
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
    } else if (crop_.Enabled()) {
      setCursor(Qt::CrossCursor);
    } else {
      unsetCursor();
    }
    return;
  }
  const QPointF delta = event->position() - dragStart_;
  if (!dragMoved_ && std::abs(delta.x()) + std::abs(delta.y()) < kDragStartPixels) return;
  dragMoved_ = true;
  const QRectF whole = FrameRect(shownSize_, scale_);
  if (whole.isEmpty()) return;

  if (drag_ == Drag::kPan) {
    centre_ = dragCentre_;
    PanBy(delta);
    return;
  }
  if (drag_ == Drag::kNewFrame) {
    const QPointF a = PercentAt(dragStart_);
    const QPointF b = PercentAt(event->position());
    const auto span = [](double from, double to, int& low, int& high) {
      low = static_cast<int>(std::lround(std::min(from, to)));
      high = static_cast<int>(std::lround(std::max(from, to)));
      if (high - low < kSmallestCropPercent) {
        high = std::min(100, low + kSmallestCropPercent);
        low = high - kSmallestCropPercent;
      }
    };
    CropPercent crop;
    span(a.x(), b.x(), crop.left, crop.right);
    span(a.y(), b.y(), crop.top, crop.bottom);
    SetShownCrop(crop);
    return;
  }

  const int dx = static_cast<int>(std::lround(delta.x() * 100.0 / whole.width()));
  const int dy = static_cast<int>(std::lround(delta.y() * 100.0 / whole.height()));
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
  SetShownCrop(crop);
}

void PreviewWidget::mouseReleaseEvent(QMouseEvent*) {
  if (drag_ == Drag::kPan) unsetCursor();
  drag_ = Drag::kNone;
  dragEdges_ = 0;
}

void PreviewWidget::wheelEvent(QWheelEvent* event) {
  const QPoint angle = event->angleDelta();
  if (scale_ <= 0.0 || angle.isNull()) {
    event->ignore();
    return;
  }
  if (event->modifiers() & Qt::ControlModifier) {
    if (angle.y() == 0) return;
    // The picture point under the pointer stays under it.
    const QRectF before = FrameRect(shownSize_, scale_);
    const QPointF pointer = event->position();
    const QPointF at((pointer.x() - before.left()) / before.width(),
                     (pointer.y() - before.top()) / before.height());
    if (angle.y() > 0) {
      view_->ZoomIn();
    } else {
      view_->ZoomOut();
    }
    zoom_ = view_->CurrentZoom();
    scale_ = ScaleFor(shownSize_, zoom_);
    const double w = shownSize_.width * scale_;
    const double h = shownSize_.height * scale_;
    centre_ = QPointF((width() / 2.0 - pointer.x()) / w + at.x(),
                      (height() / 2.0 - pointer.y()) / h + at.y());
    ClampCentre();
    update();
    return;
  }
  QPointF step(angle.x(), angle.y());
  if ((event->modifiers() & Qt::ShiftModifier) && angle.x() == 0) step = QPointF(angle.y(), 0);
  PanBy(step * kWheelStepPixels / kWheelNotch);
}

}  // namespace tavrin::lens
