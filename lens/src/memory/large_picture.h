// Memory for full-size pictures. A camera frame or a capture's picture of
// more than 32 MB (an 18 MP colour frame is 54 MB) is written once and soon
// let go: from the ordinary heap that is a fresh mapping each time (above
// the C library's largest mapping threshold), and in 4 KB pages thousands of
// page faults, which cost more than the work on the pixels (about 200 ms a
// frame at 18 MP on a virtual machine). In the 2 MB pages the kernel gives
// on request it is a few dozen.
// Threads: any.
#pragma once

#include <opencv2/core.hpp>

namespace tavrin::lens {

// Below this, the heap serves a picture better: the C library raises its
// mapping threshold up to here once such a block is let go, and then hands
// the same memory out again, already in place, where large pages would
// have to be cleared anew each time.
inline constexpr size_t kLargePictureBytes = size_t{32} << 20;
// A frame that is written once and read, or refilled in place, gains from
// large pages from a few megabytes on: it is never handed out again from
// the heap's warm memory anyway.
inline constexpr size_t kLargeFrameBytes = size_t{4} << 20;

// An uninitialised picture; one of largeFromBytes or more in large pages
// where the kernel gives them, a smaller one from the heap. A function that
// writes into it at the same size and type keeps that memory.
cv::Mat NewPicture(int rows, int cols, int type, size_t largeFromBytes = kLargePictureBytes);
inline cv::Mat NewPicture(cv::Size size, int type) {
  return NewPicture(size.height, size.width, type);
}

// A copy of image in such memory.
cv::Mat CopyPicture(const cv::Mat& image);

// Whether nobody but the caller's own Mat holds picture's pixels any more,
// so that it may be written again without anyone seeing the change.
bool OnlyHolder(const cv::Mat& picture);

}  // namespace tavrin::lens
