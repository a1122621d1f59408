#include "lens/src/v4l2/hotplug.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tavrin::lens::v4l2 {

void Debouncer::Event(int64_t nowMs) {
  if (!pending_) firstMs_ = nowMs;
  pending_ = true;
  lastMs_ = nowMs;
}

int Debouncer::WaitMs(int64_t nowMs) const {
  if (!pending_) return -1;
  const int64_t dueMs = std::min(lastMs_ + quietMs_, firstMs_ + maxDelayMs_);
  return static_cast<int>(std::max<int64_t>(0, dueMs - nowMs));
}

bool Debouncer::TakeDue(int64_t nowMs) {
  if (!pending_ || WaitMs(nowMs) > 0) return false;
  pending_ = false;
  return true;
}

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class UdevHotplugSource final : public HotplugSource {
 public:
  UdevHotplugSource(udev* context, udev_monitor* monitor, int wakeFd)
      : context_(context), monitor_(monitor), wakeFd_(wakeFd) {}

  ~UdevHotplugSource() override {
    udev_monitor_unref(monitor_);
    udev_unref(context_);
    ::close(wakeFd_);
  }

  bool Next(int timeoutMs, HotplugEvent& event) override {
    pollfd fds[2] = {{udev_monitor_get_fd(monitor_), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) <= 0) return false;
    if (fds[1].revents != 0) {
      if (!interrupted_) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t drained = ::read(wakeFd_, &count, sizeof(count));
      }
      return false;
    }
    udev_device* device = udev_monitor_receive_device(monitor_);
    if (device == nullptr) return false;
    const char* action = udev_device_get_action(device);
    const char* node = udev_device_get_devnode(device);
    event.action = action != nullptr ? action : "";
    event.node = node != nullptr ? node : "";
    udev_device_unref(device);
    return true;
  }

  void Interrupt() override {
    // Not drained once interrupted, so every later poll returns at once.
    interrupted_ = true;
    Wake();
  }

  void Wake() override {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof(one));
  }

 private:
  std::atomic<bool> interrupted_{false};
  udev* context_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  int wakeFd_ = -1;
};

class QuietHotplugSource final : public SignalledHotplugSource {
 public:
  bool Next(int timeoutMs, HotplugEvent&) override {
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                   [this] { return interrupted_ || woken_; });
    woken_ = false;
    return false;
  }
};

}  // namespace

void SignalledHotplugSource::Interrupt() {
  std::lock_guard lock(mutex_);
  interrupted_ = true;
  wake_.notify_all();
}

void SignalledHotplugSource::Wake() {
  std::lock_guard lock(mutex_);
  woken_ = true;
  wake_.notify_all();
}

std::unique_ptr<HotplugSource> MakeQuietHotplugSource() {
  return std::make_unique<QuietHotplugSource>();
}

std::unique_ptr<HotplugSource> MakeUdevHotplugSource(std::string* error) {
  const auto fail = [&](const char* text) -> std::unique_ptr<HotplugSource> {
    if (error != nullptr) *error = text;
    return nullptr;
  };
  udev* context = udev_new();
  if (context == nullptr) return fail("udev is not available");
  udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");
  if (monitor == nullptr) {
    udev_unref(context);
    return fail("cannot open the udev monitor");
  }
  if (udev_monitor_filter_add_match_subsystem_devtype(monitor, "video4linux", nullptr) < 0 ||
      udev_monitor_enable_receiving(monitor) < 0) {
    udev_monitor_unref(monitor);
    udev_unref(context);
    return fail("cannot watch the video4linux subsystem");
  }
  const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) {
    udev_monitor_unref(monitor);
    udev_unref(context);
    return fail("cannot create the wake-up descriptor");
  }
  return std::make_unique<UdevHotplugSource>(context, monitor, wakeFd);
}

void HotplugWatcher::Start(std::unique_ptr<HotplugSource> source, std::function<void()> changed,
                           int quietMs, int maxDelayMs) {
  Stop();
  if (source == nullptr) return;
  source_ = std::move(source);
  changed_ = std::move(changed);
  stopping_ = false;
  thread_ = std::thread([this, quietMs, maxDelayMs] { Run(quietMs, maxDelayMs); });
}

void HotplugWatcher::Stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  source_->Interrupt();
  thread_.join();
  source_.reset();
  changed_ = nullptr;
}

void HotplugWatcher::Poke() {
  poked_ = true;
  if (thread_.joinable()) source_->Wake();
}

void HotplugWatcher::Run(int quietMs, int maxDelayMs) {
  // Idle waits are bounded so a lost wake-up can delay Stop, never hang it.
  constexpr int kIdleWaitMs = 1000;
  Debouncer debouncer(quietMs, maxDelayMs);
  while (!stopping_) {
    const int waitMs = debouncer.WaitMs(NowMs());
    HotplugEvent event;
    if (source_->Next(waitMs < 0 ? kIdleWaitMs : waitMs, event)) debouncer.Event(NowMs());
    if (poked_.exchange(false)) debouncer.Event(NowMs());
    if (!stopping_ && debouncer.TakeDue(NowMs())) changed_();
  }
}

}  // namespace tavrin::lens::v4l2
