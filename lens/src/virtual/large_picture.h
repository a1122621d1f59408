// Pictures of a camera's full size that live in large pages.
// Threads: any.
#pragma once

#include <opencv2/core.hpp>

namespace tavrin::lens {

// A picture of that size; one of several megabytes is mapped in the 2 MB
// pages the kernel gives on request. Touched for the first time, a whole
// frame in 4 KB pages costs thousands of page faults (over 100 ms at 18 MP
// on a virtual machine), in large pages a few dozen. Freed when the last
// copy of the Mat goes, as any other.
cv::Mat NewLargePicture(int rows, int cols, int type);

// Whether nobody but the caller's own Mat holds picture's pixels any more,
// so that it may be written again without anyone seeing the change.
bool OnlyHolder(const cv::Mat& picture);

}  // namespace tavrin::lens
