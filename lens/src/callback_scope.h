// Marks the current thread as running one of the library's callbacks, so
// calls made from inside a callback that would wait for that very thread are
// refused instead of deadlocking.
// Threads: any; the mark is per thread.
#pragma once

namespace tavrin::lens {

class CallbackScope {
 public:
  CallbackScope();
  ~CallbackScope();
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;
  static bool Inside();
};

}  // namespace tavrin::lens
