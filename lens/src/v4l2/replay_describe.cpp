#include "lens/src/v4l2/replay_describe.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tavrin::lens::v4l2 {

void CopyText(char* target, size_t size, const std::string& text) {
  std::memset(target, 0, size);
  std::memcpy(target, text.data(), std::min(size - 1, text.size()));
}

int DescribeRecorded(const RecordedDevice& device, unsigned long request, void* arg) {
  switch (request) {
    case VIDIOC_QUERYCAP: {
      auto* cap = static_cast<v4l2_capability*>(arg);
      std::memset(cap, 0, sizeof(*cap));
      CopyText(reinterpret_cast<char*>(cap->driver), sizeof(cap->driver), device.driver);
      CopyText(reinterpret_cast<char*>(cap->card), sizeof(cap->card), device.card);
      CopyText(reinterpret_cast<char*>(cap->bus_info), sizeof(cap->bus_info), device.busInfo);
      cap->version = 0x00060100;
      cap->capabilities = device.capabilities;
      cap->device_caps = device.deviceCaps;
      return 0;
    }
    case VIDIOC_ENUM_FMT: {
      auto* desc = static_cast<v4l2_fmtdesc*>(arg);
      if (desc->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || desc->index >= device.formats.size() ||
          !(((device.capabilities & V4L2_CAP_DEVICE_CAPS) ? device.deviceCaps
                                                          : device.capabilities) &
            V4L2_CAP_VIDEO_CAPTURE))
        return -EINVAL;
      const RecordedFormat& format = device.formats[desc->index];
      const uint32_t index = desc->index;
      const uint32_t type = desc->type;
      std::memset(desc, 0, sizeof(*desc));
      desc->index = index;
      desc->type = type;
      desc->flags = format.flags;
      desc->pixelformat = format.pixelFormat;
      CopyText(reinterpret_cast<char*>(desc->description), sizeof(desc->description),
               format.description);
      return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
      auto* size = static_cast<v4l2_frmsizeenum*>(arg);
      const auto format = std::find_if(
          device.formats.begin(), device.formats.end(),
          [&](const RecordedFormat& f) { return f.pixelFormat == size->pixel_format; });
      if (format == device.formats.end()) return -EINVAL;
      const RecordedSizes& sizes = format->sizes;
      const uint32_t index = size->index;
      const uint32_t pixelFormat = size->pixel_format;
      std::memset(size, 0, sizeof(*size));
      size->index = index;
      size->pixel_format = pixelFormat;
      if (sizes.kind == RecordedSizes::Kind::kDiscrete) {
        if (index >= sizes.discrete.size()) return -EINVAL;
        size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        size->discrete.width = sizes.discrete[index].first;
        size->discrete.height = sizes.discrete[index].second;
        return 0;
      }
      if (index != 0) return -EINVAL;
      size->type = sizes.kind == RecordedSizes::Kind::kStepwise ? V4L2_FRMSIZE_TYPE_STEPWISE
                                                                : V4L2_FRMSIZE_TYPE_CONTINUOUS;
      size->stepwise = {
          static_cast<uint32_t>(sizes.minWidth),  static_cast<uint32_t>(sizes.maxWidth),
          static_cast<uint32_t>(sizes.stepWidth), static_cast<uint32_t>(sizes.minHeight),
          static_cast<uint32_t>(sizes.maxHeight), static_cast<uint32_t>(sizes.stepHeight)};
      if (sizes.kind == RecordedSizes::Kind::kContinuous)
        size->stepwise.step_width = size->stepwise.step_height = 1;
      return 0;
    }
    case VIDIOC_QUERYMENU: {
      auto* menu = static_cast<v4l2_querymenu*>(arg);
      for (const RecordedControl& control : device.controls) {
        if (control.id != menu->id) continue;
        const uint32_t index = menu->index;
        if (control.type == V4L2_CTRL_TYPE_MENU) {
          const auto item = control.menuNames.find(index);
          if (item == control.menuNames.end()) return -EINVAL;
          CopyText(reinterpret_cast<char*>(menu->name), sizeof(menu->name), item->second);
          return 0;
        }
        if (control.type == V4L2_CTRL_TYPE_INTEGER_MENU) {
          const auto item = control.menuValues.find(index);
          if (item == control.menuValues.end()) return -EINVAL;
          menu->value = item->second;
          return 0;
        }
        return -EINVAL;
      }
      return -EINVAL;
    }
    default:
      return -ENOTTY;
  }
}

}  // namespace tavrin::lens::v4l2
