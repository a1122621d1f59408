#include "lens/src/v4l2/v4l2_backend.h"

#include <linux/videodev2.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "lens/src/errors.h"
#include "lens/src/v4l2/decode.h"
#include "lens/src/v4l2/discovery.h"
#include "lens/src/v4l2/lens_conf.h"
#include "lens/src/v4l2/replay_kernel.h"
#include "lens/src/v4l2/stream.h"
#include "platform/paths.h"

namespace tavrin::lens::v4l2 {
namespace {

// TavrinLens.conf shared by the devices of one back-end.
class ConfStore {
 public:
  explicit ConfStore(std::string path) : path_(std::move(path)) {}

  void Reload() {
    if (path_.empty()) return;
    std::lock_guard lock(mutex_);
    if (dirty_) return;  // our own changes are newer than the file
    std::string warning;
    if (!conf_.Load(path_, &warning) && !warning.empty())
      std::fprintf(stderr, "TavrinLens: %s: %s\n", path_.c_str(), warning.c_str());
  }

  CameraConf Camera(const std::string& name) {
    std::lock_guard lock(mutex_);
    return conf_.Camera(name);
  }

  void Remember(const std::string& name, uint32_t id, int value) {
    if (path_.empty()) return;
    std::lock_guard lock(mutex_);
    conf_.SetControl(name, id, value);
    dirty_ = true;
  }

  // Written when a camera closes rather than at every slider step, which
  // would fsync the file dozens of times a second.
  void SaveIfChanged() {
    std::lock_guard lock(mutex_);
    if (!dirty_) return;
    std::string error;
    if (conf_.Save(path_, &error)) {
      dirty_ = false;
    } else {
      std::fprintf(stderr, "TavrinLens: cannot save %s: %s\n", path_.c_str(), error.c_str());
    }
  }

 private:
  std::mutex mutex_;
  std::string path_;
  LensConf conf_;
  bool dirty_ = false;
};

// Lets a device whose stream died reach the watch thread, whether or not
// the back-end is still watching.
class ChangeNotifier {
 public:
  void Attach(HotplugWatcher* watcher) {
    std::lock_guard lock(mutex_);
    watcher_ = watcher;
  }
  void Notify() {
    std::lock_guard lock(mutex_);
    if (watcher_ != nullptr) watcher_->Poke();
  }

 private:
  std::mutex mutex_;
  HotplugWatcher* watcher_ = nullptr;
};

ControlGroup GroupOf(ControlClass controlClass) {
  return controlClass == ControlClass::kCamera ? ControlGroup::kDevice : ControlGroup::kImage;
}

class V4l2Device final : public Device {
 public:
  V4l2Device(std::shared_ptr<Kernel> kernel, CameraNode node, std::shared_ptr<ConfStore> conf,
             std::shared_ptr<ChangeNotifier> notifier)
      : kernel_(std::move(kernel)),
        node_(std::move(node)),
        conf_(std::move(conf)),
        notifier_(std::move(notifier)),
        stream_(kernel_) {}

  ~V4l2Device() override {
    Stop();
    conf_->SaveIfChanged();
  }

  std::string Name() const override { return node_.name; }
  std::string Key() const override { return node_.busInfo + "|" + node_.card + "|" + node_.name; }

  std::vector<MediaType> MediaTypes() const override {
    std::vector<MediaType> types;
    for (const PixelFormat& format : node_.formats) {
      MediaType type;
      type.name = format.name;
      for (const Size& size : format.sizes) type.sizes.push_back({size.width, size.height});
      types.push_back(std::move(type));
    }
    return types;
  }

  int OwnDpi(FrameSize size) const override {
    return v4l2::OwnDpi(conf_->Camera(node_.name).fieldOfViewMm, size.width);
  }

  std::vector<ControlInfo> Controls() const override {
    std::vector<ControlInfo> infos;
    for (const CameraControl& control : Detailed()) {
      // A button or a relative move has no value for a slider to show, and
      // a window that restores values must not replay a move.
      if (control.kind == ControlKind::kButton || control.writeOnly ||
          control.controlClass == ControlClass::kOther)
        continue;
      ControlInfo info;
      info.id = static_cast<int>(control.id);
      info.name = control.name;
      info.group = GroupOf(control.controlClass);
      info.minimum = control.minimum;
      info.maximum = control.maximum;
      info.step = control.step;
      info.defaultValue = control.defaultValue;
      info.type = control.kind == ControlKind::kBoolean ? ControlType::kBoolean
                  : control.kind == ControlKind::kMenu  ? ControlType::kMenu
                                                        : ControlType::kInteger;
      for (const MenuEntry& entry : control.menu) info.choices.push_back({entry.index, entry.name});
      info.value = control.value;
      info.inactive = control.inactive;
      info.readOnly = control.readOnly;
      infos.push_back(std::move(info));
    }
    return infos;
  }

