// The real scan window with the real camera library (or the hook library
// in front of it) and virtual cameras, for the tests of what drives it from
// outside: copied data, continuous capture, device change and shutdown.
#pragma once

#include <string>
#include <vector>

#include "tests/mainwindow/window_fixture.h"

namespace tavrin::test {

class DriveTest : public WindowFixture {
 protected:
  void SetUp() override;
  void TearDown() override;

  // ShowModel.xml in the documents folder's DSConfig/; none for mode < 0.
  static void WriteShowModel(int mode);
  // Puts the hook library in the program folder's place of the camera
  // library, with the real one beside it.
  static bool UseHookLens();
  // The hook library's exports, once the window has loaded it.
  static std::vector<std::string> LensCalls();
  static void ClearLensCalls();
  using Hook = void (*)(const char* name);
  static void SetLensHook(Hook hook);
};

}  // namespace tavrin::test
