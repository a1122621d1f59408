#include "app/tavrin_window_app.h"

int main(int argc, char** argv) {
  tavrin::CTavrinWindowApp app(argc, argv);
  app.InitInstance();
  return 0;
}
