#include <linux/videodev2.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "lens/src/errors.h"
#include "lens/src/v4l2/lens_conf.h"
#include "lens/src/v4l2/v4l2_backend.h"
#include "platform/files.h"
#include "replay_support.h"
#include "tests/support/wait.h"

namespace tavrin::lens::v4l2 {
namespace {

using replay::LoadOrFail;
using replay::Replay;

using test::WaitFor;

class BackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ =
        (std::filesystem::temp_directory_path() / ("lens_v4l2_backend_" + std::to_string(getpid())))
            .string();
    ASSERT_TRUE(platform::CreateFolders(folder_));
    confPath_ = folder_ + "/TavrinLens.conf";
  }
  void TearDown() override { platform::DeleteFolderTree(folder_); }

  std::unique_ptr<Backend> Make(std::shared_ptr<ReplayKernel> kernel) {
    BackendOptions options;
    options.kernel = kernel;
    options.confPath = confPath_;
    options.hotplugQuietMs = 10;
    return MakeV4l2Backend(std::move(options));
  }

  std::string folder_;
  std::string confPath_;
};

TEST_F(BackendTest, DevicesDescribeFormatsAndOwnDpi) {
  ASSERT_TRUE(
      platform::ReplaceFileAtomically(confPath_, "[Tavrin DocCam 8MP]\nFieldOfViewMm=380\n"));
  auto backend = Make(Replay("doccam_8mp.rec"));
  auto devices = backend->Enumerate();
  ASSERT_EQ(devices.size(), 1u);
  const Device& device = *devices[0];
  EXPECT_EQ(device.Name(), "Tavrin DocCam 8MP");
  const std::vector<MediaType> types = device.MediaTypes();
  ASSERT_EQ(types.size(), 2u);
  EXPECT_EQ(types[0].name, "MJPG");
  EXPECT_EQ(types[0].sizes.front(), (FrameSize{3264, 2448}));
  EXPECT_EQ(device.OwnDpi({3264, 2448}), 218);
  EXPECT_EQ(device.OwnDpi({640, 480}), 43);

  // Image controls for one window, camera controls for the other.
  int image = 0;
  int camera = 0;
  for (const ControlInfo& control : device.Controls())
    (control.group == ControlGroup::kImage ? image : camera)++;
  EXPECT_EQ(image, 11);
  EXPECT_EQ(camera, 8);
  EXPECT_EQ(DetailedControls(device).size(), 19u);
}

TEST_F(BackendTest, WithoutFieldOfViewTheCameraHas96Dpi) {
  auto backend = Make(Replay("webcam_1080p.rec"));
  auto devices = backend->Enumerate();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0]->OwnDpi({1920, 1080}), kDefaultOwnDpi);
}

TEST_F(BackendTest, StreamsPicturesAndRefusesCorruptFrames) {
  // The webcam's recording alternates a good frame with one cut short.
  auto backend = Make(Replay("webcam_1080p.rec"));
  auto devices = backend->Enumerate();
  Device& device = *devices.at(0);
  std::atomic<int> pictures{0};
  ASSERT_EQ(device.Start(0, {640, 480},
                         [&](const cv::Mat& frame) {
                           EXPECT_EQ(frame.type(), CV_8UC3);
                           EXPECT_EQ(frame.size(), cv::Size(640, 480));
                           ++pictures;
                         }),
            kOk);
  ASSERT_TRUE(WaitFor([&] { return pictures >= 3 && CorruptFrameCount(device) >= 3; }));
  device.Stop();
  EXPECT_EQ(device.CheckCapture(), kOk);
  EXPECT_EQ(device.Start(5, {640, 480}, [](const cv::Mat&) {}), kErrNoSuchFormat);
  // 1280x1024 is not a size of this camera: the driver would change it.
  EXPECT_EQ(device.Start(0, {1280, 1024}, [](const cv::Mat&) {}), kErrNoSuchFormat);
}

TEST_F(BackendTest, ControlValuesAreRememberedAndRestoredOnOpen) {
  {
    auto backend = Make(Replay("doccam_8mp.rec"));
    auto devices = backend->Enumerate();
    Device& device = *devices.at(0);
    EXPECT_TRUE(device.SetControl(V4L2_CID_BRIGHTNESS, 20));
    EXPECT_TRUE(device.SetControl(V4L2_CID_AUTO_WHITE_BALANCE, 0));
    EXPECT_TRUE(device.SetControl(V4L2_CID_WHITE_BALANCE_TEMPERATURE, 3300));
    EXPECT_FALSE(device.SetControl(V4L2_CID_EXPOSURE_ABSOLUTE, 50));  // auto exposure owns it
    EXPECT_EQ(device.ControlValue(V4L2_CID_BRIGHTNESS), 20);
  }
  LensConf conf;
  ASSERT_TRUE(conf.Load(confPath_));
  EXPECT_EQ(conf.Camera("Tavrin DocCam 8MP").controls.size(), 3u);

  // A fresh camera (the recorded defaults) gets the values back when it opens.
  auto kernel = Replay("doccam_8mp.rec");
  auto backend = Make(kernel);
  auto devices = backend->Enumerate();
  Device& device = *devices.at(0);
  EXPECT_EQ(device.ControlValue(V4L2_CID_BRIGHTNESS), 0);
  ASSERT_EQ(device.Start(0, {640, 480}, [](const cv::Mat&) {}), kOk);
  EXPECT_EQ(device.ControlValue(V4L2_CID_BRIGHTNESS), 20);
  EXPECT_EQ(device.ControlValue(V4L2_CID_AUTO_WHITE_BALANCE), 0);
  // Restored after the automatic mode was switched off, so it took.
  EXPECT_EQ(device.ControlValue(V4L2_CID_WHITE_BALANCE_TEMPERATURE), 3300);
  device.Stop();
}

