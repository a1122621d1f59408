#include "lens/src/v4l2/controls.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace tavrin::lens::v4l2 {
namespace {

int Clamp32(int64_t value) {
  return static_cast<int>(std::clamp<int64_t>(value, INT_MIN, INT_MAX));
}

}  // namespace

std::vector<CameraControl> EnumerateControls(Kernel& kernel, int fd) {
  std::vector<CameraControl> controls;
  v4l2_query_ext_ctrl query{};
  query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
  // Bounded so a driver that keeps answering the same id cannot loop us.
  for (int guard = 0; guard < 1024 && kernel.Ioctl(fd, VIDIOC_QUERY_EXT_CTRL, &query) == 0;
       ++guard) {
    const uint32_t id = query.id;
    const v4l2_query_ext_ctrl found = query;
    query = {};
    query.id = id | V4L2_CTRL_FLAG_NEXT_CTRL;
    if ((found.flags & V4L2_CTRL_FLAG_DISABLED) || found.nr_of_dims > 0) continue;

    CameraControl control;
    switch (found.type) {
      case V4L2_CTRL_TYPE_INTEGER:
        control.kind = ControlKind::kInteger;
        break;
      case V4L2_CTRL_TYPE_BOOLEAN:
        control.kind = ControlKind::kBoolean;
        break;
      case V4L2_CTRL_TYPE_MENU:
      case V4L2_CTRL_TYPE_INTEGER_MENU:
        control.kind = ControlKind::kMenu;
        break;
      case V4L2_CTRL_TYPE_BUTTON:
        control.kind = ControlKind::kButton;
        break;
      default:
        continue;
    }
    control.id = id;
    switch (V4L2_CTRL_ID2CLASS(id)) {
      case V4L2_CTRL_CLASS_USER:
        control.controlClass = ControlClass::kUser;
        break;
      case V4L2_CTRL_CLASS_CAMERA:
        control.controlClass = ControlClass::kCamera;
        break;
      default:
        control.controlClass = ControlClass::kOther;
    }
    control.name = std::string(found.name, strnlen(found.name, sizeof(found.name)));
    control.minimum = Clamp32(found.minimum);
    control.maximum = Clamp32(found.maximum);
    control.step = static_cast<int>(std::clamp<uint64_t>(found.step, 1, INT_MAX));
    control.defaultValue = Clamp32(found.default_value);
    control.inactive = (found.flags & V4L2_CTRL_FLAG_INACTIVE) != 0;
    control.readOnly = (found.flags & V4L2_CTRL_FLAG_READ_ONLY) != 0;
    control.writeOnly = (found.flags & V4L2_CTRL_FLAG_WRITE_ONLY) != 0;

    if (control.kind == ControlKind::kMenu) {
      for (int64_t index = std::max<int64_t>(found.minimum, 0);
           index <= found.maximum && index - found.minimum < 256; ++index) {
        v4l2_querymenu item{};
        item.id = id;
        item.index = static_cast<uint32_t>(index);
        // Gaps are normal: a driver leaves out entries it does not support.
        if (kernel.Ioctl(fd, VIDIOC_QUERYMENU, &item) < 0) continue;
        MenuEntry entry;
        entry.index = static_cast<int>(index);
        entry.name =
            found.type == V4L2_CTRL_TYPE_INTEGER_MENU
                ? std::to_string(item.value)
                : std::string(reinterpret_cast<const char*>(item.name),
                              strnlen(reinterpret_cast<const char*>(item.name), sizeof(item.name)));
        control.menu.push_back(entry);
      }
      if (control.menu.empty()) continue;
    }
    if (control.kind != ControlKind::kButton && !control.writeOnly &&
        GetControlValue(kernel, fd, id, control.value) < 0)
      control.value = control.defaultValue;
    controls.push_back(std::move(control));
  }
  return controls;
}

int GetControlValue(Kernel& kernel, int fd, uint32_t id, int& value) {
  v4l2_control control{};
  control.id = id;
  const int result = kernel.Ioctl(fd, VIDIOC_G_CTRL, &control);
  if (result < 0) return result;
  value = control.value;
  return 0;
}

int SetControlValue(Kernel& kernel, int fd, uint32_t id, int& value) {
  v4l2_control control{};
  control.id = id;
  control.value = value;
  const int result = kernel.Ioctl(fd, VIDIOC_S_CTRL, &control);
  if (result < 0) return result;
  value = control.value;
  return 0;
}

}  // namespace tavrin::lens::v4l2