  int ControlValue(int id) const override {
    int value = 0;
    WithFd([&](int fd) { return GetControlValue(*kernel_, fd, static_cast<uint32_t>(id), value); });
    return value;
  }

  bool SetControl(int id, int value) override {
    int taken = value;
    const int result = WithFd(
        [&](int fd) { return SetControlValue(*kernel_, fd, static_cast<uint32_t>(id), taken); });
    if (result < 0) return false;
    conf_->Remember(node_.name, static_cast<uint32_t>(id), taken);
    return true;
  }

  void SaveControls() override { conf_->SaveIfChanged(); }

  int Start(int mediaType, FrameSize size, FrameSink sink) override {
    Stop();
    if (mediaType < 0 || mediaType >= static_cast<int>(node_.formats.size()))
      return kErrNoSuchFormat;
    lost_ = false;
    corruptFrames_ = 0;
    const uint32_t code = node_.formats[mediaType].code;
    const int result = stream_.Start(
        node_.path, code, size.width, size.height,
        [this, sink = std::move(sink)](const uint8_t* data, size_t bytes,
                                       const StreamFormat& format) {
          const bool jpeg =
              format.pixelFormat == V4L2_PIX_FMT_MJPEG || format.pixelFormat == V4L2_PIX_FMT_JPEG;
          if (jpeg && sink.compressed) {
            if (decoder_.CheckMjpeg(data, bytes, format.width, format.height)) {
              sink.compressed({CopyToSpareBuffer(data, bytes), {format.width, format.height}});
            } else {
              ++corruptFrames_;
            }
            return;
          }
          cv::Mat bgr;
          if (decoder_.Decode(format.pixelFormat, data, bytes, format.width, format.height,
                              format.bytesPerLine, bgr)) {
            sink(bgr);
          } else {
            // The last good frame stays in the slot; one bad frame is normal
            // for a USB camera under load.
            ++corruptFrames_;
          }
        },
        [this](int) {
          lost_ = true;
          notifier_->Notify();
        });
    // The one cause a person can act on, said where the window's
    // diagnostics go (the client's standard error).
    if (result == -EBUSY)
      std::fprintf(stderr, "TavrinLens: %s: the camera is in use by another program\n",
                   node_.path.c_str());
    if (result < 0) return result == -EINVAL ? kErrNoSuchFormat : kErrDevice;
    if (stream_.Format().width != size.width || stream_.Format().height != size.height) {
      stream_.Stop();
      return kErrNoSuchFormat;
    }
    RestoreControls();
    return kOk;
  }

  void Stop() override {
    stream_.Stop();
    conf_->SaveIfChanged();
  }

  int CheckCapture() override { return lost_ ? kErrDevice : kOk; }

  std::vector<CameraControl> Detailed() const {
    std::vector<CameraControl> controls;
    WithFd([&](int fd) {
      controls = EnumerateControls(*kernel_, fd);
      return 0;
    });
    return controls;
  }

  int CorruptFrames() const { return corruptFrames_; }

 private:
  // Control calls go through the streaming descriptor while it is open, or
  // through one of their own.
  template <typename Call>
  int WithFd(Call call) const {
    std::lock_guard lock(fdMutex_);
    if (stream_.Fd() >= 0) return call(stream_.Fd());
    const int fd = kernel_->Open(node_.path);
    if (fd < 0) return fd;
    const int result = call(fd);
    kernel_->Close(fd);
    return result;
  }

  void RestoreControls() {
    const CameraConf remembered = conf_->Camera(node_.name);
    if (remembered.controls.empty()) return;
    const std::vector<CameraControl> controls = Detailed();
    // Automatic modes first: switching one off is what lets the value it
    // owned be set.
    for (const bool modes : {true, false}) {
      for (const CameraControl& control : controls) {
        const bool isMode = control.kind != ControlKind::kInteger;
        const auto found = remembered.controls.find(control.id);
        if (isMode != modes || found == remembered.controls.end() || control.readOnly) continue;
        int value = found->second;
        WithFd([&](int fd) { return SetControlValue(*kernel_, fd, control.id, value); });
      }
    }
  }

