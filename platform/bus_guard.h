// Keeps a shared mapping from killing the process when its object shrinks
// under it: a peer may truncate a block between our size check and the next
// access, and touching a mapped page past the object's end raises SIGBUS.
// Threads: any; the SIGBUS handler reads the slot table lock-free.
#pragma once

#include <cstddef>

namespace tavrin::platform {

// Watches [data, data + size) from now on. The first fault inside it puts
// private memory over the whole mapping, so the access completes on bytes
// that read 0xFF, and marks the slot lost. Returns the slot, or -1 when every
// slot is taken: that mapping then has only the size checks.
int GuardMapping(void* data, size_t size);

// Before the mapping goes away; -1 is ignored.
void UnguardMapping(int slot);

// True once a fault hit the slot's mapping; false for -1.
bool MappingLost(int slot);

}  // namespace tavrin::platform
