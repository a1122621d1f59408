// Turning camera frames into BGR pictures: MJPEG with TurboJPEG (a part of a
// frame with libjpeg), YUYV and NV12 with OpenCV. A frame that is cut short
// or not what the format says is refused with a reason, never read past its
// end.
// Threads: a FrameDecoder belongs to one thread (the camera's capture
// thread, or a caller's); the free functions are for any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <opencv2/core.hpp>

namespace tavrin::lens::v4l2 {

// True when a JPEG stream defines Huffman tables (a DHT segment) before its
// first scan.
bool HasHuffmanTables(std::string_view jpeg);
// The stream with the standard tables (JPEG Annex K.3) inserted before the
// first scan, as a camera that leaves them out expects the decoder to use.
// A stream that has tables, or is not JPEG, comes back unchanged.
std::string WithStandardHuffmanTables(std::string_view jpeg);

class FrameDecoder {
 public:
  FrameDecoder();
  ~FrameDecoder();
  FrameDecoder(const FrameDecoder&) = delete;
  FrameDecoder& operator=(const FrameDecoder&) = delete;

  // A frame of a V4L2 pixel format at the negotiated size into CV_8UC3
  // BGR. bytesPerLine 0 means packed rows. False with error set on a bad
  // frame; bgr is then left as it was.
  bool Decode(uint32_t pixelFormat, const uint8_t* data, size_t bytes, int width, int height,
              int bytesPerLine, cv::Mat& bgr, std::string* error = nullptr);

  // Whether an MJPEG frame of that size is whole enough to keep undecoded:
  // its header reads, its size is the negotiated one and it ends where a
  // JPEG ends. A frame cut short on the wire fails this; one corrupt in the
  // middle is only found when it is decoded.
  bool CheckMjpeg(const uint8_t* data, size_t bytes, int width, int height,
                  std::string* error = nullptr);

  // How many JPEG frames all decoders of the process have decoded, at any
  // size: what showing a camera's picture costs, counted.
  static uint64_t JpegDecodes();

  // MJPEG straight to a picture that fits maxWidth x maxHeight, keeping the
  // aspect: TurboJPEG decodes at the largest halving (1/2, 1/4, 1/8) that
  // still covers the box, and only the rest is resampled.
  bool DecodeMjpegToFit(const uint8_t* data, size_t bytes, int maxWidth, int maxHeight,
                        cv::Mat& bgr, std::string* error = nullptr);

  // Only the part of an MJPEG frame inside region (frame pixels), at scale
  // picture pixels per frame pixel (above 0, at most 1): the rows above it
  // are skipped, the columns beside it not decoded, the rest decoded at the
  // largest halving that still gives that scale and resampled once. The
  // JPEG's blocks widen the part a little; covered is set to the part of the
  // frame the picture shows, and the picture is about covered's size times
  // scale. A frame that is corrupt or cut short anywhere up to the part's
  // last row is refused, as is a region outside the frame.
  bool DecodeMjpegRegion(const uint8_t* data, size_t bytes, cv::Rect region, double scale,
                         cv::Mat& bgr, cv::Rect& covered, std::string* error = nullptr);

 private:
  struct Scale {
    int numerator = 1;
    int denominator = 1;
  };
  bool DecodeMjpeg(const uint8_t* data, size_t bytes, int expectedWidth, int expectedHeight,
                   Scale scale, cv::Mat& bgr, std::string* error);

  void* handle_ = nullptr;  // tjhandle
  std::string patched_;     // reused for frames that need tables inserted
};

// The largest picture of the frame's aspect that fits the box.
cv::Size FitInside(cv::Size frame, cv::Size box);

}  // namespace tavrin::lens::v4l2