  // The frame leaves the mapped buffer at once, into a buffer nobody else
  // holds any more: the few in turn keep the allocator out of the stream.
  std::shared_ptr<const std::vector<uint8_t>> CopyToSpareBuffer(const uint8_t* data, size_t bytes) {
    std::shared_ptr<std::vector<uint8_t>>* spare = nullptr;
    for (auto& buffer : spareBuffers_) {
      // Only this thread hands copies out, so one held here alone stays so.
      if (buffer.use_count() == 1) spare = &buffer;
    }
    // Whoever let go of it last has finished reading it.
    std::atomic_thread_fence(std::memory_order_acquire);
    if (spare == nullptr) {
      if (spareBuffers_.size() < kSpareBuffers) {
        spare = &spareBuffers_.emplace_back(std::make_shared<std::vector<uint8_t>>());
      } else {
        return std::make_shared<const std::vector<uint8_t>>(data, data + bytes);
      }
    }
    (*spare)->assign(data, data + bytes);
    return *spare;
  }

  static constexpr size_t kSpareBuffers = 4;

  std::shared_ptr<Kernel> kernel_;
  const CameraNode node_;
  std::shared_ptr<ConfStore> conf_;
  std::shared_ptr<ChangeNotifier> notifier_;
  mutable std::mutex fdMutex_;
  CaptureStream stream_;
  FrameDecoder decoder_;                                             // capture thread only
  std::vector<std::shared_ptr<std::vector<uint8_t>>> spareBuffers_;  // capture thread only
  std::atomic<bool> lost_{false};
  std::atomic<int> corruptFrames_{0};
};

class V4l2Backend final : public Backend {
 public:
  explicit V4l2Backend(BackendOptions options)
      : options_(std::move(options)), conf_(std::make_shared<ConfStore>(options_.confPath)) {}

  ~V4l2Backend() override { StopWatching(); }

  std::vector<std::unique_ptr<Device>> Enumerate() override {
    conf_->Reload();
    std::vector<std::unique_ptr<Device>> devices;
    for (CameraNode& node : DiscoverCameras(*options_.kernel))
      devices.push_back(
          std::make_unique<V4l2Device>(options_.kernel, std::move(node), conf_, notifier_));
    return devices;
  }

  void StartWatching(std::function<void()> changed) override {
    StopWatching();
    std::unique_ptr<HotplugSource> source;
    if (options_.makeHotplugSource) source = options_.makeHotplugSource();
    if (source == nullptr) source = MakeQuietHotplugSource();
    watcher_.Start(std::move(source), std::move(changed), options_.hotplugQuietMs);
    notifier_->Attach(&watcher_);
  }

  void StopWatching() override {
    notifier_->Attach(nullptr);
    watcher_.Stop();
  }

 private:
  BackendOptions options_;
  std::shared_ptr<ConfStore> conf_;
  std::shared_ptr<ChangeNotifier> notifier_ = std::make_shared<ChangeNotifier>();
  HotplugWatcher watcher_;
};

}  // namespace

std::unique_ptr<Backend> MakeV4l2Backend(BackendOptions options) {
  return std::make_unique<V4l2Backend>(std::move(options));
}

std::unique_ptr<Backend> MakeV4l2Backend() {
  BackendOptions options;
  options.confPath = LensConfPath();
  const std::string replay = platform::Environment("TAVRIN_LENS_V4L2_REPLAY");
  if (!replay.empty()) {
    Recording recording;
    std::string error;
    if (!LoadRecording(replay, recording, error)) {
      std::fprintf(stderr, "TavrinLens: %s\n", error.c_str());
    }
    auto kernel = std::make_shared<ReplayKernel>(std::move(recording));
    const std::string log = platform::Environment("TAVRIN_LENS_V4L2_REPLAY_LOG");
    if (!log.empty()) kernel->LogControlWrites(log);
    options.kernel = kernel;
    options.makeHotplugSource = [kernel] { return kernel->MakeHotplugSource(); };
    return MakeV4l2Backend(std::move(options));
  }
  options.kernel = MakeSystemKernel();
  options.makeHotplugSource = [] {
    std::string error;
    std::unique_ptr<HotplugSource> source = MakeUdevHotplugSource(&error);
    if (source == nullptr) std::fprintf(stderr, "TavrinLens: no hot-plug: %s\n", error.c_str());
    return source;
  };
  return MakeV4l2Backend(std::move(options));
}

std::vector<CameraControl> DetailedControls(const Device& device) {
  const auto* v4l2Device = dynamic_cast<const V4l2Device*>(&device);
  return v4l2Device != nullptr ? v4l2Device->Detailed() : std::vector<CameraControl>{};
}

int CorruptFrameCount(const Device& device) {
  const auto* v4l2Device = dynamic_cast<const V4l2Device*>(&device);
  return v4l2Device != nullptr ? v4l2Device->CorruptFrames() : 0;
}

}  // namespace tavrin::lens::v4l2
