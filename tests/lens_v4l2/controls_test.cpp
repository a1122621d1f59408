#include <linux/videodev2.h>

#include <cerrno>

#include "lens/src/v4l2/controls.h"
#include "replay_support.h"

namespace tavrin::lens::v4l2 {
namespace {

using replay::Replay;

const CameraControl* Find(const std::vector<CameraControl>& controls, uint32_t id) {
  for (const CameraControl& control : controls) {
    if (control.id == id) return &control;
  }
  return nullptr;
}

class ControlsTest : public ::testing::Test {
 protected:
  void Open(const std::string& recording, const std::string& node) {
    kernel_ = Replay(recording);
    fd_ = kernel_->Open(node);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    if (kernel_ != nullptr && fd_ >= 0) kernel_->Close(fd_);
  }
  std::shared_ptr<ReplayKernel> kernel_;
  int fd_ = -1;
};

TEST_F(ControlsTest, DocumentCameraListsUserAndCameraControls) {
  Open("doccam_8mp.rec", "/dev/video0");
  const std::vector<CameraControl> controls = EnumerateControls(*kernel_, fd_);
  // 11 user and 8 camera controls; the two class headers are not controls.
  ASSERT_EQ(controls.size(), 19u);
  EXPECT_EQ(Find(controls, V4L2_CID_USER_CLASS), nullptr);
  const CameraControl* brightness = Find(controls, V4L2_CID_BRIGHTNESS);
  ASSERT_NE(brightness, nullptr);
  EXPECT_EQ(brightness->kind, ControlKind::kInteger);
  EXPECT_EQ(brightness->controlClass, ControlClass::kUser);
  EXPECT_EQ(brightness->minimum, -64);
  EXPECT_EQ(brightness->maximum, 64);
  const CameraControl* autoWhite = Find(controls, V4L2_CID_AUTO_WHITE_BALANCE);
  ASSERT_NE(autoWhite, nullptr);
  EXPECT_EQ(autoWhite->kind, ControlKind::kBoolean);
  EXPECT_EQ(autoWhite->value, 1);
  const CameraControl* zoom = Find(controls, V4L2_CID_ZOOM_ABSOLUTE);
  ASSERT_NE(zoom, nullptr);
  EXPECT_EQ(zoom->controlClass, ControlClass::kCamera);
  const CameraControl* pan = Find(controls, V4L2_CID_PAN_ABSOLUTE);
  ASSERT_NE(pan, nullptr);
  EXPECT_EQ(pan->step, 3600);
}

TEST_F(ControlsTest, MenusKeepOnlyTheEntriesTheDriverHas) {
  Open("doccam_8mp.rec", "/dev/video0");
  const std::vector<CameraControl> controls = EnumerateControls(*kernel_, fd_);
  const CameraControl* exposure = Find(controls, V4L2_CID_EXPOSURE_AUTO);
  ASSERT_NE(exposure, nullptr);
  EXPECT_EQ(exposure->kind, ControlKind::kMenu);
  ASSERT_EQ(exposure->menu.size(), 2u);
  EXPECT_EQ(exposure->menu[0].index, 1);
  EXPECT_EQ(exposure->menu[0].name, "Manual Mode");
  EXPECT_EQ(exposure->menu[1].index, 3);
  const CameraControl* powerLine = Find(controls, V4L2_CID_POWER_LINE_FREQUENCY);
  ASSERT_NE(powerLine, nullptr);
  ASSERT_EQ(powerLine->menu.size(), 3u);
  EXPECT_EQ(powerLine->menu[1].name, "50 Hz");
}

TEST_F(ControlsTest, InactiveFlagsFollowTheAutomaticModes) {
  Open("doccam_8mp.rec", "/dev/video0");
  std::vector<CameraControl> controls = EnumerateControls(*kernel_, fd_);
  EXPECT_TRUE(Find(controls, V4L2_CID_WHITE_BALANCE_TEMPERATURE)->inactive);
  EXPECT_TRUE(Find(controls, V4L2_CID_EXPOSURE_ABSOLUTE)->inactive);
  EXPECT_TRUE(Find(controls, V4L2_CID_FOCUS_ABSOLUTE)->inactive);
  EXPECT_FALSE(Find(controls, V4L2_CID_BRIGHTNESS)->inactive);

  // While automatic white balance owns it, the temperature cannot be set.
  int value = 3000;
  EXPECT_EQ(SetControlValue(*kernel_, fd_, V4L2_CID_WHITE_BALANCE_TEMPERATURE, value), -EACCES);
  int off = 0;
  ASSERT_EQ(SetControlValue(*kernel_, fd_, V4L2_CID_AUTO_WHITE_BALANCE, off), 0);
  controls = EnumerateControls(*kernel_, fd_);
  EXPECT_FALSE(Find(controls, V4L2_CID_WHITE_BALANCE_TEMPERATURE)->inactive);
  ASSERT_EQ(SetControlValue(*kernel_, fd_, V4L2_CID_WHITE_BALANCE_TEMPERATURE, value), 0);
  int read = 0;
  ASSERT_EQ(GetControlValue(*kernel_, fd_, V4L2_CID_WHITE_BALANCE_TEMPERATURE, read), 0);
  EXPECT_EQ(read, 3000);
}

TEST_F(ControlsTest, DriverRoundsClampsAndRefuses) {
  Open("webcam_1080p.rec", "/dev/video2");
  int focus = 0;
  int off = 0;
  ASSERT_EQ(SetControlValue(*kernel_, fd_, V4L2_CID_FOCUS_AUTO, off), 0);
  focus = 12;  // step 5
  ASSERT_EQ(SetControlValue(*kernel_, fd_, V4L2_CID_FOCUS_ABSOLUTE, focus), 0);
  EXPECT_EQ(focus, 10);
  int brightness = 999;
  ASSERT_EQ(SetControlValue(*kernel_, fd_, V4L2_CID_BRIGHTNESS, brightness), 0);
  EXPECT_EQ(brightness, 255);
  int menu = 2;  // not an entry of this exposure menu
  EXPECT_EQ(SetControlValue(*kernel_, fd_, V4L2_CID_EXPOSURE_AUTO, menu), -EINVAL);
  int privacy = 1;
  EXPECT_EQ(SetControlValue(*kernel_, fd_, V4L2_CID_PRIVACY, privacy), -EACCES);
  const std::vector<CameraControl> controls = EnumerateControls(*kernel_, fd_);
  EXPECT_TRUE(Find(controls, V4L2_CID_PRIVACY)->readOnly);
  int unknown = 0;
  EXPECT_EQ(GetControlValue(*kernel_, fd_, 0x00981234, unknown), -EINVAL);
}

TEST_F(ControlsTest, IntegerMenusAndDisabledControls) {
  Open("stepwise_cam.rec", "/dev/video0");
  const std::vector<CameraControl> controls = EnumerateControls(*kernel_, fd_);
  EXPECT_EQ(Find(controls, 0x00980923), nullptr);  // disabled
  const CameraControl* iso = Find(controls, V4L2_CID_ISO_SENSITIVITY);
  ASSERT_NE(iso, nullptr);
  EXPECT_EQ(iso->kind, ControlKind::kMenu);
  EXPECT_TRUE(iso->inactive);
  ASSERT_EQ(iso->menu.size(), 5u);
  EXPECT_EQ(iso->menu[3].name, "400");
}

TEST_F(ControlsTest, UnpluggedCameraAnswersEnodev) {
  Open("doccam_8mp.rec", "/dev/video0");
  kernel_->Unplug("/dev/video0");
  EXPECT_TRUE(EnumerateControls(*kernel_, fd_).empty());
  int value = 0;
  EXPECT_EQ(GetControlValue(*kernel_, fd_, V4L2_CID_BRIGHTNESS, value), -ENODEV);
}

}  // namespace
}  // namespace tavrin::lens::v4l2
