// The seam between the device list and the back-ends that feed it (virtual
// cameras, V4L2). A back-end enumerates devices and watches for changes; a
// device describes its formats and controls and runs one capture thread while
// started.
// Threads: Backend and Device calls come from library callers (serialised
// per device by the camera that owns it); a frame sink runs on the device's
// capture thread; a change notice runs on the back-end's watch thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <opencv2/core.hpp>

namespace tavrin::lens {

struct FrameSize {
  int width = 0;
  int height = 0;
  bool operator==(const FrameSize&) const = default;
};

struct MediaType {
  std::string name;  // "MJPG", "YUY2", ...
  std::vector<FrameSize> sizes;
};

enum class ControlGroup { kImage, kDevice };

// Which widget the settings window gives a control: a slider, a check box or
// a list of choices.
enum class ControlType { kInteger, kBoolean, kMenu };

struct ControlChoice {
  int value = 0;     // what the control takes
  std::string name;  // what the list shows
};

struct ControlInfo {
  int id = 0;
  std::string name;  // shown in the settings window, also its objectName
  ControlGroup group = ControlGroup::kImage;
  int minimum = 0;
  int maximum = 0;
  int step = 1;
  int defaultValue = 0;
  ControlType type = ControlType::kInteger;
  std::vector<ControlChoice> choices;  // menus only: the entries the device has
  int value = 0;                       // when the list was read
  // An automatic mode owns the control for now (shown greyed); it may change
  // with any other control, so the list is read again after each change.
  bool inactive = false;
  bool readOnly = false;
};

// A JPEG frame as the camera sent it, kept whole: decoding it at full size
// is left to a capture, and the preview decodes it straight to its own size.
struct CompressedFrame {
  std::shared_ptr<const std::vector<uint8_t>> bytes;  // never written after it is handed on
  FrameSize size;
};

// Where a device hands its frames. A device that receives JPEG frames hands
// them on still compressed when the receiver takes them so; otherwise each
// frame comes as CV_8UC3 BGR, not touched afterwards.
struct FrameSink {
  std::function<void(const cv::Mat& frame)> decoded;
  std::function<void(const CompressedFrame& frame)> compressed;  // may be empty

  FrameSink() = default;
  // A plain handler of decoded frames is a sink too.
  template <typename Decoded>
  requires(std::is_invocable_v<Decoded&, const cv::Mat&> &&
           !std::is_same_v<std::remove_cvref_t<Decoded>, FrameSink>)
      FrameSink(Decoded decodedSink)  // NOLINT(google-explicit-constructor)
      : decoded(std::move(decodedSink)) {}
  FrameSink(std::function<void(const cv::Mat&)> decodedSink,
            std::function<void(const CompressedFrame&)> compressedSink)
      : decoded(std::move(decodedSink)), compressed(std::move(compressedSink)) {}

  void operator()(const cv::Mat& frame) const { decoded(frame); }

  // Lets a device that sends the same picture again with a small change
  // (a virtual camera's frame stamp) make that change in the frame it
  // handed on last, instead of in a copy: write runs on it, under the
  // receiver's lock, only when nobody holds the frame but the receiver and
  // the device's own ownHolders Mats; false when someone else does (a
  // capture, a search), and then the device makes a new frame. The device
  // hands the frame on again afterwards. May be empty: false then.
  using Rewrite = std::function<void(cv::Mat& frame)>;
  std::function<bool(const cv::Mat& frame, int ownHolders, const Rewrite& write)> rewrite;
};

class Device {
 public:
  virtual ~Device() = default;

  virtual std::string Name() const = 0;
  // Identity that survives a rescan, so a camera keeps its settings.
  virtual std::string Key() const = 0;
  virtual std::vector<MediaType> MediaTypes() const = 0;
  // The camera's own resolution at that size.
  virtual int OwnDpi(FrameSize size) const = 0;

  virtual std::vector<ControlInfo> Controls() const = 0;
  virtual int ControlValue(int id) const = 0;
  virtual bool SetControl(int id, int value) = 0;
  // The settings window closed: keeps the values set so far where the next
  // run finds them.
  virtual void SaveControls() {}

  // Starts the capture thread at that format; returns a LensStatus.
  virtual int Start(int mediaType, FrameSize size, FrameSink sink) = 0;
  // Joins the capture thread; the sink is not called after it returns.
  virtual void Stop() = 0;

  // Asked before every capture to file: a LensStatus, non-zero fails it.
  virtual int CheckCapture() { return 0; }
};

class Backend {
 public:
  virtual ~Backend() = default;
  virtual std::vector<std::unique_ptr<Device>> Enumerate() = 0;
  // changed runs on the back-end's own thread whenever its list may differ.
  virtual void StartWatching(std::function<void()> changed) = 0;
  // Joins the watch thread; changed is not called after it returns.
  virtual void StopWatching() = 0;
};

// Every back-end of this build that the environment allows.
std::vector<std::unique_ptr<Backend>> MakeBackends();

}  // namespace tavrin::lens
