// The watermark draws text, which needs a QGuiApplication; the offscreen
// platform needs no display.
#include <gtest/gtest.h>

#include <QGuiApplication>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  int qtArgc = 3;
  char programName[] = "tavrin_lens_tests";
  char platformFlag[] = "-platform";
  char platformName[] = "offscreen";
  char* qtArgv[] = {programName, platformFlag, platformName, nullptr};
  QGuiApplication app(qtArgc, qtArgv);
  return RUN_ALL_TESTS();
}
