#include <linux/videodev2.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "lens/src/v4l2/stream.h"
#include "replay_support.h"
#include "tests/support/wait.h"

namespace tavrin::lens::v4l2 {
namespace {

using replay::LoadOrFail;
using replay::Replay;

using test::WaitFor;

TEST(StreamTest, DeliversRecordedFramesThroughMappedBuffers) {
  auto kernel = Replay("doccam_8mp.rec");
  CaptureStream stream(kernel);
  std::atomic<int> frames{0};
  std::atomic<size_t> lastBytes{0};
  std::atomic<bool> lost{false};
  ASSERT_EQ(stream.Start(
                "/dev/video0", V4L2_PIX_FMT_MJPEG, 640, 480,
                [&](const uint8_t* data, size_t bytes, const StreamFormat& format) {
                  EXPECT_EQ(format.width, 640);
                  EXPECT_EQ(data[0], 0xff);  // the JPEG start marker
                  lastBytes = bytes;
                  ++frames;
                },
                [&](int) { lost = true; }),
            0);
  EXPECT_EQ(stream.Format().framePeriodMs, 66);  // the recorded 15 frames a second
  EXPECT_EQ(kernel->MappingCount(), kStreamBufferCount);
  // More frames than buffers: each one went back to the driver.
  ASSERT_TRUE(WaitFor([&] { return frames >= 3 * kStreamBufferCount; }));
  stream.Stop();
  EXPECT_EQ(lastBytes, LoadOrFail("doccam_8mp.rec").devices[0].formats[0].frames[0].bytes.size());
  EXPECT_FALSE(lost);
  EXPECT_EQ(kernel->OpenFileCount(), 0);
  EXPECT_EQ(kernel->MappingCount(), 0);
}

TEST(StreamTest, UnplugMidStreamEndsItOnceAndReleasesEverything) {
  Recording recording = LoadOrFail("doccam_8mp.rec");
  recording.devices[0].unplugAfterFrames = 5;
  auto kernel = Replay(recording);
  CaptureStream stream(kernel);
  std::atomic<int> frames{0};
  std::atomic<int> lostCalls{0};
  std::atomic<int> lostError{0};
  ASSERT_EQ(stream.Start(
                "/dev/video0", V4L2_PIX_FMT_MJPEG, 640, 480,
                [&](const uint8_t*, size_t, const StreamFormat&) { ++frames; },
                [&](int error) {
                  lostError = error;
                  ++lostCalls;
                }),
            0);
  ASSERT_TRUE(WaitFor([&] { return lostCalls > 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(frames, 5);
  EXPECT_EQ(lostCalls, 1);
  EXPECT_EQ(lostError, -ENODEV);
  stream.Stop();
  EXPECT_EQ(kernel->OpenFileCount(), 0);
  EXPECT_EQ(kernel->MappingCount(), 0);
  // The node is gone: a new start fails instead of hanging.
  EXPECT_EQ(stream.Start("/dev/video0", V4L2_PIX_FMT_MJPEG, 640, 480, nullptr, nullptr), -ENOENT);
}

TEST(StreamTest, UnplugWhileNoFramesComeStillEndsTheStream) {
  // A camera that never gives a frame, so the thread sits in its wait.
  auto kernel = Replay("doccam_silent.rec");
  CaptureStream stream(kernel);
  std::atomic<int> lostError{0};
  ASSERT_EQ(stream.Start(
                "/dev/video0", V4L2_PIX_FMT_MJPEG, 1280, 720,
                [](const uint8_t*, size_t, const StreamFormat&) {},
                [&](int error) { lostError = error; }),
            0);
  kernel->Unplug("/dev/video0");
  ASSERT_TRUE(WaitFor([&] { return lostError != 0; }));
  EXPECT_EQ(lostError, -ENODEV);
}

TEST(StreamTest, DriverAdjustedSizeAndRefusedStartsLeaveNothingOpen) {
  auto kernel = Replay("doccam_8mp.rec");
  CaptureStream stream(kernel);
  ASSERT_EQ(stream.Start(
                "/dev/video0", V4L2_PIX_FMT_YUYV, 3264, 2448,
                [](const uint8_t*, size_t, const StreamFormat&) {}, [](int) {}),
            0);
  // YUYV stops at 1920x1080; the stream says what the driver took.
  EXPECT_EQ(stream.Format().width, 1920);
  EXPECT_EQ(stream.Format().bytesPerLine, 3840);
  stream.Stop();
  EXPECT_EQ(stream.Start("/dev/video9", V4L2_PIX_FMT_YUYV, 640, 480, nullptr, nullptr), -ENOENT);
  // A format the camera lacks: the driver substitutes one, which is refused.
  EXPECT_EQ(stream.Start("/dev/video0", V4L2_PIX_FMT_NV12, 640, 480, nullptr, nullptr), -EINVAL);
  EXPECT_FALSE(stream.Running());
  EXPECT_EQ(kernel->OpenFileCount(), 0);
  EXPECT_EQ(kernel->MappingCount(), 0);
}

}  // namespace
}  // namespace tavrin::lens::v4l2
