#include "lens/src/auto_capture.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "lens/src/callback_scope.h"

namespace tavrin::lens {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kSecond = std::chrono::seconds(1);
constexpr auto kSamplePeriod = std::chrono::milliseconds(200);
// A few times the thumbnail's size, so that the thumbnail still averages
// over every part of the picture.
const cv::Size kChangeCopySize(256, 192);
// No new frame for this long, and for several of the camera's usual frame
// intervals, is a stall. The usual interval counts too, because a slow
// machine or a large frame size makes every gap long without any stall.
constexpr auto kStalledAfter = std::chrono::milliseconds(600);
constexpr int kStallIntervals = 3;

std::mutex keptMutex;
std::vector<std::thread> keptThreads;

}  // namespace

struct AutoCapture::State {
  std::shared_ptr<CameraView> view;
  bool timed = true;
  int interval = 1;
  TavrinLensCallback callback = nullptr;
  std::mutex mutex;  // guards stop
  std::condition_variable wake;
  bool stop = false;

  // Sleeps until deadline; false when the run was stopped meanwhile.
  bool SleepUntil(Clock::time_point deadline) {
    std::unique_lock lock(mutex);
    return !wake.wait_until(lock, deadline, [this] { return stop; });
  }
  bool Stopped() {
    std::lock_guard lock(mutex);
    return stop;
  }
  void Call(int value) {
    if (Stopped()) return;
    CallbackScope scope;
    callback(value);
  }
};

namespace {

void RunTimed(AutoCapture::State& state) {
  auto next = Clock::now() + kSecond;
  int value = 0;
  while (state.SleepUntil(next)) {
    value = value % state.interval + 1;
    state.Call(value);
    next += kSecond;
    // A slow callback makes the count wait, not race to catch up.
    next = std::max(next, Clock::now());
  }
}

// The picture must first change against the one last shot (or the one at
// the start), then lie still for interval seconds.
void RunAutomatic(AutoCapture::State& state) {
  const ChangeDetector detector;
  cv::Mat reference;
  cv::Mat last;
  bool settling = false;
  int value = 0;
  Clock::time_point stillSince;
  uint64_t lastSequence = 0;  // 0 until the first frame: published frames count from 1
  Clock::time_point lastFresh;
  Clock::duration usualGap{};
  auto next = Clock::now();
  while (state.SleepUntil(next)) {
    next += kSamplePeriod;
    const FrameSlot::Frame frame = state.view->frames.Latest();
    if (frame.Empty()) continue;
    // A camera that has sent nothing new for a while says nothing about
    // stillness: a stalled stream would otherwise look like a page lying
    // still, with the hand that was turning it frozen in the picture. That
    // time does not count.
    const auto sampled = Clock::now();
    if (frame.sequence == lastSequence) {
      const auto gap = sampled - lastFresh;
      if (settling && gap > kStalledAfter && gap > kStallIntervals * usualGap) {
        stillSince += kSamplePeriod;
      }
      continue;
    }
    if (lastSequence != 0) {
      // A running average, so one slow frame does not move it far.
      const auto gap = sampled - lastFresh;
      usualGap = usualGap.count() == 0 ? gap : (usualGap * 3 + gap) / 4;
    }
    lastSequence = frame.sequence;
    lastFresh = sampled;
    // A small copy is all the comparison looks at: a JPEG frame is decoded
    // at a fraction of its size for it.
    const cv::Mat small = SmallFrame(frame, kChangeCopySize);
    if (small.empty()) continue;
    const cv::Mat thumb = detector.Thumbnail(small);
    const auto now = Clock::now();
    if (reference.empty()) {
      reference = thumb;
      last = thumb;
      continue;
    }
    if (!settling) {
      if (detector.Differs(thumb, reference)) {
        settling = true;
        stillSince = now;
        value = 0;
        last = thumb;
      }
      continue;
    }
    if (detector.Differs(thumb, last)) {
      last = thumb;
      stillSince = now;
      if (value != 0) {
        value = 0;
        state.Call(0);
      }
      continue;
    }
    const int stillSeconds = static_cast<int>((now - stillSince) / kSecond);
    while (value < std::min(stillSeconds, state.interval)) {
      state.Call(++value);
    }
    if (value >= state.interval) {
      reference = thumb;
      settling = false;
      value = 0;
    }
  }
}

}  // namespace

cv::Mat ChangeDetector::Thumbnail(const cv::Mat& frame) const {
  cv::Mat small;
  cv::resize(frame, small, cv::Size(rule_.thumbWidth, rule_.thumbHeight), 0, 0, cv::INTER_AREA);
  if (small.channels() == 3) cv::cvtColor(small, small, cv::COLOR_BGR2GRAY);
  return small;
}

bool ChangeDetector::Differs(const cv::Mat& thumbA, const cv::Mat& thumbB) const {
  if (thumbA.size() != thumbB.size()) return true;
  cv::Mat difference;
  cv::absdiff(thumbA, thumbB, difference);
  const int changed = cv::countNonZero(difference > rule_.levelThreshold);
  return changed > rule_.changedFraction * static_cast<double>(difference.total());
}

AutoCapture::AutoCapture(std::shared_ptr<CameraView> view, bool timed, int interval,
                         TavrinLensCallback callback)
    : state_(std::make_shared<State>()) {
  state_->view = std::move(view);
  state_->timed = timed;
  state_->interval = std::max(1, interval);
  state_->callback = callback;
  thread_ = std::thread([state = state_] {
    if (state->timed) {
      RunTimed(*state);
    } else {
      RunAutomatic(*state);
    }
  });
}

AutoCapture::~AutoCapture() {
  Stop();
}

void AutoCapture::Stop() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stop = true;
  }
  state_->wake.notify_all();
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    KeepForJoin(std::move(thread_));
  } else {
    thread_.join();
  }
}

void KeepForJoin(std::thread thread) {
  std::lock_guard lock(keptMutex);
  keptThreads.push_back(std::move(thread));
}

void JoinKeptThreads() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(keptMutex);
    threads.swap(keptThreads);
  }
  for (auto& thread : threads) {
    if (thread.get_id() == std::this_thread::get_id()) {
      KeepForJoin(std::move(thread));
    } else {
      thread.join();
    }
  }
}

}  // namespace tavrin::lens
