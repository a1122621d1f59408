#include "lens/src/virtual/virtual_device.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "lens/src/errors.h"
#include "lens/src/memory/large_picture.h"

namespace tavrin::lens {

namespace {

constexpr double kFieldWidthMm = 420.0;
constexpr double kMmPerInch = 25.4;
constexpr int kWebcamDpi = 96;
// How long the hand turning a book's page is in the picture.
constexpr double kHandSweepSeconds = 1.5;
// A reader who waits for the shot turns the page this long after it: the
// shot has taken its frame by then.
constexpr double kAfterShotSeconds = 0.3;

std::vector<MediaType> DefaultMediaTypes(const VirtualEntry& camera) {
  if (!camera.sizes.empty()) return {{"MJPG", camera.sizes}, {"YUY2", camera.sizes}};
  if (camera.scene == Scene::kWebcam) {
    const std::vector<FrameSize> sizes = {{1280, 720}, {640, 480}, {320, 240}};
    return {{"MJPG", sizes}, {"YUY2", sizes}};
  }
  // Uncompressed frames need more bandwidth, so the large sizes come only
  // compressed, as on the real cameras.
  const std::vector<FrameSize> small = {{2592, 1944}, {2048, 1536}, {1920, 1080}, {1600, 1200},
                                        {1280, 720},  {1024, 768},  {1024, 600},  {640, 480}};
  std::vector<FrameSize> large = {{4912, 3680}, {3264, 2448}};
  large.insert(large.end(), small.begin(), small.end());
  return {{"MJPG", large}, {"YUY2", small}};
}

// Frames handed out are written again once their readers (the preview,
// a capture) have let go of them: refilling memory already mapped costs a
// copy, a fresh full-size frame its page faults as well.
constexpr size_t kReusedFrames = 2;

// Larger frames come more slowly, as they do over USB.
std::chrono::milliseconds FrameInterval(FrameSize size) {
  const long pixels = static_cast<long>(size.width) * size.height;
  if (pixels <= 2'100'000) return std::chrono::milliseconds(66);
  if (pixels <= 9'000'000) return std::chrono::milliseconds(125);
  return std::chrono::milliseconds(250);
}

struct ControlRange {
  VirtualControl id;
  const char* name;
  ControlGroup group;
  int minimum;
  int maximum;
  int defaultValue;
};

constexpr ControlRange kControls[] = {
    {kBrightness, "Brightness", ControlGroup::kImage, -100, 100, 0},
    {kContrast, "Contrast", ControlGroup::kImage, 0, 200, 100},
    {kSaturation, "Saturation", ControlGroup::kImage, 0, 200, 100},
    {kExposure, "Exposure", ControlGroup::kDevice, -100, 100, 0},
    {kFocus, "Focus", ControlGroup::kDevice, 0, 100, 50},
};

const ControlRange* FindControl(int id) {
  for (const auto& control : kControls) {
    if (control.id == id) return &control;
  }
  return nullptr;
}

}  // namespace

VirtualDevice::VirtualDevice(VirtualEntry camera, std::string name, int ordinal)
    : entry_(std::move(camera)),
      name_(std::move(name)),
      key_("virtual:" + entry_.entry + "#" + std::to_string(ordinal)),
      mediaTypes_(DefaultMediaTypes(entry_)) {
  for (const auto& control : kControls) controls_[control.id] = control.defaultValue;
  failuresLeft_ = entry_.failCaptures;
}

VirtualDevice::~VirtualDevice() {
  Stop();
}

int VirtualDevice::OwnDpi(FrameSize size) const {
  if (entry_.dpiAtFirstSize > 0) {
    const int firstWidth = mediaTypes_.front().sizes.front().width;
    return static_cast<int>(std::lround(static_cast<double>(entry_.dpiAtFirstSize) * size.width /
                                        std::max(1, firstWidth)));
  }
  if (entry_.scene == Scene::kWebcam) return kWebcamDpi;
  return static_cast<int>(std::lround(size.width * kMmPerInch / kFieldWidthMm));
}

std::vector<ControlInfo> VirtualDevice::Controls() const {
  std::vector<ControlInfo> list;
  for (const auto& control : kControls) {
    ControlInfo info;
    info.id = control.id;
    info.name = control.name;
    info.group = control.group;
    info.minimum = control.minimum;
    info.maximum = control.maximum;
    info.defaultValue = control.defaultValue;
    info.value = controls_[control.id];
    list.push_back(std::move(info));
  }
  return list;
}

int VirtualDevice::ControlValue(int id) const {
  return FindControl(id) != nullptr ? controls_[id].load() : 0;
}

bool VirtualDevice::SetControl(int id, int value) {
  const ControlRange* control = FindControl(id);
  if (control == nullptr || value < control->minimum || value > control->maximum) return false;
  controls_[id] = value;
  return true;
}

PictureControls VirtualDevice::CurrentControls() const {
  return {controls_[kBrightness], controls_[kContrast], controls_[kSaturation],
          controls_[kExposure], controls_[kFocus]};
}

int VirtualDevice::Start(int mediaType, FrameSize size, FrameSink sink) {
  if (mediaType < 0 || mediaType >= static_cast<int>(mediaTypes_.size())) return kErrNoSuchFormat;
  const auto& sizes = mediaTypes_[mediaType].sizes;
  if (std::find(sizes.begin(), sizes.end(), size) == sizes.end()) return kErrNoSuchFormat;
  if (entry_.inUse) return kErrDevice;
  worker_.Start([this, size, sink = std::move(sink)]() mutable { Run(size, std::move(sink)); });
  return kOk;
}

void VirtualDevice::Stop() {
  worker_.Stop();
}

int VirtualDevice::CheckCapture() {
  // A reader waiting for the shot counts only a shot of the still page:
  // the frame it takes is the one last sent, or a newer one of the same
  // page, since the page is held at the end of its time until then.
  if (const int page = stillPage_.load(); page >= 0) {
    shotAt_ = std::chrono::steady_clock::now().time_since_epoch().count();
    shotPage_ = page;
  }
  int left = failuresLeft_.load();
  while (left > 0) {
    if (failuresLeft_.compare_exchange_weak(left, left - 1)) return kErrCaptureFault;
  }
  return kOk;
}

void VirtualDevice::Run(FrameSize size, FrameSink sink) {
  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  const auto interval = FrameInterval(size);
  auto next = started;
  uint64_t frameNumber = 0;
  // The scene as rendered; once it has gone out as a frame of its own, it
  // carries that frame's stamp, and underStamp the scene's own pixels
  // there. Where no hand ever comes, it is let go after that frame: each
  // frame is then the last one with a new stamp, and a large camera keeps
  // two frames in memory instead of three.
  cv::Mat base;
  cv::Mat last;  // the last frame sent, while base is let go
  const bool handsCome = entry_.scene == Scene::kBook && entry_.turnSeconds > 0;
  std::array<cv::Mat, kReusedFrames> reused;
  // A frame nobody reads any more, or a new one while all are read.
  const auto freeFrame = [&]() -> cv::Mat {
    for (cv::Mat& frame : reused) {
      if (frame.empty()) frame = NewPicture(size.height, size.width, CV_8UC3, kLargeFrameBytes);
      if (OnlyHolder(frame)) return frame;
    }
    return NewPicture(size.height, size.width, CV_8UC3, kLargeFrameBytes);
  };
  const cv::Rect stampArea = FrameStampArea({size.width, size.height});
  cv::Mat underStamp;
  int basePage = -1;
  PictureControls baseControls;
  // The scene's own clock: the wall clock, except that a reader waiting
  // for a shot holds it at the end of the page's time.
  double seconds = 0.0;
  auto lastTick = started;
  stillPage_ = -1;
  shotPage_ = -1;
  while (true) {
    if (worker_.SleepUntil(next)) return;
    const auto now = Clock::now();
    const double step = std::chrono::duration<double>(now - lastTick).count();
    lastTick = now;
    if (entry_.waitForShot && entry_.turnSeconds > 0) {
      const int showing = static_cast<int>(seconds / entry_.turnSeconds);
      const double end = (showing + 1.0) * entry_.turnSeconds;
      const bool shot =
          shotPage_ == showing &&
          std::chrono::duration<double>(now.time_since_epoch() - Clock::duration(shotAt_.load()))
                  .count() >= kAfterShotSeconds;
      seconds = showing > 0 && !shot ? std::min(seconds + step, std::nextafter(end, 0.0))
                                     : seconds + step;
    } else {
      seconds += step;
    }
    int page = entry_.turnSeconds > 0 ? static_cast<int>(seconds / entry_.turnSeconds) : 0;
    // A finite stack of pages: the last one stays, as when a person stops.
    if (entry_.pageCount > 0) page = std::min(page, entry_.pageCount - 1);
    // The book's pages are turned by a hand that sweeps over it; the
    // spread changes half way through.
    double hand = -1.0;
    if (entry_.scene == Scene::kBook && page > 0) {
      const double sweep = std::min(kHandSweepSeconds, 0.4 * entry_.turnSeconds);
      const double since = seconds - page * entry_.turnSeconds;
      if (since < sweep) hand = since / sweep;
      if (hand >= 0 && hand < 0.5) --page;
    }
    const PictureControls controls = CurrentControls();
    // The scene only changes with a page or a control, so it is rendered
    // once and each frame only adds its stamp.
    if (basePage < 0 || page != basePage || !(controls == baseControls)) {
      base = RenderScene(entry_.scene, size, page);
      ApplyPictureControls(base, controls);
      basePage = page;
      baseControls = controls;
      underStamp.release();
      last.release();
    }
    cv::Mat frame;
    bool stamped = false;
    if (underStamp.empty() && hand < 0) {
      // The first frame of a new scene is the scene itself, not a copy: it
      // comes that much sooner.
      underStamp = base(stampArea).clone();
      frame = base;
    } else if (!handsCome && !last.empty() && sink.rewrite) {
      // The scene has not changed, only the stamp: while nobody reads the
      // frame sent last, it takes the new stamp itself, and the camera
      // keeps one full-size frame instead of two.
      const int ownHolders =
          1 + static_cast<int>(std::count_if(reused.begin(), reused.end(),
                                             [&](const cv::Mat& m) { return m.u == last.u; }));
      stamped = sink.rewrite(last, ownHolders, [&](cv::Mat& shown) {
        underStamp.copyTo(shown(stampArea));
        DrawFrameStamp(shown, frameNumber, seconds);
      });
      if (stamped) {
        frame = last;
        // A spare frame made while a reader held the last one goes again.
        for (cv::Mat& spare : reused) {
          if (spare.u != last.u && OnlyHolder(spare)) spare.release();
        }
      }
    }
    if (frame.empty()) {
      frame = freeFrame();
      (base.empty() ? last : base).copyTo(frame);
      if (!underStamp.empty()) underStamp.copyTo(frame(stampArea));
      if (hand >= 0) DrawHand(frame, hand);
    }
    if (!stamped) DrawFrameStamp(frame, frameNumber, seconds);
    ++frameNumber;
    if (!handsCome) {
      last = frame;
      base.release();
    }
    sink(frame);
    // Only once the frame is out: a shot taken now gets this frame.
    stillPage_ = hand < 0 ? page : -1;
    next += interval;
    if (const auto after = Clock::now(); next < after) next = after;
  }
}

}  // namespace tavrin::lens
