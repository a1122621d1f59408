// GuiThreadCalls: the data source's calls, which arrive on the channel's
// receiver thread, run on the GUI thread of the window that serves them,
// and a window that is closing can neither take one nor deadlock waiting
// for one it has let in.
// Threads: Run from any thread; the rest on the owner's (GUI) thread.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <mutex>

namespace tavrin {

class GuiThreadCalls {
 public:
  explicit GuiThreadCalls(QObject& owner) : owner(owner) {}

  // Runs work on the owner's thread and gives its result, or whenClosing
  // once the window is closing (also for a call that was queued then).
  template <class Work>
  int Run(Work work, int whenClosing) {
    if (QThread::currentThread() == owner.thread()) {
      if (Closing()) return whenClosing;
      return work();
    }
    {
      std::lock_guard guard(lock);
      if (closing) return whenClosing;
      ++inFlight;
    }
    int result = whenClosing;
    QMetaObject::invokeMethod(
        &owner,
        [&] {
          if (Closing()) return;
          inCall = true;
          result = work();
          inCall = false;
        },
        Qt::BlockingQueuedConnection);
    std::lock_guard guard(lock);
    --inFlight;
    return result;
  }

  bool Closing() {
    std::lock_guard guard(lock);
    return closing;
  }
  // From now on every call gives its whenClosing at once. Then runs the
  // calls let in before that and waiting for this thread (they return at
  // once now), so that the channel can be closed without a deadlock. The
  // call that is running right now, if the close came from one, is not
  // waited for.
  void Close();
  // True on the GUI thread while a call from the receiver thread runs:
  // whatever it ends must wait until it has returned.
  bool InCall() const { return inCall; }

 private:
  QObject& owner;
  std::mutex lock;
  bool closing = false;  // guarded by lock
  int inFlight = 0;      // guarded by lock
  bool inCall = false;   // GUI thread only
};

}  // namespace tavrin
