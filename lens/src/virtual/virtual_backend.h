// The virtual cameras named by TAVRIN_LENS_VIRTUAL and by the file that
// TAVRIN_LENS_VIRTUAL_FILE names, which is watched for changes.
// Threads: Enumerate from library callers; the change notice runs on the
// watch thread.
#pragma once

#include <string>

#include "lens/src/device.h"
#include "lens/src/virtual/stoppable_thread.h"

namespace tavrin::lens {

class VirtualBackend final : public Backend {
 public:
  ~VirtualBackend() override;
  std::vector<std::unique_ptr<Device>> Enumerate() override;
  void StartWatching(std::function<void()> changed) override;
  void StopWatching() override;

 private:
  void Watch(std::string path, std::string seen, std::function<void()> changed);

  StoppableThread watcher_;
};

}  // namespace tavrin::lens
