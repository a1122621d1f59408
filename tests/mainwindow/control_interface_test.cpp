// ITwainShowWindow as the channel's receiver thread calls it: the request
// waits for start-up, is applied on the window's thread by mode, and the
// capture it asks for lands like a press of Capture.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>

#include <atomic>
#include <fstream>
#include <thread>

#include "mainwindow/auto_capture_dlg.h"
#include "mainwindow/scan_window_template.h"
#include "platform/paths.h"
#include "settings/scan_settings.h"
#include "tests/mainwindow/drive_fixture.h"

namespace tavrin {
namespace {

using test::DriveTest;
using test::WaitFor;

class ControlInterfaceTest : public DriveTest {
 protected:
  static void WriteRequest(int mode, int colorType, int rotate, int dpi,
                           const std::string& optional = {}) {
    std::ofstream(platform::DocumentsFolder() + "/DSConfig/ShowModel.xml", std::ios::trunc)
        << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<cfg><ShowMode>" << mode
        << "</ShowMode><ColorType>" << colorType << "</ColorType><RotateMode>" << rotate
        << "</RotateMode><DPIMode>" << dpi << "</DPIMode>" << optional << "</cfg>\n";
  }
  // Runs an interface operation on a thread of its own, as the receiver
  // does, while this thread keeps the window's events going.
  template <class Operation>
  int OnReceiverThread(Operation operation) {
    std::atomic<bool> done = false;
    int result = 0;
    std::thread receiver([&] {
      result = operation();
      done = true;
    });
    const bool finished = WaitFor([&] { return done.load(); }, 20000);
    receiver.join();
    EXPECT_TRUE(finished);
    return result;
  }
  QComboBox* Combo(int id) const { return qobject_cast<QComboBox*>(window->Control(id)); }
  QCheckBox* Check(int id) const { return qobject_cast<QCheckBox*>(window->Control(id)); }
};

TEST_F(ControlInterfaceTest, ModeOneRequestClearsTheMergesAppliesItsChoicesAndCapturesUnseen) {
  WriteShowModel(1);
  SetCameras("document,webcam");
  ScanSettings settings;
  settings.Webcam.isEnable = 1;
  settings.MergeHV.isEnable = 1;
  ASSERT_TRUE(Start(settings));
  ASSERT_FALSE(window->isVisible());
  ASSERT_TRUE(Check(kIdWebcamCheck)->isChecked());
  ASSERT_EQ(Probe().WebcamCamera(), 1);
  ASSERT_TRUE(Check(kIdMergeCheck)->isChecked());

  ASSERT_TRUE(Check(kIdEvenLightCheck)->isChecked());

  // Grey (TWAIN pixel type 1), a half turn, 300 dpi, the light as it falls.
  WriteRequest(1, 1, 2, 300, "<EvenLight>0</EvenLight>");
  EXPECT_EQ(OnReceiverThread([&] { return window->ApplyShowModel(); }), 1);
  EXPECT_FALSE(window->isVisible());
  EXPECT_FALSE(Check(kIdMergeCheck)->isChecked());
  EXPECT_FALSE(Probe().MergePreview()->isVisible());
  EXPECT_FALSE(Check(kIdWebcamCheck)->isChecked());
  EXPECT_EQ(Probe().WebcamCamera(), -1);
  EXPECT_EQ(g_scanSettings.DPI.ImageDPI, 300);
  EXPECT_EQ(Combo(kIdColorCombo)->currentIndex(), ColorIndexFromPixelType(1));
  EXPECT_EQ(Combo(kIdRotateCombo)->currentIndex(), 2);
  EXPECT_FALSE(Check(kIdEvenLightCheck)->isChecked());
  EXPECT_EQ(g_scanSettings.evenLight, 0);

  const size_t before = Probe().Twain().FileList().size();
  EXPECT_EQ(OnReceiverThread([&] { return window->CaptureImage(); }), 1);
  EXPECT_EQ(Probe().Twain().FileList().size(), before + 1);
  EXPECT_FALSE(window->isVisible());
}

// A data source's hands-free batch: the window shows with the run going,
// the crop asked for, and ending the run ends the session.
TEST_F(ControlInterfaceTest, AnAutomaticRunRequestShowsTheWindowAndItsRunWhoseEndClosesIt) {
  WriteShowModel(1);
  ASSERT_TRUE(Start(ScanSettings{}));
  ASSERT_FALSE(window->isVisible());
  std::ofstream(platform::DocumentsFolder() + "/DSConfig/ShowModel.xml", std::ios::trunc)
      << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<cfg><ShowMode>1</ShowMode><ColorType>1"
         "</ColorType><RotateMode>0</RotateMode><DPIMode>150</DPIMode><CropMode>0</CropMode>"
         "<AutoCapture>2</AutoCapture></cfg>\n";
  EXPECT_EQ(OnReceiverThread([&] { return window->ApplyShowModel(); }), 1);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(Combo(kIdCropCombo)->currentIndex(), 0);
  EXPECT_EQ(Combo(kIdColorCombo)->currentIndex(), ColorIndexFromPixelType(1));
  CAutoCaptureDlg* run = Probe().AutoCapture();
  ASSERT_NE(run, nullptr);
  EXPECT_TRUE(run->isVisible());
  EXPECT_TRUE(run->IsRunning());
  EXPECT_EQ(run->Timed(), 0);
  EXPECT_EQ(run->Interval(), 2);
  run->OnEnd();
  EXPECT_FALSE(run->IsRunning());
  EXPECT_TRUE(WaitFor([&] { return !window->isVisible(); }, 5000));
}

TEST_F(ControlInterfaceTest, ModeZeroRequestShowsTheWindowAndKeepsThePersonsChoices) {
  ScanSettings settings;
  settings.colorType = kColorItemBlackWhite;
  settings.rotateType = kTavrinRotateLeft;
  ASSERT_TRUE(Start(settings));
  window->hide();
  WriteRequest(0, 2, 3, 600);
  EXPECT_EQ(OnReceiverThread([&] { return window->ApplyShowModel(); }), 1);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(Combo(kIdColorCombo)->currentIndex(), 3);
  EXPECT_EQ(Combo(kIdRotateCombo)->currentIndex(), 1);
  EXPECT_NE(g_scanSettings.DPI.ImageDPI, 600);
}

TEST_F(ControlInterfaceTest, ARequestDuringStartUpWaitsForItThenApplies) {
  WriteRequest(2, 0, 1, 0);
  ASSERT_TRUE(SaveLastSettings(LastSettingsPath(), ScanSettings{}));
  window = std::make_unique<CTavrinWindowDlg>();
  std::atomic<bool> done = false;
  std::thread receiver([&] {
    window->ApplyShowModel();
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_FALSE(done.load());
  ASSERT_TRUE(window->OnInitDialog());
  EXPECT_TRUE(WaitFor([&] { return done.load(); }, 5000));
  receiver.join();
  // Mode 2 shows the window and applies the request; DPIMode 0 is 200.
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(g_scanSettings.DPI.ImageDPI, 200);
  EXPECT_EQ(Combo(kIdColorCombo)->currentIndex(), ColorIndexFromPixelType(0));
  EXPECT_EQ(Combo(kIdRotateCombo)->currentIndex(), 1);
}

TEST_F(ControlInterfaceTest, CallsThatArriveOnceTheWindowClosesReturnWithoutTouchingIt) {
  WriteShowModel(1);
  ASSERT_TRUE(Start());
  Probe().OnExit();
  const size_t before = Probe().Twain().FileList().size();
  EXPECT_EQ(OnReceiverThread([&] { return window->ShowTwainWindow(1); }), 1);
  EXPECT_EQ(OnReceiverThread([&] { return window->CaptureImage(); }), 1);
  EXPECT_EQ(OnReceiverThread([&] { return window->ApplyShowModel(); }), 1);
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(Probe().Twain().FileList().size(), before);
}

}  // namespace
}  // namespace tavrin
