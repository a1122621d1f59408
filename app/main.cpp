#include "app/tavrin_window_app.h"
#include "dslink/twain_control.h"

int main(int argc, char** argv) {
  tavrin::UseCfgInfoFromArguments(argc, argv);
  // The live picture's host needs a window of its own for the camera
  // library; its siblings, every other control, do not.
  QCoreApplication::setAttribute(Qt::AA_DontCreateNativeWidgetSiblings);
  tavrin::CTavrinWindowApp app(argc, argv);
  app.InitInstance();
  return 0;
}
