#include "lens/src/device.h"
#include "lens/src/v4l2/v4l2_backend.h"
#include "lens/src/virtual/virtual_backend.h"
#include "platform/paths.h"

namespace tavrin::lens {

std::vector<std::unique_ptr<Backend>> MakeBackends() {
  std::vector<std::unique_ptr<Backend>> backends;
  // Real cameras come first, so with no virtual ones listed camera 0 is the
  // machine's first camera; TAVRIN_LENS_V4L2=0 leaves them out.
  if (platform::Environment("TAVRIN_LENS_V4L2") != "0") backends.push_back(v4l2::MakeV4l2Backend());
  backends.push_back(std::make_unique<VirtualBackend>());
  return backends;
}

}  // namespace tavrin::lens
