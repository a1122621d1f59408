// What a camera shares with its live preview: the newest frame, and the view
// (zoom, the user-drawn crop frame, the look of the capture settings).
// Threads: the capture thread publishes frames; captures, continuous capture
// and the preview's timer (GUI thread) read them; any library caller and the
// preview's mouse handlers change the view.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "lens/src/device.h"
#include "lens/src/stages/pipeline.h"

namespace tavrin::lens::v4l2 {
class FrameDecoder;
}

namespace tavrin::lens {

enum class PageSearch;

// The newest frame only: a slow reader skips frames instead of queueing them.
class FrameSlot {
 public:
  struct Frame {
    cv::Mat image;  // full size, BGR, never written after publishing; empty for a JPEG frame
    std::shared_ptr<const std::vector<uint8_t>> jpeg;  // the frame still compressed, or null
    cv::Size size;                                     // of the full frame, either way
    cv::Mat preview;  // the frame scaled, coloured and turned for the preview (BGRA), or empty
    int previewRotate = 0;  // the rotation the preview was turned by
    // The part of the frame the preview shows (unturned frame pixels); empty
    // when it shows all of it.
    cv::Rect previewRegion;
    uint64_t sequence = 0;
    std::chrono::steady_clock::time_point arrived;  // when the camera handed it over

    bool Empty() const { return size.width <= 0; }
  };

  using Clock = std::chrono::steady_clock;
  void Publish(const cv::Mat& image, const cv::Mat& preview, int previewRotate = 0,
               Clock::time_point arrived = Clock::now());
  void PublishCompressed(const CompressedFrame& frame, const cv::Mat& preview,
                         int previewRotate = 0, Clock::time_point arrived = Clock::now(),
                         const cv::Rect& previewRegion = {});
  Frame Latest() const;
  // Runs write on the published image when it is image and nobody holds
  // its pixels but the slot and holders other Mats: every reader takes it
  // under the same lock, so none sees the change half made. False, without
  // writing, otherwise. The frame keeps its sequence number until it is
  // published again.
  bool RewriteUnshared(const cv::Mat& image, int holders,
                       const std::function<void(cv::Mat&)>& write);
  // False when no frame newer than after came within timeout.
  bool WaitNewer(uint64_t after, std::chrono::milliseconds timeout, Frame& out) const;
  // Drops the frame (camera closed or size changed); sequence numbers go on.
  void Clear();

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable published_;
  Frame frame_;
  uint64_t sequence_ = 0;
};

// The frame at full size: the picture itself, or its JPEG decoded. Empty
// with error set when there is none or it does not decode.
cv::Mat FullFrame(const FrameSlot::Frame& frame, std::string* error = nullptr);
// A copy of the frame that covers box (keeping the aspect), decoded at a
// fraction of the full size where the frame is compressed.
cv::Mat SmallFrame(const FrameSlot::Frame& frame, cv::Size box);

inline constexpr double kZoomStep = 1.25;

// What the capture settings do to a picture, as far as the live preview
// shows it.
struct PreviewLook {
  int colorMode = 0;
  int rotate = 0;
  int autoCrop = 0;
};

// A page an automatic crop would cut out: its corners (top left, top right,
// bottom right, bottom left) as fractions of the unturned frame.
using PageOutline = std::array<cv::Point2f, 4>;

class CameraView {
 public:
  CameraView();
  ~CameraView();
  CameraView(const CameraView&) = delete;
  CameraView& operator=(const CameraView&) = delete;

  FrameSlot frames;

  struct Zoom {
    bool fit = true;     // fit to the window (the default)
    double scale = 1.0;  // screen pixels per frame pixel when not fitting
  };
  Zoom CurrentZoom() const;
  void ZoomIn();
  void ZoomOut();
  void OriginalSize();
  void FitToWindow();
  // The scale the preview last painted at, so a zoom step starts from what
  // the user sees.
  void SetPaintedScale(double scale);

  CropPercent Crop() const;
  void SetCrop(const CropPercent& crop);

