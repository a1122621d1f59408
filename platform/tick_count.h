// Milliseconds of CLOCK_MONOTONIC cut to 32 bits, like GetTickCount.
#pragma once

#include <cstdint>
#include <string>

namespace tavrin::platform {

uint32_t TickCount();
// Formats as a signed 32-bit number: negative above 2^31, as on Windows.
int32_t TickAsSigned(uint32_t tick);

}  // namespace tavrin::platform
