#include <linux/videodev2.h>

#include <algorithm>

#include "lens/src/v4l2/discovery.h"
#include "replay_support.h"

namespace tavrin::lens::v4l2 {
namespace {

using replay::LoadOrFail;
using replay::Replay;

std::vector<Size> SizesOf(const CameraNode& node, const std::string& format) {
  for (const PixelFormat& f : node.formats) {
    if (f.name == format) return f.sizes;
  }
  return {};
}

TEST(DiscoveryTest, DocumentCameraIsListedOnceWithItsFormats) {
  auto kernel = Replay("doccam_8mp.rec");
  const std::vector<CameraNode> cameras = DiscoverCameras(*kernel);
  // The metadata node /dev/video1 has no capture capability.
  ASSERT_EQ(cameras.size(), 1u);
  EXPECT_EQ(cameras[0].path, "/dev/video0");
  EXPECT_EQ(cameras[0].name, "Tavrin DocCam 8MP");
  EXPECT_EQ(cameras[0].driver, "uvcvideo");
  ASSERT_EQ(cameras[0].formats.size(), 2u);
  EXPECT_EQ(cameras[0].formats[0].name, "MJPG");
  EXPECT_EQ(cameras[0].formats[1].name, "YUYV");
  const std::vector<Size> mjpg = SizesOf(cameras[0], "MJPG");
  ASSERT_EQ(mjpg.size(), 10u);
  EXPECT_EQ(mjpg.front(), (Size{3264, 2448}));
  EXPECT_EQ(mjpg.back(), (Size{640, 480}));
  EXPECT_EQ(SizesOf(cameras[0], "YUYV").front(), (Size{1920, 1080}));
  EXPECT_EQ(kernel->OpenFileCount(), 0);
}

TEST(DiscoveryTest, FormatsThatCannotBeDecodedAreLeftOut) {
  auto webcam = Replay("webcam_1080p.rec");
  const std::vector<CameraNode> webcams = DiscoverCameras(*webcam);
  ASSERT_EQ(webcams.size(), 1u);
  ASSERT_EQ(webcams[0].formats.size(), 2u);  // H264 dropped
  EXPECT_EQ(webcams[0].formats[1].name, "YUYV");

  auto board = Replay("stepwise_cam.rec");
  const std::vector<CameraNode> boards = DiscoverCameras(*board);
  ASSERT_EQ(boards.size(), 1u);
  std::vector<std::string> names;
  for (const PixelFormat& format : boards[0].formats) names.push_back(format.name);
  EXPECT_EQ(names, (std::vector<std::string>{"YUYV", "NV12", "MJPG"}));  // BGR3 dropped
}

TEST(DiscoveryTest, RangesAreOfferedAtStandardSizes) {
  auto kernel = Replay("stepwise_cam.rec");
  const CameraNode camera = DiscoverCameras(*kernel).at(0);
  const std::vector<Size> expected = {{320, 240},   {640, 480},   {800, 600},   {1024, 768},
                                      {1280, 720},  {1280, 960},  {1280, 1024}, {1600, 1200},
                                      {1920, 1080}, {2048, 1536}, {2112, 1568}, {2592, 1944}};
  EXPECT_EQ(SizesOf(camera, "NV12"), expected);
  EXPECT_EQ(SizesOf(camera, "MJPG"), expected);

  // A step the standard sizes do not meet, and a maximum that is not standard.
  EXPECT_EQ(SizesInRange({100, 100}, {1000, 700}, {100, 100}),
            (std::vector<Size>{{800, 600}, {1000, 700}}));
  EXPECT_EQ(SizesInRange({640, 480}, {640, 480}, {1, 1}), (std::vector<Size>{{640, 480}}));
}

TEST(DiscoveryTest, TwoCamerasOfOneNameGetNumbersInBusOrder) {
  Recording recording = LoadOrFail("hotplug_twin_webcams.rec");
  for (RecordedDevice& device : recording.devices) device.presentAtStart = true;
  // Listed in reverse: the order must come from the bus, not from /dev.
  std::reverse(recording.devices.begin(), recording.devices.end());
  auto kernel = Replay(recording);
  const std::vector<CameraNode> cameras = DiscoverCameras(*kernel);
  ASSERT_EQ(cameras.size(), 2u);
  EXPECT_EQ(cameras[0].name, "Kestrel HD Webcam");
  EXPECT_EQ(cameras[0].busInfo, "usb-0000:00:14.0-1");
  EXPECT_EQ(cameras[1].name, "Kestrel HD Webcam (2)");
  EXPECT_EQ(cameras[1].path, "/dev/video2");

  // Rescanning with nothing changed gives the same list.
  const std::vector<CameraNode> again = DiscoverCameras(*kernel);
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(again[0].path, cameras[0].path);
  EXPECT_EQ(again[1].name, cameras[1].name);

  // The first one unplugged: the other keeps its place on the bus, named plainly.
  kernel->Unplug("/dev/video0");
  const std::vector<CameraNode> left = DiscoverCameras(*kernel);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].name, "Kestrel HD Webcam");
  EXPECT_EQ(left[0].path, "/dev/video2");
}

TEST(DiscoveryTest, NodesWithoutStreamingOrFormatsAreNotCameras) {
  Recording recording;
  std::string error;
  ASSERT_TRUE(
      ParseRecording("device /dev/video7\n  card Read Only\n  bus b\n  capabilities 0x81000001\n"
                     "  device_caps 0x01000001\n  format YUYV x\n    discrete 640x480\n"
                     "device /dev/video8\n  card No Formats\n  bus c\n  capabilities 0x84200001\n"
                     "  device_caps 0x04200001\n"
                     "device /dev/video9\n  card Old Driver\n  bus d\n  capabilities 0x04000001\n"
                     "  device_caps 0\n  format YUYV x\n    discrete 640x480\n",
                     "", recording, error))
      << error;
  auto kernel = Replay(recording);
  const std::vector<CameraNode> cameras = DiscoverCameras(*kernel);
  // Without V4L2_CAP_DEVICE_CAPS the node's capabilities are what counts.
  ASSERT_EQ(cameras.size(), 1u);
  EXPECT_EQ(cameras[0].card, "Old Driver");
}

}  // namespace
}  // namespace tavrin::lens::v4l2
