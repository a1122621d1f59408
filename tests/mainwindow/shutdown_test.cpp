// The window's messages and its shutdown: the about command, the merge
// preview following the window, Exit, and the order in which the data
// source hears the end and the camera library goes, watched through the
// hook library and a data source of the test's own.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "dialogs/about_dlg.h"
#include "dslink/shared_message_channel.h"
#include "dslink/twain_control.h"
#include "mainwindow/auto_capture_dlg.h"
#include "mainwindow/scan_window_template.h"
#include "platform/text.h"
#include "tests/mainwindow/drive_fixture.h"
#include "tests/mainwindow/private_program_folder.h"

namespace tavrin {
namespace {

using test::DriveTest;
using test::Pump;
using test::WaitFor;

// The data source's end of the channel, recording what the window sends.
class Peer final : public ITwainDsCallback {
 public:
  ~Peer() { channel.Close(); }

  bool Open() {
    std::mt19937_64 random{std::random_device{}()};
    const std::string id = std::to_string(random());
    first = u"drive-test-" + platform::Utf8ToUtf16(id) + u"-1";
    second = u"drive-test-" + platform::Utf8ToUtf16(id) + u"-2";
    channel.SetCallback(this);
    channel.Start(first, second, 1);
    if (!channel.MarkBlocksUnopened()) return false;
    // Where the window's TWAIN control looks for it: beside the program.
    std::ofstream(test::ProgramFolder() + "/cfgInfo.xml", std::ios::trunc)
        << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<cfg><Name>" << platform::Utf16ToUtf8(first)
        << "</Name><m_strImgExe>" << platform::Utf16ToUtf8(second) << "</m_strImgExe></cfg>\n";
    return true;
  }
  int OnMessage(ChannelBlock* block) override {
    std::lock_guard lock(mutex);
    codes.push_back(block->code);
    return 1;
  }
  std::vector<int> Codes() {
    std::lock_guard lock(mutex);
    return codes;
  }
  // Messages the window has sent: taken, or waiting in the block.
  size_t Sent() { return Codes().size() + (channel.ReceivePending() ? 1 : 0); }

  SharedMessageChannel channel;

 private:
  std::u16string first;
  std::u16string second;
  std::mutex mutex;
  std::vector<int> codes;
};

Peer* watchedPeer = nullptr;
std::atomic<long> sentAtUnInit = -1;
std::atomic<bool> autoCaptureRunningAtUnInit = false;
CAutoCaptureDlg* watchedDialog = nullptr;

void AtLensCall(const char* name) {
  if (std::string(name) != "camUnInitCameraLib") return;
  if (watchedPeer != nullptr) sentAtUnInit = static_cast<long>(watchedPeer->Sent());
  if (watchedDialog != nullptr) autoCaptureRunningAtUnInit = watchedDialog->IsRunning();
}

class ShutdownTest : public DriveTest {
 protected:
  void TearDown() override {
    DriveTest::TearDown();
    watchedPeer = nullptr;
    watchedDialog = nullptr;
  }
  static long Index(const std::vector<std::string>& calls, const std::string& name) {
    const auto at = std::find(calls.begin(), calls.end(), name);
    return at == calls.end() ? -1 : static_cast<long>(at - calls.begin());
  }
};

TEST_F(ShutdownTest, FinishsMessageGoesOutBeforeTheCameraLibraryIsUninitialised) {
  ASSERT_TRUE(UseHookLens());
  Peer peer;
  ASSERT_TRUE(peer.Open());
  // Mode 0 with nothing captured: Finish answers with 205.
  WriteShowModel(0);
  ASSERT_TRUE(Start());
  ASSERT_TRUE(WaitFor([&] { return peer.channel.PeerHasOpened(); }));
  watchedPeer = &peer;
  sentAtUnInit = -1;
  SetLensHook(&AtLensCall);

  qobject_cast<QPushButton*>(window->Control(kIdExitButton))->click();
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(window->result(), QDialog::Rejected);
  EXPECT_EQ(sentAtUnInit.load(), 1) << "camUnInitCameraLib came before Finish's message";
  ASSERT_TRUE(WaitFor([&] { return !peer.Codes().empty(); }));
  EXPECT_EQ(peer.Codes(), std::vector<int>{kMsgClose});
  const std::vector<std::string> calls = LensCalls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "camUnInitCameraLib"), 1);
  window.reset();
  EXPECT_EQ(peer.Codes(), std::vector<int>{kMsgClose});
}

