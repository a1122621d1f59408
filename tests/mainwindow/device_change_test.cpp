// Device change through the camera library's watched list of virtual
// cameras: the callback comes on the library's thread and the window
// re-enumerates on its own.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>

#include "settings/ui_text_table.h"

#include "mainwindow/scan_window_template.h"
#include "tests/mainwindow/drive_fixture.h"

namespace tavrin {
namespace {

using test::DriveTest;
using test::Pump;
using test::WaitFor;

class DeviceChangeTest : public DriveTest {
 protected:
  int Count(int comboId) const {
    return qobject_cast<QComboBox*>(window->Control(comboId))->count();
  }
};

TEST_F(DeviceChangeTest, UnpluggingTheOnlyCameraShowsTheWindowWithEmptyLists) {
  // A request that captures at once: the window starts hidden.
  WriteShowModel(1);
  ASSERT_TRUE(Start());
  ASSERT_FALSE(window->isVisible());
  ASSERT_TRUE(Probe().IsCameraReady());
  ASSERT_EQ(Count(kIdDeviceCombo), 1);

  SetCameras("");
  ASSERT_TRUE(WaitFor([&] { return !Probe().IsCameraReady(); }, 10000));
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(Count(kIdDeviceCombo), 0);
  EXPECT_EQ(Count(kIdWebcamDeviceCombo), 0);
  EXPECT_EQ(Probe().CurrentCamera(), -1);
  EXPECT_EQ(Probe().WebcamCamera(), -1);
  // The picture says what is wrong and what to do; what needs a camera is
  // greyed.
  const auto* area = qobject_cast<QLabel*>(window->Control(kIdPreviewArea));
  EXPECT_EQ(area->text(), QString::fromStdU16String(g_uiTextTable.NoCameraHint));
  EXPECT_FALSE(window->PreviewHost()->isVisible());
  for (int id : {kIdCaptureButton, kIdAutoCaptureButton, kIdZoomInButton, kIdDeviceCombo,
                 kIdResolutionCombo, kIdImageSettingsButton, kIdDeviceSettingsButton}) {
    EXPECT_FALSE(window->Control(id)->isEnabled()) << id;
  }
  EXPECT_TRUE(window->Control(kIdColorCombo)->isEnabled());

  // Plugged in again, it all comes back by itself.
  SetCameras("document");
  ASSERT_TRUE(WaitFor([&] { return Probe().CurrentCamera() == 0; }, 10000));
  EXPECT_TRUE(area->text().isEmpty());
  EXPECT_TRUE(window->PreviewHost()->isVisible());
  EXPECT_TRUE(window->Control(kIdCaptureButton)->isEnabled());
  EXPECT_TRUE(window->Control(kIdDeviceSettingsButton)->isEnabled());
}

TEST_F(DeviceChangeTest, PluggingASecondCameraWithTheWebcamTickedOpensItAsTheWebcam) {
  ScanSettings settings;
  settings.Webcam.isEnable = 1;
  SetCameras("document,webcam");
  ASSERT_TRUE(Start(settings));
  auto* webcam = qobject_cast<QCheckBox*>(window->Control(kIdWebcamCheck));
  ASSERT_TRUE(webcam->isChecked());
  ASSERT_EQ(Probe().WebcamCamera(), 1);

  SetCameras("document");
  ASSERT_TRUE(WaitFor([&] { return Count(kIdDeviceCombo) == 1; }, 10000));
  EXPECT_EQ(Probe().WebcamCamera(), -1);
  EXPECT_FALSE(webcam->isEnabled());

  SetCameras("document,webcam");
  ASSERT_TRUE(WaitFor([&] { return Probe().WebcamCamera() == 1; }, 10000));
  EXPECT_EQ(Probe().CurrentCamera(), 0);
  EXPECT_TRUE(webcam->isEnabled());
  EXPECT_TRUE(webcam->isChecked());
  EXPECT_EQ(Count(kIdDeviceCombo), 2);
}

TEST_F(DeviceChangeTest, TwentyChangesInTwoSecondsEndInTheLastState) {
  ASSERT_TRUE(Start());
  for (int i = 0; i < 20; ++i) {
    SetCameras(i % 2 == 0 ? "document,webcam" : "document");
    Pump(100);
  }
  SetCameras("document,webcam,pages");
  ASSERT_TRUE(WaitFor([&] { return Count(kIdDeviceCombo) == 3; }, 10000));
  // No change still on its way undoes the last one.
  Pump(1500);
  EXPECT_EQ(Count(kIdDeviceCombo), 3);
  EXPECT_EQ(Count(kIdWebcamDeviceCombo), 3);
  EXPECT_EQ(Probe().CurrentCamera(), 0);
  EXPECT_TRUE(Probe().IsCameraReady());
  EXPECT_TRUE(window->Control(kIdWebcamCheck)->isEnabled());
  // The camera is open and captures.
  const size_t before = Probe().Twain().FileList().size();
  Probe().OnCapture();
  EXPECT_EQ(Probe().Twain().FileList().size(), before + 1);
}

}  // namespace
}  // namespace tavrin
