// The virtual camera's frames: the scene with a stamp that moves, never
// written again while anyone still holds them.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <opencv2/core.hpp>

#include "lens/src/device.h"
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

// A receiver that, like the camera library's, lets the camera write the
// stamp into the frame it sent last while nobody else holds that frame.
TEST(VirtualFramesTest, AStillSceneIsOneFrameRestampedUnlessSomeoneHoldsIt) {
  const FrameSize size{640, 480};
  const auto entry = ParseVirtualEntry("document?sizes=640x480");
  ASSERT_TRUE(entry.has_value());
  VirtualDevice camera(*entry, "document", 0);

  std::mutex mutex;
  std::condition_variable arrived;
  cv::Mat published;  // the receiver's own reference, as its slot keeps one
  std::vector<const uint8_t*> buffers;
  std::vector<cv::Mat> asSent;
  cv::Mat held;  // a reader's
  FrameSink sink([&](const cv::Mat& frame) {
    std::lock_guard lock(mutex);
    published = frame;
    buffers.push_back(frame.data);
    asSent.push_back(frame.clone());
    arrived.notify_all();
  });
  sink.rewrite = [&](const cv::Mat& frame, int ownHolders, const FrameSink::Rewrite& write) {
    std::lock_guard lock(mutex);
    if (frame.u != published.u ||
        __atomic_load_n(&frame.u->refcount, __ATOMIC_ACQUIRE) != ownHolders + 1)
      return false;
    write(published);
    return true;
  };
  const auto waitFor = [&](size_t frames) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, std::chrono::seconds(20),
                            [&] { return asSent.size() >= frames; });
  };
  ASSERT_EQ(camera.Start(0, size, std::move(sink)), 0);
  ASSERT_TRUE(waitFor(4));
  size_t heldAt = 0;
  {
    std::lock_guard lock(mutex);
    held = published;
    heldAt = asSent.size() - 1;
  }
  ASSERT_TRUE(waitFor(heldAt + 4));
  camera.Stop();

  const cv::Mat scene = RenderScene(Scene::kDocument, size, 0);
  const cv::Rect stamp = FrameStampArea(scene.size());
  std::lock_guard lock(mutex);
  for (size_t i = 0; i < asSent.size(); ++i) {
    EXPECT_EQ(DifferencesOutside(asSent[i], scene, stamp), 0) << "frame " << i;
    if (i > 0) {
      EXPECT_GT(cv::norm(asSent[i](stamp), asSent[i - 1](stamp), cv::NORM_L1), 0)
          << "frame " << i << " has the stamp of the one before";
    }
  }
  // Nobody held the first frames: one buffer, stamped anew each time.
  for (size_t i = 1; i <= heldAt; ++i) EXPECT_EQ(buffers[i], buffers[0]) << "frame " << i;
  EXPECT_EQ(cv::norm(held, asSent[heldAt], cv::NORM_INF), 0) << "a held frame changed";
  EXPECT_NE(buffers[heldAt + 1], buffers[heldAt]);
}

}  // namespace
}  // namespace tavrin::lens
