// Waiting in tests for something another thread or process brings about,
// instead of sleeping for a guessed time.
#pragma once

#include <chrono>
#include <thread>

#ifdef QT_CORE_LIB
#include <QCoreApplication>
#endif

namespace tavrin::test {

// Checks done() every pollMs until it holds; false once timeoutMs passed
// without. Where the test runs a Qt application, its events are processed
// between the checks, so that queued signals and timers of the code under
// test run on the test's thread. The default is generous: a capture at a
// camera's full size under the sanitizers on a busy machine takes seconds,
// and a wait that holds costs nothing more.
template <typename Done>
bool WaitFor(Done done, int timeoutMs = 20000, int pollMs = 5) {
  const auto by = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > by) return false;
#ifdef QT_CORE_LIB
    if (QCoreApplication::instance() != nullptr) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
#endif
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
  }
  return true;
}

// Lets ms milliseconds pass, processing Qt's events where there is an
// application: for what must not happen within a time, not for what must.
inline void Pump(int ms) {
  WaitFor([] { return false; }, ms);
}

}  // namespace tavrin::test
