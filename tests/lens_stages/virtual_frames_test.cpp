// The virtual camera's frames: the scene with a stamp that moves, never
// written again while anyone still holds them.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <opencv2/core.hpp>

#include "lens/src/virtual/scene.h"
#include "lens/src/virtual/virtual_device.h"

namespace tavrin::lens {
namespace {

// The number of pixels where a and b differ outside box.
int DifferencesOutside(const cv::Mat& a, const cv::Mat& b, const cv::Rect& box) {
  cv::Mat differ;
  cv::compare(a.reshape(1), b.reshape(1), differ, cv::CMP_NE);
  differ = differ.reshape(3);
  differ(box).setTo(0);
  return cv::countNonZero(differ.reshape(1));
}

TEST(VirtualFramesTest, FramesShowTheSceneAndHeldOnesStayAsSent) {
  const FrameSize size{640, 480};
  const auto entry = ParseVirtualEntry("document?sizes=640x480");
  ASSERT_TRUE(entry.has_value());
  VirtualDevice camera(*entry, "document", 0);

  // The first two frames are held to the end, the others let go at once,
  // so that their memory is refilled while those two are still read.
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<cv::Mat> held;
  std::vector<cv::Mat> asSent;
  ASSERT_EQ(camera.Start(0, size,
                         [&](const cv::Mat& frame) {
                           std::lock_guard lock(mutex);
                           if (held.size() < 2) held.push_back(frame);
                           asSent.push_back(frame.clone());
                           arrived.notify_all();
                         }),
            0);
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(
        arrived.wait_for(lock, std::chrono::seconds(20), [&] { return asSent.size() >= 8; }));
  }
  camera.Stop();

  const cv::Mat scene = RenderScene(Scene::kDocument, size, 0);
  const cv::Rect stamp = FrameStampArea(scene.size());
  for (size_t i = 0; i < asSent.size(); ++i) {
    EXPECT_EQ(DifferencesOutside(asSent[i], scene, stamp), 0) << "frame " << i;
    if (i > 0) {
      EXPECT_GT(cv::norm(asSent[i](stamp), asSent[i - 1](stamp), cv::NORM_L1), 0)
          << "frame " << i << " has the stamp of the one before";
    }
  }
  for (size_t i = 0; i < held.size(); ++i) {
    EXPECT_EQ(cv::norm(held[i], asSent[i], cv::NORM_INF), 0) << "held frame " << i << " changed";
  }
}

}  // namespace
}  // namespace tavrin::lens
