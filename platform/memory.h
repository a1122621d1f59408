// The process's own heap.
#pragma once

namespace tavrin::platform {

// Gives the heap's free pages back to the system. The heap keeps memory
// that was freed for the next allocation, in every thread's arena: after a
// full-size picture has been worked on in several threads, that is tens of
// megabytes held for nothing until the next such picture.
void ReturnFreedMemory();

}  // namespace tavrin::platform
