// The process that started this one. Threads: any.
#pragma once

namespace tavrin::platform {

// Process id of the parent; it changes when the parent ends and this
// process is handed to another.
int ParentProcessId();

}  // namespace tavrin::platform
