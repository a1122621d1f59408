#include "lens/src/v4l2/discovery.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "lens/src/v4l2/recording.h"

namespace tavrin::lens::v4l2 {
namespace {

// The sizes a range is offered at: the common camera sizes, so that the
// scan window can name them.
constexpr Size kStandardSizes[] = {
    {320, 240},   {640, 480},   {800, 600},   {1024, 768},  {1280, 720},
    {1280, 960},  {1280, 1024}, {1600, 1200}, {1920, 1080}, {2048, 1536},
    {2112, 1568}, {2592, 1944}, {3264, 2448}, {3840, 2160}, {3664, 2744},
    {3856, 2764}, {4224, 3000}, {4480, 3360}, {4912, 3680},
};

std::string FixedText(const uint8_t* text, size_t size) {
  const char* begin = reinterpret_cast<const char*>(text);
  return std::string(begin, strnlen(begin, size));
}

// Number at the end of a node path, so video10 sorts after video9.
long NodeNumber(const std::string& path) {
  size_t digits = path.size();
  while (digits > 0 && path[digits - 1] >= '0' && path[digits - 1] <= '9') --digits;
  if (digits == path.size()) return -1;
  return std::stol(path.substr(digits));
}

bool Fits(int value, int low, int high, int step) {
  return value >= low && value <= high && (value - low) % std::max(step, 1) == 0;
}

}  // namespace

std::vector<Size> SizesInRange(Size minimum, Size maximum, Size step) {
  std::vector<Size> sizes;
  for (const Size& size : kStandardSizes) {
    if (Fits(size.width, minimum.width, maximum.width, step.width) &&
        Fits(size.height, minimum.height, maximum.height, step.height))
      sizes.push_back(size);
  }
  if (std::find(sizes.begin(), sizes.end(), maximum) == sizes.end()) sizes.push_back(maximum);
  std::sort(sizes.begin(), sizes.end(), [](const Size& a, const Size& b) {
    return int64_t{a.width} * a.height < int64_t{b.width} * b.height ||
           (int64_t{a.width} * a.height == int64_t{b.width} * b.height && a.width < b.width);
  });
  return sizes;
}

bool CanDecode(uint32_t pixelFormat) {
  return pixelFormat == V4L2_PIX_FMT_MJPEG || pixelFormat == V4L2_PIX_FMT_JPEG ||
         pixelFormat == V4L2_PIX_FMT_YUYV || pixelFormat == V4L2_PIX_FMT_NV12;
}

std::vector<PixelFormat> ReadFormats(Kernel& kernel, int fd) {
  std::vector<PixelFormat> formats;
  for (uint32_t index = 0;; ++index) {
    v4l2_fmtdesc desc{};
    desc.index = index;
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (kernel.Ioctl(fd, VIDIOC_ENUM_FMT, &desc) < 0) break;
    if (!CanDecode(desc.pixelformat)) continue;
    PixelFormat format;
    format.code = desc.pixelformat;
    format.name = FourccToText(desc.pixelformat);
    for (uint32_t sizeIndex = 0;; ++sizeIndex) {
      v4l2_frmsizeenum size{};
      size.index = sizeIndex;
      size.pixel_format = desc.pixelformat;
      if (kernel.Ioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) < 0) break;
      if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
        const Size discrete{static_cast<int>(size.discrete.width),
                            static_cast<int>(size.discrete.height)};
        if (discrete.width > 0 && discrete.height > 0 &&
            std::find(format.sizes.begin(), format.sizes.end(), discrete) == format.sizes.end())
          format.sizes.push_back(discrete);
        continue;
      }
      const v4l2_frmsize_stepwise& range = size.stepwise;
      const bool continuous = size.type == V4L2_FRMSIZE_TYPE_CONTINUOUS;
      format.sizes =
          SizesInRange({static_cast<int>(range.min_width), static_cast<int>(range.min_height)},
                       {static_cast<int>(range.max_width), static_cast<int>(range.max_height)},
                       {continuous ? 1 : static_cast<int>(range.step_width),
                        continuous ? 1 : static_cast<int>(range.step_height)});
      break;  // a range is the only entry
    }
    if (!format.sizes.empty()) formats.push_back(std::move(format));
  }
  return formats;
}

std::vector<CameraNode> DiscoverCameras(Kernel& kernel) {
  std::vector<CameraNode> nodes;
  for (const std::string& path : kernel.ListNodes()) {
    const int fd = kernel.Open(path);
    if (fd < 0) continue;  // busy elsewhere or gone: not listed this time
    v4l2_capability capability{};
    if (kernel.Ioctl(fd, VIDIOC_QUERYCAP, &capability) == 0) {
      const uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS)
                                ? capability.device_caps
                                : capability.capabilities;
      if ((caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING)) {
        CameraNode node;
        node.path = path;
        node.card = FixedText(capability.card, sizeof(capability.card));
        node.busInfo = FixedText(capability.bus_info, sizeof(capability.bus_info));
        node.driver = FixedText(capability.driver, sizeof(capability.driver));
        node.formats = ReadFormats(kernel, fd);
        if (node.card.empty()) node.card = path;
        if (!node.formats.empty()) nodes.push_back(std::move(node));
      }
    }
    kernel.Close(fd);
  }
  std::sort(nodes.begin(), nodes.end(), [](const CameraNode& a, const CameraNode& b) {
    if (a.busInfo != b.busInfo) return a.busInfo < b.busInfo;
    const long numberA = NodeNumber(a.path);
    const long numberB = NodeNumber(b.path);
    return numberA != numberB ? numberA < numberB : a.path < b.path;
  });
  // A camera with a second capture node on the same bus position is still one camera.
  nodes.erase(std::unique(nodes.begin(), nodes.end(),
                          [](const CameraNode& a, const CameraNode& b) {
                            return !a.busInfo.empty() && a.busInfo == b.busInfo;
                          }),
              nodes.end());
  std::map<std::string, int> seen;
  for (CameraNode& node : nodes) {
    const int count = ++seen[node.card];
    node.name = count == 1 ? node.card : node.card + " (" + std::to_string(count) + ")";
  }
  return nodes;
}

}  // namespace tavrin::lens::v4l2
