// A camera library that passes every call on to the real one
// (forwarding_lens.h) and writes down each call with its arguments, its
// result and the time it began. Tests read the record with
// tavrinTestRecordedCalls: one line per call, fields separated by '|',
// "name|arg|...|=result|t=milliseconds".
// Threads: any; the record is guarded by its own lock.
#define TAVRIN_LENS_BUILD
#include "TavrinLens.h"

#include <mutex>
#include <string>

#include "tests/mainwindow/forwarding_lens.h"

namespace tavrin::test::forwarding_lens {

namespace {

class Record {
 public:
  // Unloaded, this library lets the real one go with it: nothing of the
  // camera library stays mapped once the window has let it go.
  ~Record() { ReleaseRealLibrary(); }
  void Add(const std::string& line) {
    std::lock_guard lock(mutex_);
    lines_ += line;
    lines_ += '\n';
  }
  const char* Snapshot() {
    std::lock_guard lock(mutex_);
    snapshot_ = lines_;
    return snapshot_.c_str();
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 private:
  std::mutex mutex_;
  std::string lines_;
  std::string snapshot_;
};

Record& TheRecord() {
  static Record record;
  return record;
}

}  // namespace

void BeforeCall(const char*) {}

void AfterCall(const std::string& line) {
  TheRecord().Add(line);
}

}  // namespace tavrin::test::forwarding_lens

extern "C" {

TAVRIN_LENS_API const char* tavrinTestRecordedCalls(void) {
  return tavrin::test::forwarding_lens::TheRecord().Snapshot();
}
TAVRIN_LENS_API void tavrinTestClearCalls(void) {
  tavrin::test::forwarding_lens::TheRecord().Clear();
}

}  // extern "C"
