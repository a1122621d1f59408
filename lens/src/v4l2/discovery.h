// Finding the cameras among the video nodes and reading what each offers.
// Threads: any; each call works on the descriptors it opens itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lens/src/v4l2/kernel.h"

namespace tavrin::lens::v4l2 {

struct Size {
  int width = 0;
  int height = 0;
  bool operator==(const Size&) const = default;
};

struct PixelFormat {
  uint32_t code = 0;  // V4L2_PIX_FMT_...
  std::string name;   // its four characters: "MJPG", "YUYV", "NV12"
  std::vector<Size> sizes;
};

struct CameraNode {
  std::string path;  // "/dev/video0"
  std::string card;
  std::string busInfo;
  std::string driver;
  // card, with " (2)", " (3)", ... for the second and later of a name.
  std::string name;
  std::vector<PixelFormat> formats;
};

// Sizes offered for a range, largest last: those of kStandardSizes that fit
// the range and its step, and the range's maximum.
std::vector<Size> SizesInRange(Size minimum, Size maximum, Size step);

// True for the formats this back-end can turn into pictures.
bool CanDecode(uint32_t pixelFormat);

// The formats (decodable ones only) and sizes of an open node.
std::vector<PixelFormat> ReadFormats(Kernel& kernel, int fd);

// Every camera once: nodes whose device_caps include video capture and
// streaming and that offer a decodable format (metadata nodes drop out here),
// one node per bus position, ordered by bus info and then node number so
// that a rescan with nothing changed gives the same order.
std::vector<CameraNode> DiscoverCameras(Kernel& kernel);

}  // namespace tavrin::lens::v4l2
