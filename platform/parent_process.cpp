#include "platform/parent_process.h"

#include <unistd.h>

namespace tavrin::platform {

int ParentProcessId() {
  return static_cast<int>(getppid());
}

}  // namespace tavrin::platform
