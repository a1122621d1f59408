#include "platform/tick_count.h"

#include <time.h>

namespace tavrin::platform {

uint32_t TickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms =
      static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

// C++20 defines the conversion as modulo 2^32, so this is the two's
// complement reading of the bits.
int32_t TickAsSigned(uint32_t tick) {
  return static_cast<int32_t>(tick);
}

}  // namespace tavrin::platform
