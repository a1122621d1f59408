// A camera library for the window tests of the data-source link, continuous
// capture and shutdown: it passes every call on to the real library
// (forwarding_lens.h), keeps the names of the calls in order, and calls a
// hook the test sets before each call is passed on, so that a test can
// look at the rest of the system at that very moment.
// Threads: any; the log is guarded by its own lock, the hook is called
// without it.
#define TAVRIN_LENS_BUILD
#include "TavrinLens.h"

#include <atomic>
#include <mutex>
#include <string>

#include "tests/mainwindow/forwarding_lens.h"

using DriveLensHook = void (*)(const char* name);

namespace tavrin::test::forwarding_lens {

namespace {

std::mutex logMutex;
std::string callLog;   // guarded by logMutex: one name a line
std::string snapshot;  // guarded by logMutex
std::atomic<DriveLensHook> hook = nullptr;

}  // namespace

void BeforeCall(const char* name) {
  if (DriveLensHook call = hook.load(); call != nullptr) call(name);
  std::lock_guard lock(logMutex);
  callLog += name;
  callLog += '\n';
}

void AfterCall(const std::string&) {}

}  // namespace tavrin::test::forwarding_lens

extern "C" {

TAVRIN_LENS_API const char* driveLensCalls(void) {
  using namespace tavrin::test::forwarding_lens;
  std::lock_guard lock(logMutex);
  snapshot = callLog;
  return snapshot.c_str();
}
TAVRIN_LENS_API void driveLensClear(void) {
  using namespace tavrin::test::forwarding_lens;
  std::lock_guard lock(logMutex);
  callLog.clear();
}
TAVRIN_LENS_API void driveLensSetHook(DriveLensHook function) {
  tavrin::test::forwarding_lens::hook = function;
}

}  // extern "C"
