#include "app/tavrin_window_app.h"

#include "mainwindow/tavrin_window_dlg.h"
#include "resources/app_icon.h"

namespace tavrin {

CTavrinWindowApp::CTavrinWindowApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("TavrinDesk"));
  setDesktopFileName(QStringLiteral("io.github.tavrindesk.TavrinDesk"));
  setApplicationVersion(QStringLiteral(TAVRIN_VERSION));
  setWindowIcon(AppIcon());
  // The window ends the run itself; hiding it must not end the process
  // while its shutdown still talks to the data source.
  setQuitOnLastWindowClosed(false);
}

bool CTavrinWindowApp::InitInstance() {
  CTavrinWindowDlg window;
  window.setModal(true);
  if (window.OnInitDialog()) window.exec();
  return false;
}

}  // namespace tavrin
