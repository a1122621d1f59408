// The library's one device list, built from every back-end, and its life:
// initialise, stop, rescan, uninitialise, and the device-change callback.
// Threads: any caller; back-end watch threads report changes, and the
// device-change callback runs on them.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "TavrinLens.h"
#include "lens/src/camera.h"
#include "lens/src/device.h"

namespace tavrin::lens {

class Library {
 public:
  static Library& Instance();

  int Init();
  // Joins every thread the library started; refused from inside a callback.
  int UnInit();
  // Ends every continuous capture and closes every camera.
  int StopAll();
  // Closes every camera and builds the list again; a camera that is still
  // there keeps its settings.
  int Update();
  void SetDeviceChangeCallback(TavrinLensCallback callback) { callback_ = callback; }

  int Count(int& count);
  // LensStatus; camera is set on kOk.
  int Find(int dev, std::shared_ptr<Camera>& camera);

  // A copy that stays valid as long as the library is loaded.
  const char* Keep(const std::string& text);

 private:
  void NotifyDeviceChange();
  std::vector<std::shared_ptr<Camera>> BuildList(
      const std::vector<std::shared_ptr<Camera>>& previous);

  std::mutex lifeMutex_;  // serialises Init, UnInit and Update
  std::vector<std::unique_ptr<Backend>> backends_;

  std::mutex listMutex_;  // guards initialised_ and cameras_
  bool initialised_ = false;
  std::vector<std::shared_ptr<Camera>> cameras_;

  std::atomic<TavrinLensCallback> callback_{nullptr};

  std::mutex textMutex_;
  std::set<std::string> texts_;
};

}  // namespace tavrin::lens
