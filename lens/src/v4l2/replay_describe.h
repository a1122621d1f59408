// The replayed driver's answers to the ioctls that only describe a recorded
// device (capabilities, formats, frame sizes, menu items): none of them
// depends on what was set or streamed since.
// Threads: any; pure functions of the recording.
#pragma once

#include <cstddef>
#include <string>

#include "lens/src/v4l2/recording.h"

namespace tavrin::lens::v4l2 {

// text into a fixed, NUL-terminated field of a kernel structure, cut short
// when it does not fit.
void CopyText(char* target, size_t size, const std::string& text);

// 0 or -errno as the driver answers; -ENOTTY for any other request. arg is
// not null.
int DescribeRecorded(const RecordedDevice& device, unsigned long request, void* arg);

}  // namespace tavrin::lens::v4l2
