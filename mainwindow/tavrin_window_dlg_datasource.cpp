// The operations through which the data source drives the window. They
// arrive on the channel's receiver thread and do their work on the GUI
// thread.
#include <QCheckBox>
#include <QComboBox>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

#include "mainwindow/camera_calls.h"
#include "mainwindow/copied_data_server.h"
#include "mainwindow/message_box.h"
#include "mainwindow/scan_window_template.h"
#include "mainwindow/tavrin_window_dlg.h"
#include "platform/parent_process.h"
#include "platform/paths.h"
#include "recovery/undelivered_pages.h"
#include "settings/scan_settings.h"

namespace tavrin {

namespace {
constexpr auto kReadyPollInterval = std::chrono::milliseconds(500);
constexpr int kDefaultRequestDpi = 200;
// A window left behind must not outlive its client by more than a moment:
// the next session of the user may start right after.
constexpr int kParentPollMs = 100;

// The data source starts the window and owns the channel's blocks. When its
// process ends without a word (killed, crashed), nothing would ever close
// a window that was hidden for it; so the window closes when its parent
// goes, as if cancelled. Without a channel there is nobody to wait for.
void WatchDataSource(QDialog* window, CTwainControl& twain, std::function<void()> gone) {
  if (!twain.Channel().IsReceiving()) return;
  const int parent = platform::ParentProcessId();
  auto* timer = new QTimer(window);
  QObject::connect(timer, &QTimer::timeout, window, [timer, parent, gone = std::move(gone)] {
    if (platform::ParentProcessId() == parent) return;
    timer->stop();
    gone();
  });
  timer->start(kParentPollMs);
}
}  // namespace

template <class Work>
int CTavrinWindowDlg::RunOnGuiThread(Work work, int whenClosing) {
  return calls.Run(std::move(work), whenClosing);
}

int CTavrinWindowDlg::Idle() {
  return 1;
}

int CTavrinWindowDlg::ShowTwainWindow(int /*command*/) {
  return RunOnGuiThread(
      [this] {
        show();
        return 1;
      },
      1);
}

int CTavrinWindowDlg::CaptureImage() {
  return RunOnGuiThread(
      [this] {
        OnCapture();
        return 1;
      },
      1);
}

int CTavrinWindowDlg::LockMerge(int locked) {
  return RunOnGuiThread(
      [this, locked] {
        EnableControl(kIdMergeCheck, locked == 0);
        return 1;
      },
      1);
}

int CTavrinWindowDlg::CloseTwainWindow() {
  // Closing waits for marshalled calls to finish, so it must not run inside
  // one: it is queued and runs once this call has returned.
  return RunOnGuiThread(
      [this] {
        QMetaObject::invokeMethod(this, &CTavrinWindowDlg::reject, Qt::QueuedConnection);
        return 1;
      },
      1);
}

int CTavrinWindowDlg::ApplyShowModel() {
  twain.ReadShowModel();
  // A request that arrives during start-up waits for it to finish; a close
  // that begins meanwhile ends the wait.
  while (!ready) {
    if (IsClosing()) return 1;
    std::this_thread::sleep_for(kReadyPollInterval);
  }
  const int mode = twain.m_nShowMode;
  if (mode == kShowModeWindow) return ShowTwainWindow(1);
  const int autoSeconds = IsUnattended(mode) ? twain.m_nAutoCapture.load() : 0;
  // A hands-free batch shows the camera's picture and the run, so the
  // person sees what is taken and can end it.
  if (mode == kShowModeList || autoSeconds > 0) {
    ShowTwainWindow(1);
  } else if (cameraReady) {
    Idle();
  } else {
    ShowTwainWindow(1);
  }
  return RunOnGuiThread(
      [this, mode, autoSeconds] {
        if (mode != kShowModeList) {
          TurnOff(mergeCheck, &CTavrinWindowDlg::OnMergeCheck);
          TurnOff(webcamCheck, &CTavrinWindowDlg::OnWebcamCheck);
        }
        const int dpi = twain.m_nDPI;
        g_scanSettings.DPI.ImageDPI = dpi > 0 ? dpi : kDefaultRequestDpi;
        SelectDpiUnit();
        g_scanSettings.colorType = twain.m_nColorType;
        colorCombo->setCurrentIndex(g_scanSettings.colorType);
        const int evenLight = twain.m_nEvenLight;
        if (evenLight >= 0) {
          g_scanSettings.evenLight = evenLight != 0 ? 1 : 0;
          evenLightCheck->setChecked(evenLight != 0);
        }
        OnColorChange();
        g_scanSettings.rotateType = twain.m_nRotateMode;
        rotateCombo->setCurrentIndex(g_scanSettings.rotateType);
        OnRotateChange();
        const int crop = twain.m_nCropMode;
        if (crop >= 0 && crop < cropCombo->count()) {
          cropCombo->setCurrentIndex(crop);
          OnCropChange();
        }
        ApplySearchArea();
        if (autoSeconds > 0) StartFeederRun(autoSeconds);
        return 1;
      },
      1);
}

void CTavrinWindowDlg::ApplySearchArea() {
  int area[4];
  for (int i = 0; i < 4; ++i) area[i] = twain.m_nSearchArea[i];
  SendSearchArea(library, currentCamera, area);
}

bool CTavrinWindowDlg::OnCopyData(const CopiedDataRecord& record) {
  if (record.id != kCopyDataMessageId) return false;
  // Only the code is read, but a record too short to hold one carries none.
  if (record.data.size() < sizeof(std::int32_t)) return false;
  ChannelBlock block;
  std::memcpy(&block, record.data.data(), std::min(record.data.size(), sizeof(ChannelBlock)));
  twain.OnMessage(&block);
  return true;
}

void CTavrinWindowDlg::StartCopiedDataServer() {
  if (copiedData == nullptr) {
    copiedData =
        new CopiedDataServer([this](const CopiedDataRecord& record) { OnCopyData(record); }, this);
  }
  // The channel still works without it, so the window carries on.
  if (!copiedData->Listen(QString::fromStdString(CopiedDataSocketPath()))) {
    std::fprintf(stderr, "TavrinDesk: could not listen for copied data (%s).\n",
                 copiedData->LastError().toLocal8Bit().constData());
  }
  WatchDataSource(this, twain, [this] { EndWithoutDataSource(); });
}

void CTavrinWindowDlg::EndWithoutDataSource() {
  dataSourceGone = true;
  // Nobody takes a message any more: closing must not wait for that.
  twain.Channel().MarkPeerGone();
  std::fprintf(stderr,
               "TavrinDesk: the program that asked for the scan has ended; closing. Pages "
               "captured and not delivered are kept for its next run.\n");
  reject();
}

void CTavrinWindowDlg::OfferWaitingPages() {
  if (IsClosing() || workFolder.empty()) return;
  const std::string tempFolder = platform::PrivateTempFolder();
  const std::string waiting = recovery::DescribeWaiting(recovery::ListWaiting(tempFolder));
  if (waiting.empty()) return;
  const QString text =
      QStringLiteral(
          "%1 captured in an earlier session %2 never delivered.\n\nAdd them to this "
          "scan, or discard them? (\"Later\" keeps them: tavrin-scan --recover "
          "delivers them.)")
          .arg(QString::fromStdString(waiting),
               QString::fromLatin1(waiting.rfind("1 page ", 0) == 0 ? "was" : "were"));
  enum Choice { kAdd, kDiscard, kLater };
  const int choice = AskChoice(
      this, text,
      {QStringLiteral("&Add to this scan"), QStringLiteral("&Discard"), QStringLiteral("&Later")},
      kLater);
  if (IsClosing()) return;
  if (choice == kDiscard &&
      AskQuestion(this,
                  QStringLiteral("Discard %1 for good?").arg(QString::fromStdString(waiting)))) {
    recovery::DiscardWaiting(tempFolder);
  } else if (choice == kAdd) {
    for (const std::string& page : recovery::TakeIntoWorkFolder(tempFolder)) HandOn(page);
  }
}

bool CTavrinWindowDlg::HiddenAtStart() const {
  return IsUnattended(twain.m_nShowMode) && cameraReady;
}

}  // namespace tavrin
