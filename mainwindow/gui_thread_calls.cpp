#include "mainwindow/gui_thread_calls.h"

#include <QCoreApplication>
#include <QEvent>

#include <chrono>
#include <thread>

namespace tavrin {

void GuiThreadCalls::Close() {
  {
    std::lock_guard guard(lock);
    closing = true;
  }
  for (;;) {
    {
      std::lock_guard guard(lock);
      if (inFlight <= (inCall ? 1 : 0)) return;
    }
    QCoreApplication::sendPostedEvents(&owner, QEvent::MetaCall);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace tavrin
