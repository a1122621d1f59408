#include "lens/src/camera_view.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <optional>
#include <utility>

#include <linux/videodev2.h>

#include <opencv2/imgproc.hpp>

#include "lens/src/stages/color.h"
#include "lens/src/stages/geometry.h"
#include "lens/src/stages/page_detect.h"
#include "lens/src/v4l2/decode.h"

namespace tavrin::lens {

namespace {
constexpr double kSmallestScale = 1.0 / 64;
constexpr double kLargestScale = 16.0;

// The page search gets a copy this size (it works at about this size
// anyway), a few times a second: often enough to follow a page being laid
// down, and a slow search makes the pause longer instead of the frames late.
constexpr double kOutlineLongSide = 720.0;
constexpr auto kOutlineInterval = std::chrono::milliseconds(250);
constexpr int kOutlineCostFactor = 4;
// A camera looking at a page that lies still gives the same pages to every
// search: the search is left out while a small grey copy of the picture
// stays as it was (cells this many levels apart count as changed, and a
// share of them as a changed picture), yet runs at least this often, so
// that a change too small to be seen here is found in the end.
constexpr int kSignatureWidth = 48;
constexpr int kSignatureHeight = 36;
constexpr int kChangedCellLevels = 10;
constexpr double kChangedCellShare = 0.03;
constexpr auto kLongestStill = std::chrono::seconds(2);

// Decoding a part of a frame pays once it leaves out a good share of it.
constexpr double kLargestPartShare = 0.8;

// The frame pixels of a region given in fractions, or an empty rectangle
// when the region is all or most of the frame.
cv::Rect PartOfFrame(const cv::Rect2d& region, cv::Size frame) {
  const cv::Rect whole(cv::Point(0, 0), frame);
  const int left = static_cast<int>(std::floor(region.x * frame.width));
  const int top = static_cast<int>(std::floor(region.y * frame.height));
  const int right = static_cast<int>(std::ceil((region.x + region.width) * frame.width));
  const int bottom = static_cast<int>(std::ceil((region.y + region.height) * frame.height));
  const cv::Rect part = cv::Rect(cv::Point(left, top), cv::Point(right, bottom)) & whole;
  if (part.empty() || part.area() >= kLargestPartShare * whole.area()) return {};
  return part;
}

// The preview copy in the screen's own pixel format (four bytes a pixel,
// blue first): the painter then copies it as it is. Three-byte or grey
// pixels would be converted on the GUI thread at every paint, on helper
// threads that are woken for it each time.
cv::Mat ForScreen(const cv::Mat& picture) {
  if (picture.channels() == 4) return picture;
  cv::Mat screen;
  cv::cvtColor(picture, screen, picture.channels() == 1 ? cv::COLOR_GRAY2BGRA : cv::COLOR_BGR2BGRA);
  return screen;
}

// A scaled copy coloured and turned as the capture will be, for the screen.
cv::Mat AsLooked(cv::Mat scaled, const PreviewLook& look) {
  const int colorMode = NormalizeColorMode(look.colorMode);
  if (colorMode != kColorModeColor) scaled = ApplyColorMode(scaled, colorMode);
  return ForScreen(Rotate(scaled, look.rotate));
}

// A preview copy that cannot be made (a broken frame, no memory for the
// copy) leaves this frame without one; the next frame tries again.
template <class Make>
cv::Mat PreviewOrNothing(Make make) {
  try {
    return make();
  } catch (const cv::Exception&) {
    return {};
  } catch (const std::bad_alloc&) {
    return {};
  }
}

}  // namespace

void FrameSlot::Publish(const cv::Mat& image, const cv::Mat& preview, int previewRotate,
                        Clock::time_point arrived) {
  {
    std::lock_guard lock(mutex_);
    frame_.image = image;
    frame_.jpeg.reset();
    frame_.size = image.size();
    frame_.preview = preview;
    frame_.previewRotate = previewRotate;
    frame_.previewRegion = {};
    frame_.sequence = ++sequence_;
    frame_.arrived = arrived;
  }
  published_.notify_all();
}

void FrameSlot::PublishCompressed(const CompressedFrame& frame, const cv::Mat& preview,
                                  int previewRotate, Clock::time_point arrived,
                                  const cv::Rect& previewRegion) {
  {
    std::lock_guard lock(mutex_);
    frame_.image.release();
    frame_.jpeg = frame.bytes;
    frame_.size = cv::Size(frame.size.width, frame.size.height);
    frame_.preview = preview;
    frame_.previewRotate = previewRotate;
    frame_.previewRegion = preview.empty() ? cv::Rect() : previewRegion;
    frame_.sequence = ++sequence_;
    frame_.arrived = arrived;
  }
  published_.notify_all();
}

FrameSlot::Frame FrameSlot::Latest() const {
  std::lock_guard lock(mutex_);
  return frame_;
}

bool FrameSlot::RewriteUnshared(const cv::Mat& image, int holders,
                                const std::function<void(cv::Mat&)>& write) {
  std::lock_guard lock(mutex_);
  if (image.u == nullptr || frame_.image.u != image.u || frame_.image.data != image.data)
    return false;
  // A reader's release is an atomic decrement: read the count as one.
  if (__atomic_load_n(&image.u->refcount, __ATOMIC_ACQUIRE) != holders + 1) return false;
  write(frame_.image);
  return true;
}

bool FrameSlot::WaitNewer(uint64_t after, std::chrono::milliseconds timeout, Frame& out) const {
  std::unique_lock lock(mutex_);
  if (!published_.wait_for(lock, timeout,
                           [&] { return !frame_.Empty() && frame_.sequence > after; })) {
    return false;
  }
  out = frame_;
  return true;
}

void FrameSlot::Clear() {
  std::lock_guard lock(mutex_);
  frame_.image.release();
  frame_.jpeg.reset();
  frame_.size = {};
  frame_.preview.release();
  frame_.previewRegion = {};
}

cv::Mat FullFrame(const FrameSlot::Frame& frame, std::string* error) {
  if (!frame.image.empty() || frame.jpeg == nullptr) {
    if (frame.image.empty() && error != nullptr) *error = "no frame";
    return frame.image;
  }
  v4l2::FrameDecoder decoder;
  cv::Mat image;
  if (!decoder.Decode(V4L2_PIX_FMT_MJPEG, frame.jpeg->data(), frame.jpeg->size(), frame.size.width,
                      frame.size.height, 0, image, error))
    return {};
  return image;
}

cv::Mat SmallFrame(const FrameSlot::Frame& frame, cv::Size box) {
  if (frame.jpeg != nullptr && frame.image.empty()) {
    v4l2::FrameDecoder decoder;
    cv::Mat small;
    if (!decoder.DecodeMjpegToFit(frame.jpeg->data(), frame.jpeg->size(), box.width, box.height,
                                  small))
      return {};
    return small;
  }
  if (frame.image.empty()) return {};
  const cv::Size fit = v4l2::FitInside(frame.image.size(), box);
  if (fit.width >= frame.image.cols) return frame.image;
  cv::Mat small;
  cv::resize(frame.image, small, fit, 0, 0, cv::INTER_AREA);
  return small;
}

CameraView::CameraView() = default;

CameraView::~CameraView() {
  {
    std::lock_guard lock(searchMutex_);
    stopSearching_ = true;
  }
  searchWake_.notify_all();
  if (searcher_.joinable()) searcher_.join();
}

CameraView::Zoom CameraView::CurrentZoom() const {
  std::lock_guard lock(mutex_);
  return zoom_;
}

void CameraView::ZoomBy(double factor) {
  std::lock_guard lock(mutex_);
  const double from = zoom_.fit && paintedScale_ > 0 ? paintedScale_ : zoom_.scale;
  zoom_.fit = false;
  zoom_.scale = std::clamp(from * factor, kSmallestScale, kLargestScale);
}

void CameraView::ZoomIn() {
  ZoomBy(kZoomStep);
}
void CameraView::ZoomOut() {
  ZoomBy(1.0 / kZoomStep);
}

void CameraView::OriginalSize() {
  std::lock_guard lock(mutex_);
  zoom_ = {false, 1.0};
}

void CameraView::FitToWindow() {
  std::lock_guard lock(mutex_);
  zoom_ = {true, 1.0};
}

void CameraView::SetPaintedScale(double scale) {
  std::lock_guard lock(mutex_);
  paintedScale_ = scale;
}

CropPercent CameraView::Crop() const {
  std::lock_guard lock(mutex_);
  return crop_;
}

void CameraView::SetCrop(const CropPercent& crop) {
  std::lock_guard lock(mutex_);
  crop_ = crop;
}

double CameraView::PreviewFactor() const {
  std::lock_guard lock(mutex_);
  return previewFactor_;
}

void CameraView::SetPreviewFactor(double factor) {
  std::lock_guard lock(mutex_);
  previewFactor_ = factor;
}

void CameraView::SetPreviewRegion(const cv::Rect2d& region) {
  std::lock_guard lock(mutex_);
  previewRegion_ = region;
}

void CameraView::SetLook(const PreviewLook& look) {
  std::lock_guard lock(mutex_);
  if (look.autoCrop != look_.autoCrop) {
    outlines_.clear();
    nextOutlineSearch_ = {};
  }
  look_ = look;
}

cv::Mat CameraView::PreviewNow(const FrameSlot::Frame& frame, cv::Size box, int& rotate) const {
  const PreviewLook look = CurrentPreviewSettings().look;
  if (SwapsAxes(look.rotate)) box = cv::Size(box.height, box.width);
  return PreviewOrNothing([&] {
    cv::Mat small = SmallFrame(frame, box);
    if (small.empty()) return cv::Mat();
    rotate = look.rotate;
    return AsLooked(std::move(small), look);
  });
}

std::vector<PageOutline> CameraView::Outlines() const {
  std::lock_guard lock(mutex_);
  return outlines_;
}

CameraView::PreviewSettings CameraView::CurrentPreviewSettings() const {
  std::lock_guard lock(mutex_);
  return {previewFactor_, look_, crop_, previewRegion_};
}

void CameraView::PublishFrame(const cv::Mat& frame) {
  const auto arrived = FrameSlot::Clock::now();
  const PreviewSettings settings = CurrentPreviewSettings();
  const double factor = settings.factor;
  // Made here, so the GUI thread never resizes or converts a full frame.
  cv::Mat preview;
  if (factor > 0.0) {
    preview = PreviewOrNothing([&] {
      cv::Mat scaled;
      if (factor >= 1.0) {
        scaled = frame;
      } else {
        const cv::Size size(std::max(1, static_cast<int>(frame.cols * factor)),
                            std::max(1, static_cast<int>(frame.rows * factor)));
        cv::resize(frame, scaled, size, 0, 0, cv::INTER_AREA);
      }
      // The copy made for the screen is mostly about the search's own size
      // already: searched there, a large frame is not scaled down twice.
      const bool copyLargeEnough = std::max(scaled.cols, scaled.rows) >= kOutlineLongSide / 2;
      return FinishPreview(
          scaled, [&] { return copyLargeEnough ? scaled : frame; }, settings.look);
    });
  }
  frames.Publish(frame, preview, preview.empty() ? 0 : settings.look.rotate, arrived);
  if (factor > 0.0) SearchAfterPublishing(settings);
}

void CameraView::PublishCompressed(const CompressedFrame& frame) {
  const auto arrived = FrameSlot::Clock::now();
  const PreviewSettings settings = CurrentPreviewSettings();
  const double factor = settings.factor;
  cv::Mat preview;
  cv::Rect region;
  if (factor > 0.0 && frame.bytes != nullptr) {
    preview = PreviewOrNothing([&] {
      if (decoder_ == nullptr) decoder_ = std::make_unique<v4l2::FrameDecoder>();
      const cv::Rect part =
          PartOfFrame(settings.region, cv::Size(frame.size.width, frame.size.height));
      if (!part.empty()) return PreviewOfPart(frame, settings, part, region);
      const std::vector<uint8_t>& bytes = *frame.bytes;
      const int width = std::max(1, static_cast<int>(std::ceil(frame.size.width * factor)));
      const int height = std::max(1, static_cast<int>(std::ceil(frame.size.height * factor)));
      cv::Mat scaled;
      bool decoded = false;
      if (factor >= 1.0) {
        decoded = decoder_->Decode(V4L2_PIX_FMT_MJPEG, bytes.data(), bytes.size(), frame.size.width,
                                   frame.size.height, 0, scaled);
      } else {
        decoded = decoder_->DecodeMjpegToFit(bytes.data(), bytes.size(), width, height, scaled);
      }
      if (!decoded) return cv::Mat();
      const bool copyLargeEnough = std::max(scaled.cols, scaled.rows) >= kOutlineLongSide / 2;
      return FinishPreview(
          scaled,
          [&] {
            if (copyLargeEnough) return scaled;
            cv::Mat larger;
            const int side = static_cast<int>(kOutlineLongSide);
            if (!decoder_->DecodeMjpegToFit(bytes.data(), bytes.size(), side, side, larger))
              return scaled;
            return larger;
          },
          settings.look);
    });
  }
  frames.PublishCompressed(frame, preview, preview.empty() ? 0 : settings.look.rotate, arrived,
                           region);
  if (factor > 0.0 && frame.bytes != nullptr) SearchAfterPublishing(settings);
}

cv::Mat CameraView::PreviewOfPart(const CompressedFrame& frame, const PreviewSettings& settings,
                                  const cv::Rect& part, cv::Rect& covered) {
  const std::vector<uint8_t>& bytes = *frame.bytes;
  cv::Mat scaled;
  cv::Rect decoded;
  if (!decoder_->DecodeMjpegRegion(bytes.data(), bytes.size(), part, std::min(1.0, settings.factor),
                                   scaled, decoded))
    return {};
  PreviewLook look = settings.look;
  if (NormalizeColorMode(look.colorMode) == kColorModeOtsu) {
    // The capture thresholds the whole frame at one level; the part shown
    // takes that level from a small copy of the whole, not from itself.
    cv::Mat small;
    if (!decoder_->DecodeMjpegToFit(bytes.data(), bytes.size(), std::max(1, frame.size.width / 8),
                                    std::max(1, frame.size.height / 8), small))
      return {};
    cv::Mat ignored;
    const double level =
        cv::threshold(ToGrey(small), ignored, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
    cv::threshold(ToGrey(scaled), scaled, level, 255, cv::THRESH_BINARY);
    look.colorMode = kColorModeColor;
  }
  // The page search looks at the whole frame, whatever is on screen.
  cv::Mat preview = FinishPreview(
      scaled,
      [&] {
        cv::Mat whole;
        const int side = static_cast<int>(kOutlineLongSide);
        if (!decoder_->DecodeMjpegToFit(bytes.data(), bytes.size(), side, side, whole))
          return cv::Mat();
        return whole;
      },
      look);
  covered = decoded;
  return preview;
}

cv::Mat CameraView::FinishPreview(cv::Mat scaled, const std::function<cv::Mat()>& searchCopy,
                                  const PreviewLook& look) {
  searchDue_ = OutlineSearchDue(look);
  if (searchDue_) searchFrame_ = searchCopy();
  return AsLooked(std::move(scaled), look);
}

bool CameraView::OutlineSearchDue(const PreviewLook& look) const {
  if (!SearchForCrop(look.autoCrop)) return false;
  std::lock_guard lock(mutex_);
  return !searchPending_ && std::chrono::steady_clock::now() >= nextOutlineSearch_;
}

void CameraView::SearchAfterPublishing(const PreviewSettings& settings) {
  const cv::Mat frame = std::exchange(searchFrame_, cv::Mat());
  const bool due = std::exchange(searchDue_, false);
  const auto search = SearchForCrop(settings.look.autoCrop);
  if (!search || (due && frame.empty())) {
    std::lock_guard lock(mutex_);
    outlines_.clear();
    return;
  }
  if (!due) return;
  {
    std::lock_guard lock(mutex_);
    searchPending_ = true;
  }
  {
    std::lock_guard lock(searchMutex_);
    searchJob_ = SearchJob{frame, *search, settings.look, settings.crop};
    if (!searcher_.joinable()) searcher_ = std::thread([this] { RunSearches(); });
  }
  searchWake_.notify_one();
}

void CameraView::RunSearches() {
  while (true) {
    SearchJob job;
    {
      std::unique_lock lock(searchMutex_);
      searchWake_.wait(lock, [&] { return stopSearching_ || searchJob_.has_value(); });
      if (stopSearching_) return;
      job = std::move(*searchJob_);
      searchJob_.reset();
    }
    PreviewOrNothing([&] {
      FindOutlines(job.frame, job.search, job.look, job.crop);
      return cv::Mat();
    });
    std::lock_guard lock(mutex_);
    searchPending_ = false;
  }
}

void CameraView::FindOutlines(const cv::Mat& frame, PageSearch search, const PreviewLook& look,
                              const CropPercent& crop) {
  const auto start = std::chrono::steady_clock::now();
  // As the capture does it: the automatic crop looks inside the custom frame.
  const cv::Rect region = CustomCropRect(frame.size(), crop);
  const double scale = std::min(1.0, kOutlineLongSide / std::max(region.width, region.height));
  cv::Mat small;
  cv::resize(frame(region), small, ScaledSize(region.size(), scale, scale), 0, 0, cv::INTER_AREA);
  cv::Mat signature;
  cv::resize(ToGrey(small), signature, cv::Size(kSignatureWidth, kSignatureHeight), 0, 0,
             cv::INTER_AREA);
  const bool sameQuestion = look.autoCrop == searchedLook_.autoCrop &&
                            look.rotate == searchedLook_.rotate && crop == searchedCrop_;
  if (sameQuestion && !searchedSignature_.empty() && start - searchedAt_ < kLongestStill) {
    cv::Mat difference;
    cv::absdiff(signature, searchedSignature_, difference);
    const int changed = cv::countNonZero(difference > kChangedCellLevels);
    if (changed <= kChangedCellShare * signature.total()) {
      std::lock_guard lock(mutex_);
      nextOutlineSearch_ = start + kOutlineInterval;
      return;
    }
  }
  searchedSignature_ = signature;
  searchedLook_ = look;
  searchedCrop_ = crop;
  searchedAt_ = start;
  std::vector<PageOutline> found;
  const double toFrameX = static_cast<double>(region.width) / small.cols;
  const double toFrameY = static_cast<double>(region.height) / small.rows;
  for (const PageQuad& quad : FindPages(small, search)) {
    PageOutline outline;
    for (size_t i = 0; i < outline.size(); ++i) {
      outline[i] =
          cv::Point2f(static_cast<float>((region.x + quad.corners[i].x * toFrameX) / frame.cols),
                      static_cast<float>((region.y + quad.corners[i].y * toFrameY) / frame.rows));
    }
    found.push_back(outline);
  }
  const auto took = std::chrono::steady_clock::now() - start;
  std::lock_guard lock(mutex_);
  nextOutlineSearch_ = start + std::max<std::chrono::steady_clock::duration>(
                                   kOutlineInterval, took * kOutlineCostFactor);
  // A look changed while this search ran: its pages belong to the old one.
  if (look_.autoCrop == look.autoCrop) outlines_ = std::move(found);
}

}  // namespace tavrin::lens
