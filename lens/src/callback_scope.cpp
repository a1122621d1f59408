#include "lens/src/callback_scope.h"

namespace tavrin::lens {

namespace {
thread_local int callbackDepth = 0;
}  // namespace

CallbackScope::CallbackScope() {
  ++callbackDepth;
}
CallbackScope::~CallbackScope() {
  --callbackDepth;
}
bool CallbackScope::Inside() {
  return callbackDepth > 0;
}

}  // namespace tavrin::lens
