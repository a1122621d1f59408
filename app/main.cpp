#include "app/tavrin_window_app.h"
#include "dslink/twain_control.h"

int main(int argc, char** argv) {
  tavrin::UseCfgInfoFromArguments(argc, argv);
  tavrin::CTavrinWindowApp app(argc, argv);
  app.InitInstance();
  return 0;
}