const ControlInfo* FindInfo(const std::vector<ControlInfo>& controls, uint32_t id) {
  for (const ControlInfo& control : controls) {
    if (control.id == static_cast<int>(id)) return &control;
  }
  return nullptr;
}

TEST_F(BackendTest, ControlListCarriesTypesChoicesAndFreshFlags) {
  auto kernel = Replay("doccam_8mp.rec");
  auto backend = Make(kernel);
  auto devices = backend->Enumerate();
  Device& device = *devices.at(0);
  std::vector<ControlInfo> controls = device.Controls();
  const ControlInfo* powerLine = FindInfo(controls, V4L2_CID_POWER_LINE_FREQUENCY);
  ASSERT_NE(powerLine, nullptr);
  EXPECT_EQ(powerLine->type, ControlType::kMenu);
  ASSERT_EQ(powerLine->choices.size(), 3u);
  EXPECT_EQ(powerLine->choices[2].value, 2);
  EXPECT_EQ(powerLine->choices[2].name, "60 Hz");
  EXPECT_EQ(powerLine->value, 1);
  EXPECT_EQ(FindInfo(controls, V4L2_CID_AUTO_WHITE_BALANCE)->type, ControlType::kBoolean);
  const ControlInfo* temperature = FindInfo(controls, V4L2_CID_WHITE_BALANCE_TEMPERATURE);
  ASSERT_NE(temperature, nullptr);
  EXPECT_EQ(temperature->type, ControlType::kInteger);
  EXPECT_TRUE(temperature->inactive);
  EXPECT_EQ(temperature->value, 4600);

  // Switching the automatic mode off shows in the next list.
  ASSERT_TRUE(device.SetControl(V4L2_CID_AUTO_WHITE_BALANCE, 0));
  controls = device.Controls();
  EXPECT_FALSE(FindInfo(controls, V4L2_CID_WHITE_BALANCE_TEMPERATURE)->inactive);
  EXPECT_EQ(FindInfo(controls, V4L2_CID_AUTO_WHITE_BALANCE)->value, 0);

  // Saved when asked, not only when the camera closes.
  EXPECT_FALSE(platform::PathExists(confPath_));
  device.SaveControls();
  LensConf conf;
  ASSERT_TRUE(conf.Load(confPath_));
  EXPECT_EQ(conf.Camera("Tavrin DocCam 8MP").controls.at(V4L2_CID_AUTO_WHITE_BALANCE), 0);

  const std::vector<ReplayKernel::ControlWrite> writes = kernel->ControlWrites();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].path, "/dev/video0");
  EXPECT_EQ(writes[0].id, V4L2_CID_AUTO_WHITE_BALANCE);
  EXPECT_EQ(writes[0].result, 0);
}

TEST_F(BackendTest, ButtonsAndRelativeMovesStayOutOfTheWindows) {
  auto backend = Make(Replay("webcam_1080p.rec"));
  auto devices = backend->Enumerate();
  const Device& device = *devices.at(0);
  const std::vector<CameraControl> all = DetailedControls(device);
  const auto relative = std::find_if(all.begin(), all.end(), [](const CameraControl& control) {
    return control.id == V4L2_CID_PAN_RELATIVE;
  });
  ASSERT_NE(relative, all.end());
  EXPECT_TRUE(relative->writeOnly);
  const std::vector<ControlInfo> shown = device.Controls();
  EXPECT_EQ(FindInfo(shown, V4L2_CID_PAN_RELATIVE), nullptr);
  EXPECT_EQ(FindInfo(shown, V4L2_CID_PAN_RESET), nullptr);
  EXPECT_NE(FindInfo(shown, V4L2_CID_ZOOM_ABSOLUTE), nullptr);
  EXPECT_EQ(shown.size() + 2, all.size());
}

TEST_F(BackendTest, UnplugMidStreamGivesAChangeNoticeAndFailsCaptures) {
  Recording recording = LoadOrFail("doccam_8mp.rec");
  recording.devices[0].unplugAfterFrames = 4;
  auto kernel = Replay(recording);
  auto backend = Make(kernel);
  std::atomic<int> notices{0};
  backend->StartWatching([&] { ++notices; });
  auto devices = backend->Enumerate();
  Device& device = *devices.at(0);
  std::atomic<int> pictures{0};
  ASSERT_EQ(device.Start(0, {640, 480}, [&](const cv::Mat&) { ++pictures; }), kOk);
  ASSERT_TRUE(WaitFor([&] { return notices > 0; }));
  EXPECT_EQ(pictures, 4);
  EXPECT_EQ(device.CheckCapture(), kErrDevice);
  EXPECT_TRUE(backend->Enumerate().empty());
  device.Stop();
  EXPECT_EQ(device.Start(0, {640, 480}, [](const cv::Mat&) {}), kErrDevice);
  backend->StopWatching();
  EXPECT_EQ(notices, 1);
  EXPECT_EQ(kernel->OpenFileCount(), 0);
  EXPECT_EQ(kernel->MappingCount(), 0);
}

}  // namespace
}  // namespace tavrin::lens::v4l2
