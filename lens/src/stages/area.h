// Area averaging of 8-bit pictures to a smaller size, the same to the last
// bit as cv::resize with INTER_AREA, but several times faster where the
// size is no whole fraction of the picture (a page of odd width halved, a
// detection copy): the stages that average a picture down share it.
// Threads: any; no state between calls.
#pragma once

#include <opencv2/core.hpp>

namespace tavrin::lens {

// image averaged down to size, as cv::resize with INTER_AREA gives it (of
// any type and size; 8-bit grey and colour to a smaller size take the
// faster way).
cv::Mat AreaAverage(const cv::Mat& image, cv::Size size);

// Whether the processor has eight-wide vectors (AVX2), which the stages'
// hand-written loops need.
bool WideVectors();

}  // namespace tavrin::lens