  // Scale at which the capture thread prepares preview frames; 0 = none.
  double PreviewFactor() const;
  void SetPreviewFactor(double factor);
  // The part of the frame on screen, in fractions of the unturned frame. A
  // JPEG frame's preview copy is then decoded for that part only (zoomed
  // in, most of a large frame is off screen); {0, 0, 1, 1} is all of it.
  void SetPreviewRegion(const cv::Rect2d& region);

  // A preview copy of frame, made now on the caller's thread to fit box (as
  // shown, turned), coloured and turned as the capture will be, with the
  // turn it got; empty when it does not decode. For a first picture that
  // need not wait for the camera's next frame.
  cv::Mat PreviewNow(const FrameSlot::Frame& frame, cv::Size box, int& rotate) const;

  void SetLook(const PreviewLook& look);
  // The pages the automatic crop finds in a recent frame; empty without one.
  std::vector<PageOutline> Outlines() const;

  // The capture thread's entry: publishes the frame with a preview copy at
  // the preview's scale, in the chosen colour mode and rotation, and now and
  // then looks for the pages the automatic crop would cut out.
  void PublishFrame(const cv::Mat& frame);
  // The same for a JPEG frame, kept compressed: only the preview's copy is
  // decoded, straight to its size, and nothing at all while no preview is
  // shown.
  void PublishCompressed(const CompressedFrame& frame);

 private:
  // What the preview copy of one frame is made with, read at once.
  struct PreviewSettings {
    double factor = 0.0;
    PreviewLook look;
    CropPercent crop;
    cv::Rect2d region{0, 0, 1, 1};
  };
  PreviewSettings CurrentPreviewSettings() const;
  void ZoomBy(double factor);
  // The preview's copy of a decoded picture (the frame or a scaled copy of
  // it): coloured and turned as the capture will be. When a page search is
  // due it keeps searchCopy's picture for SearchAfterPublishing.
  cv::Mat FinishPreview(cv::Mat scaled, const std::function<cv::Mat()>& searchCopy,
                        const PreviewLook& look);
  // The preview copy of the part of a JPEG frame on screen; empty when the
  // frame does not decode.
  cv::Mat PreviewOfPart(const CompressedFrame& frame, const PreviewSettings& settings,
                        const cv::Rect& part, cv::Rect& covered);
  // Hands the copy kept for a due page search to the search's own thread
  // once the frame is out: neither the preview's picture nor the camera's
  // next frame waits for the search.
  void SearchAfterPublishing(const PreviewSettings& settings);
  bool OutlineSearchDue(const PreviewLook& look) const;
  void RunSearches();
  // frame is the frame or a scaled copy of it. The search is left out, and
  // the pages found last kept, while the picture has not changed since
  // then; it runs again now and then all the same.
  void FindOutlines(const cv::Mat& frame, PageSearch search, const PreviewLook& look,
                    const CropPercent& crop);

  mutable std::mutex mutex_;  // guards everything below
  Zoom zoom_;
  double paintedScale_ = 0.0;
  CropPercent crop_;
  double previewFactor_ = 0.0;
  cv::Rect2d previewRegion_{0, 0, 1, 1};
  PreviewLook look_;
  std::vector<PageOutline> outlines_;
  // When the page search may run again; a new look lets it run at once.
  std::chrono::steady_clock::time_point nextOutlineSearch_;

  // A search handed over and not yet done: no new copy is made for one.
  bool searchPending_ = false;

  std::unique_ptr<v4l2::FrameDecoder> decoder_;  // capture thread only, made on first use
  // Capture thread only: the picture a due page search is to look at.
  bool searchDue_ = false;
  cv::Mat searchFrame_;

  // The search's thread, started with the first search, and what it is
  // handed: the newest copy only.
  struct SearchJob {
    cv::Mat frame;
    PageSearch search;
    PreviewLook look;
    CropPercent crop;
  };
  std::mutex searchMutex_;
  std::condition_variable searchWake_;
  std::optional<SearchJob> searchJob_;
  bool stopSearching_ = false;
  std::thread searcher_;
  // Search thread only: a small grey copy of the picture last searched,
  // with what it was searched for, and when.
  cv::Mat searchedSignature_;
  PreviewLook searchedLook_;
  CropPercent searchedCrop_;
  std::chrono::steady_clock::time_point searchedAt_;
};

}  // namespace tavrin::lens
