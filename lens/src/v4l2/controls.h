// The device's controls: the user class (brightness, contrast, white
// balance, ...) for the image settings window, the camera class (exposure,
// focus, zoom, pan, tilt) for the device settings window.
// Threads: any; the caller serialises calls on one descriptor.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lens/src/v4l2/kernel.h"

namespace tavrin::lens::v4l2 {

enum class ControlKind { kInteger, kBoolean, kMenu, kButton };
enum class ControlClass { kUser, kCamera, kOther };

struct MenuEntry {
  int index = 0;     // the value the control takes
  std::string name;  // for integer menus, the number as text
};

struct CameraControl {
  uint32_t id = 0;
  ControlKind kind = ControlKind::kInteger;
  ControlClass controlClass = ControlClass::kUser;
  std::string name;
  int minimum = 0;
  int maximum = 0;
  int step = 1;
  int defaultValue = 0;
  int value = 0;
  bool inactive = false;  // an automatic mode owns it: shown greyed
  bool readOnly = false;
  bool writeOnly = false;       // a move or a trigger, with no value to show
  std::vector<MenuEntry> menu;  // only the entries the driver has
};

// Every control a settings window can show, in the driver's order, with its
// current value. Disabled controls, class headers and types without a simple
// widget (strings, 64-bit, compound) are left out.
std::vector<CameraControl> EnumerateControls(Kernel& kernel, int fd);

// 0 or -errno.
int GetControlValue(Kernel& kernel, int fd, uint32_t id, int& value);
// 0 or -errno; value becomes what the driver took (it may round or clamp).
int SetControlValue(Kernel& kernel, int fd, uint32_t id, int& value);

}  // namespace tavrin::lens::v4l2
