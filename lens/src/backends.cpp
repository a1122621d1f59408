#include "lens/src/device.h"
#include "lens/src/virtual/virtual_backend.h"
#include "platform/paths.h"

namespace tavrin::lens {

std::vector<std::unique_ptr<Backend>> MakeBackends() {
  std::vector<std::unique_ptr<Backend>> backends;
  // Real devices come first once a V4L2 back-end is built in; it is left out
  // when TAVRIN_LENS_V4L2 is 0.
  [[maybe_unused]] const bool realDevices = platform::Environment("TAVRIN_LENS_V4L2") != "0";
  backends.push_back(std::make_unique<VirtualBackend>());
  return backends;
}

}  // namespace tavrin::lens