// The data source keeps sending while the window closes and is destroyed:
// the receiver thread must be gone before the members it uses. Run under
// the sanitizers, this is where a late message would touch freed state.
TEST_F(ShutdownTest, MessagesArrivingWhileTheWindowIsDestroyedNeverReachIt) {
  Peer peer;
  ChannelTimings fast;
  fast.pollIntervalUs = 1000;
  fast.sendTimeoutMs = 200;
  peer.channel.SetTimings(fast);
  ASSERT_TRUE(peer.Open());
  WriteShowModel(0);
  ASSERT_TRUE(Start());
  ASSERT_TRUE(WaitFor([&] { return peer.channel.PeerHasOpened(); }));
  std::atomic<bool> stop = false;
  std::thread flood([&] {
    for (int i = 0; !stop; ++i) peer.channel.Send(1, i % 2 == 0 ? kMsgShow : kMsgRequest, u"");
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  window->reject();
  EXPECT_FALSE(Probe().Twain().Channel().IsReceiving()) << "still listening after the shutdown";
  window.reset();
  stop = true;
  flood.join();
  EXPECT_EQ(peer.Codes(), std::vector<int>{kMsgClose});
}

TEST_F(ShutdownTest, DestroyingTheWindowStopsARunningCaptureBeforeTheLibraryGoes) {
  ASSERT_TRUE(UseHookLens());
  ASSERT_TRUE(Start());
  qobject_cast<QComboBox*>(window->Control(kIdAutoCaptureModeCombo))->setCurrentIndex(0);
  qobject_cast<QPushButton*>(window->Control(kIdAutoCaptureButton))->click();
  CAutoCaptureDlg* dialog = Probe().AutoCapture();
  dialog->StopCapture();
  dialog->SetRun(1, 1);
  dialog->StartCapture();
  ASSERT_TRUE(WaitFor([&] { return dialog->ShotCount() >= 1; }, 5000));
  watchedDialog = dialog;
  autoCaptureRunningAtUnInit = true;
  SetLensHook(&AtLensCall);
  ClearLensCalls();

  window.reset();
  EXPECT_FALSE(autoCaptureRunningAtUnInit.load());
  const std::vector<std::string> calls = LensCalls();
  const long stop = Index(calls, "camStopAutoCapture");
  const long uninit = Index(calls, "camUnInitCameraLib");
  ASSERT_GE(stop, 0);
  ASSERT_GE(uninit, 0);
  EXPECT_LT(stop, uninit);
  for (long i = uninit + 1; i < static_cast<long>(calls.size()); ++i)
    EXPECT_NE(calls[i], "camStartAutoCapture");
}

TEST_F(ShutdownTest, AboutCommandShowsTheAboutBoxAndOtherCommandsDoNot) {
  ASSERT_TRUE(Start());
  for (int command : {16, 16 | 3, 0xF010, 32}) {
    SCOPED_TRACE(command);
    bool aboutShown = false;
    QTimer::singleShot(100, [&] {
      QWidget* modal = QApplication::activeModalWidget();
      aboutShown = dynamic_cast<CAboutDlg*>(modal) != nullptr;
      if (aboutShown) modal->close();
    });
    Probe().OnSysCommand(command);
    Pump(200);
    EXPECT_EQ(aboutShown, (command & 0xFFF0) == 16);
  }
}

TEST_F(ShutdownTest, TheMergePreviewFollowsTheWindowWhenItMoves) {
  ASSERT_TRUE(Start());
  auto* merge = qobject_cast<QCheckBox*>(window->Control(kIdMergeCheck));
  merge->setChecked(true);
  Probe().OnMergeCheck();
  qobject_cast<QRadioButton*>(window->Control(kIdHorizontalRadio))->setChecked(true);
  Probe().OnHorizontal();
  QWidget* area = window->Control(kIdPreviewArea);
  QWidget* preview = Probe().MergePreview();
  const auto offset = [&] { return preview->pos() - window->frameGeometry().topLeft(); };
  const QPoint placed = offset();
  for (const QPoint& by : {QPoint(40, 25), QPoint(-15, 60)}) {
    window->move(window->pos() + by);
    Pump(50);
    const QRect r(area->mapToGlobal(QPoint(0, 0)), area->size());
    // Beside the picture area, at the same place relative to the window.
    EXPECT_FALSE(preview->geometry().intersects(r));
    EXPECT_EQ(offset(), placed);
  }
  qobject_cast<QRadioButton*>(window->Control(kIdVerticalRadio))->setChecked(true);
  Probe().OnVertical();
  window->move(window->pos() + QPoint(10, 10));
  Pump(50);
  const QRect r(area->mapToGlobal(QPoint(0, 0)), area->size());
  EXPECT_FALSE(preview->geometry().intersects(r));
  EXPECT_GE(preview->height(), preview->width());
}

}  // namespace
}  // namespace tavrin
