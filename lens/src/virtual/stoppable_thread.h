// A worker thread that sleeps between rounds and ends as soon as it is
// asked to, without waiting out its sleep.
// Threads: Start and Stop from the owner's threads (Stop joins, so never
// from the worker itself); SleepUntil only from the worker.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

namespace tavrin::lens {

class StoppableThread {
 public:
  StoppableThread() = default;
  ~StoppableThread() { Stop(); }
  StoppableThread(const StoppableThread&) = delete;
  StoppableThread& operator=(const StoppableThread&) = delete;

  // Stops the previous body first.
  template <typename Body>
  void Start(Body&& body) {
    Stop();
    std::lock_guard lock(mutex_);
    stop_ = false;
    thread_ = std::thread(std::forward<Body>(body));
  }

  // Wakes a sleeping body and joins it.
  void Stop() {
    std::thread ending;
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
      ending = std::move(thread_);
    }
    wake_.notify_all();
    if (ending.joinable()) ending.join();
  }

  // Sleeps until then; true when the body is to end instead.
  bool SleepUntil(std::chrono::steady_clock::time_point then) {
    std::unique_lock lock(mutex_);
    return wake_.wait_until(lock, then, [this] { return stop_; });
  }

 private:
  std::mutex mutex_;  // guards stop_ and thread_
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace tavrin::lens
