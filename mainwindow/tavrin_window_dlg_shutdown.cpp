// Device change, window commands, Exit and the shutdown order.
#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QMoveEvent>
#include <QShortcut>
#include <QStatusBar>

#include "dialogs/about_dlg.h"
#include "dialogs/merge_preview_dlg.h"
#include "mainwindow/auto_capture_dlg.h"
#include "mainwindow/copied_data_server.h"
#include "mainwindow/scan_window_template.h"
#include "mainwindow/tavrin_window_dlg.h"
#include "mainwindow/window_registry.h"
#include "settings/ui_text_table.h"
#include "thumbnails/image_list_ctrl.h"

namespace tavrin {

CTavrinWindowDlg::~CTavrinWindowDlg() {
  UnregisterScanWindow(this);
  if (!shutdownDone) Shutdown();
  // The receiver thread calls into this object; it must be gone before
  // the members it uses (marshalLock, closing) are.
  twain.Channel().Close();
  // Now, while the camera library it talks to is still loaded; as a child
  // it would go only after this object's members.
  delete autoCapture;
  autoCapture = nullptr;
}

void CTavrinWindowDlg::ConnectAboutEntry() {
  connect(statusBar, &QWidget::customContextMenuRequested, this, [this](const QPoint& where) {
    QMenu menu(this);
    QAction* about = menu.addAction(QString::fromStdU16String(g_uiTextTable.About));
    connect(about, &QAction::triggered, this, [this] { OnSysCommand(kIdmAboutBox); });
    menu.exec(statusBar->mapToGlobal(where));
  });
  auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(help, &QShortcut::activated, this, [this] { OnSysCommand(kIdmAboutBox); });
}

void CTavrinWindowDlg::OnSysCommand(int command) {
  if ((command & 0xFFF0) == kIdmAboutBox) ShowAboutBox();
}

void CTavrinWindowDlg::ShowAboutBox() {
  CAboutDlg about(this);
  about.exec();
}

void CTavrinWindowDlg::OnCameraListChanged() {
  if (calls.Closing()) return;
  // Queued while a capture's message box was open: it runs after it.
  if (busy) {
    deviceChangeWaiting = true;
    return;
  }
  const BusyScope scope(*this);
  library.camStopCameraLib();
  library.camUpdateCameraLib();
  currentCamera = -1;
  webcamCamera = -1;
  RefreshDevices(false);
  // With a camera, opening it has carried the run over already.
  if (currentCamera < 0) ContinueAutoCapture();
}

void CTavrinWindowDlg::moveEvent(QMoveEvent* event) {
  QDialog::moveEvent(event);
  PlaceCompanions();
}

void CTavrinWindowDlg::OnExit() {
  reject();
}

void CTavrinWindowDlg::done(int result) {
  if (!shutdownDone) Shutdown();
  QDialog::done(result);
}

void CTavrinWindowDlg::Shutdown() {
  shutdownDone = true;
  // A data-source message that arrives from now on finds nobody listening
  // rather than a window half gone.
  calls.Close();
  if (copiedData != nullptr) copiedData->Close();

  // With the data source gone there is nobody to hand pages to: they stay
  // in the working folder, where its next run finds them.
  if (!dataSourceGone) twain.Finish();
  // Pages taken out of the strip were kept for an undo until the list was
  // written; now they go.
  if (thumbnails != nullptr) thumbnails->DiscardRemoved();
  // Nothing the data source sends may reach a window that is going away.
  // Inside a call of the receiver thread the channel cannot wait for that
  // thread; the destructor closes it then.
  if (!calls.InCall()) twain.Channel().Close();
  // A run of continuous capture ends before the library goes: its callback
  // must have returned for good when camUnInitCameraLib is called.
  if (autoCapture != nullptr) {
    if (autoCapture->IsRunning()) autoCapture->StopCapture();
    autoCapture->hide();
  }
  if (libraryInitialised) {
    library.camUnInitCameraLib();
    libraryInitialised = false;
  }
  if (controlsRestored && !IsUnattended(twain.m_nShowMode)) SaveSettings();
  if (mergePreview != nullptr) mergePreview->hide();
  if (previewHost != nullptr) previewHost->hide();
  if (webcamPreview != nullptr) webcamPreview->hide();
}

}  // namespace tavrin
