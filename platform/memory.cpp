#include "platform/memory.h"

#include <malloc.h>

namespace tavrin::platform {

void ReturnFreedMemory() {
  ::malloc_trim(0);
}

}  // namespace tavrin::platform
