#include <linux/videodev2.h>

#include "replay_support.h"

namespace tavrin::lens::v4l2 {
namespace {

using replay::LoadOrFail;

TEST(RecordingTest, ShippedRecordingsDescribeTheirCameras) {
  const Recording doccam = LoadOrFail("doccam_8mp.rec");
  ASSERT_EQ(doccam.devices.size(), 2u);
  EXPECT_EQ(doccam.devices[0].card, "Tavrin DocCam 8MP");
  EXPECT_EQ(doccam.devices[0].formats[0].sizes.discrete.front(), std::make_pair(3264, 2448));
  EXPECT_EQ(doccam.devices[0].formats[0].frames.size(), 1u);
  EXPECT_EQ(doccam.devices[0].formats[1].pixelFormat, uint32_t{V4L2_PIX_FMT_YUYV});

  const Recording stepwise = LoadOrFail("stepwise_cam.rec");
  EXPECT_EQ(stepwise.devices[0].formats[0].sizes.kind, RecordedSizes::Kind::kStepwise);
  EXPECT_EQ(stepwise.devices[0].formats[2].sizes.kind, RecordedSizes::Kind::kContinuous);

  const Recording hotplug = LoadOrFail("hotplug_twin_webcams.rec");
  EXPECT_FALSE(hotplug.devices[2].presentAtStart);
  ASSERT_EQ(hotplug.events.size(), 6u);
  EXPECT_EQ(hotplug.events[0].action, "add");
  EXPECT_EQ(hotplug.events[5].atMs, 703);
}

TEST(RecordingTest, ControlsAreSortedAndKeepMenusAndMasters) {
  Recording recording;
  std::string error;
  ASSERT_TRUE(
      ParseRecording("device /dev/video5\n"
                     "  control 0x00980918 menu 0 2 1 1 1 Power Line Frequency\n"
                     "    menu 0 Disabled\n"
                     "    menu 2 60 Hz   # no 50 Hz on this one\n"
                     "  control 0x00980900 integer -5 5 1 0 3 Brightness\n"
                     "    inactive_while 0x00980918 0\n"
                     "  unplug_after 7\n",
                     "", recording, error))
      << error;
  const RecordedDevice& device = recording.devices[0];
  EXPECT_EQ(device.unplugAfterFrames, 7);
  ASSERT_EQ(device.controls.size(), 2u);
  EXPECT_EQ(device.controls[0].name, "Brightness");
  EXPECT_EQ(device.controls[0].value, 3);
  EXPECT_EQ(device.controls[0].masterId, 0x00980918u);
  EXPECT_EQ(device.controls[1].menuNames.size(), 2u);
  EXPECT_EQ(device.controls[1].menuNames.at(2), "60 Hz");
}

TEST(RecordingTest, MalformedRecordingsNameTheLineAndLeaveNothing) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"card Lonely\n", "line 1: 'card' before any device"},
      {"device /dev/video0\n  format MJPEG\n", "line 2: bad four-character code"},
      {"device /dev/video0\n  format MJPG\n    discrete 640x0\n", "line 3: bad size"},
      {"device /dev/video0\n  format MJPG\n    stepwise 64x64 32x32 2x2\n", "minimum above"},
      {"device /dev/video0\n  format MJPG\n    frame 640x480 missing.jpg\n", "cannot read"},
      {"device /dev/video0\n  control 0x1 integer 0 9 1\n", "control needs"},
      {"device /dev/video0\n  control 0x1 integer 0 9 1 0 0 A\n    menu 0 X\n", "menu outside"},
      {"device /dev/video0\n  flags inactive\n", "flags outside a control"},
      {"device /dev/video0\n  colour blue\n", "unknown statement 'colour'"},
      {"event 10 add /dev/video0\nevent 5 remove /dev/video0\n", "line 2: events must be"},
      {"device /dev/video0\ndevice /dev/video0\n", "recorded twice"},
      {"device /dev/video0\n  capabilities 0xzz\n", "capabilities needs one number"},
  };
  for (const auto& test : cases) {
    Recording recording;
    recording.devices.emplace_back();
    std::string error;
    EXPECT_FALSE(ParseRecording(test.text, "/nonexistent", recording, error)) << test.text;
    EXPECT_NE(error.find(test.message), std::string::npos) << test.text << " gave: " << error;
    EXPECT_TRUE(recording.devices.empty());
  }
}

TEST(RecordingTest, FourCharacterCodes) {
  EXPECT_EQ(FourccFromText("MJPG"), uint32_t{V4L2_PIX_FMT_MJPEG});
  EXPECT_EQ(FourccFromText("Y16"), uint32_t{V4L2_PIX_FMT_Y16});
  EXPECT_EQ(FourccFromText(""), 0u);
  EXPECT_EQ(FourccToText(V4L2_PIX_FMT_NV12), "NV12");
  EXPECT_EQ(FourccToText(V4L2_PIX_FMT_Y16), "Y16");
  EXPECT_EQ(FourccToText(0x01020304), "????");
}

}  // namespace
}  // namespace tavrin::lens::v4l2
