// Continuous capture of one camera: a thread that calls the callback with
// 1, 2, ... once a second (timed), or with rising values while the picture
// lies still after a change (automatic), and with interval at the shot.
// Threads: Start and Stop from any library caller; the callback runs on the
// run's own thread.
#pragma once

#include <memory>
#include <thread>

#include "TavrinLens.h"
#include "lens/src/camera_view.h"

namespace tavrin::lens {

// How much of a frame must change, and by how much, to count as a change.
struct StillnessRule {
  int thumbWidth = 64;
  int thumbHeight = 48;
  int levelThreshold = 24;        // grey levels per thumbnail cell
  double changedFraction = 0.03;  // of the cells
};

// Tells whether two pictures differ by the rule, on downscaled grey copies.
class ChangeDetector {
 public:
  explicit ChangeDetector(StillnessRule rule = {}) : rule_(rule) {}
  cv::Mat Thumbnail(const cv::Mat& frame) const;
  bool Differs(const cv::Mat& thumbA, const cv::Mat& thumbB) const;

 private:
  StillnessRule rule_;
};

class AutoCapture {
 public:
  AutoCapture(std::shared_ptr<CameraView> view, bool timed, int interval,
              TavrinLensCallback callback);
  // Stops as Stop does.
  ~AutoCapture();
  AutoCapture(const AutoCapture&) = delete;
  AutoCapture& operator=(const AutoCapture&) = delete;

  // Returns once no callback runs and none will start. Called from inside
  // the callback it only ends the run, which finishes when the callback
  // returns.
  void Stop();

  struct State;

 private:
  std::shared_ptr<State> state_;
  std::thread thread_;
};

// Threads that ended themselves from inside their own callback; joined when
// the library is uninitialised.
void KeepForJoin(std::thread thread);
void JoinKeptThreads();

}  // namespace tavrin::lens
