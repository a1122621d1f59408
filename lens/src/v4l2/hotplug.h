// Hot-plug: udev events on the video4linux subsystem, debounced so that one
// plug (a camera brings a capture node and a metadata node, each with add and
// change events) gives one notice.
// Threads: a HotplugWatcher is started and stopped by its owner; the notice
// runs on the watcher's own thread; Interrupt may come from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tavrin::lens::v4l2 {

struct HotplugEvent {
  std::string action;  // "add", "remove", "change", ...
  std::string node;    // "/dev/video2"; may be empty
};

class HotplugSource {
 public:
  virtual ~HotplugSource() = default;
  // Waits up to timeoutMs; true with event filled, false on timeout or after
  // Interrupt.
  virtual bool Next(int timeoutMs, HotplugEvent& event) = 0;
  // Makes the current and every later Next return false at once.
  virtual void Interrupt() = 0;
  // Makes the current or the next Next return false once.
  virtual void Wake() = 0;
};

// A source whose Next waits on wake_ under mutex_: Interrupt and Wake set
// their flag there and wake it. Next clears woken_ when it returns for it.
class SignalledHotplugSource : public HotplugSource {
 public:
  void Interrupt() final;
  void Wake() final;

 protected:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool interrupted_ = false;  // guarded by mutex_
  bool woken_ = false;        // guarded by mutex_
};

// udev monitor for subsystem video4linux; null with error set when udev is
// not available (no hot-plug then, everything else still works).
std::unique_ptr<HotplugSource> MakeUdevHotplugSource(std::string* error);

// A source without events, for when udev is not available: the watcher
// then still turns Poke into notices.
std::unique_ptr<HotplugSource> MakeQuietHotplugSource();

// Collapses a burst of events into one notice: due quietMs after the last
// event of the burst, but never later than maxDelayMs after its first, so a
// flapping device still gets noticed.
class Debouncer {
 public:
  Debouncer(int quietMs, int maxDelayMs) : quietMs_(quietMs), maxDelayMs_(maxDelayMs) {}
  void Event(int64_t nowMs);
  bool Pending() const { return pending_; }
  // Milliseconds until the notice is due (0 when due now); -1 when idle.
  int WaitMs(int64_t nowMs) const;
  // True once when the notice is due; the burst is then over.
  bool TakeDue(int64_t nowMs);

 private:
  int quietMs_ = 0;
  int maxDelayMs_ = 0;
  bool pending_ = false;
  int64_t firstMs_ = 0;
  int64_t lastMs_ = 0;
};

inline constexpr int kHotplugQuietMs = 300;
inline constexpr int kHotplugMaxDelayMs = 2000;

class HotplugWatcher {
 public:
  HotplugWatcher() = default;
  ~HotplugWatcher() { Stop(); }
  HotplugWatcher(const HotplugWatcher&) = delete;
  HotplugWatcher& operator=(const HotplugWatcher&) = delete;

  void Start(std::unique_ptr<HotplugSource> source, std::function<void()> changed,
             int quietMs = kHotplugQuietMs, int maxDelayMs = kHotplugMaxDelayMs);
  // Joins the thread; changed is not called after it returns. A pending
  // notice is dropped: whoever stops watching re-reads the list anyway.
  void Stop();
  // Counts as one more event: the device list may have changed for a reason
  // udev does not see (a stream that ended with ENODEV).
  void Poke();

 private:
  void Run(int quietMs, int maxDelayMs);

  std::unique_ptr<HotplugSource> source_;
  std::function<void()> changed_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> poked_{false};
  std::thread thread_;
};

}  // namespace tavrin::lens::v4l2
