// CTavrinWindowApp: the application object. It sets the program up, runs
// the scan window modally and ends when the window closes. GUI thread only.
#pragma once

#include <QApplication>

namespace tavrin {

class CTavrinWindowApp : public QApplication {
 public:
  CTavrinWindowApp(int& argc, char** argv);

  // Runs the scan window until it closes, with OK or Cancel alike; returns
  // false, as the process is to end then.
  bool InitInstance();
};

}  // namespace tavrin
