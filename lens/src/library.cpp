#include "lens/src/library.h"

#include "lens/src/auto_capture.h"
#include "lens/src/callback_scope.h"
#include "lens/src/errors.h"
#include "lens/src/gui.h"

namespace tavrin::lens {

Library& Library::Instance() {
  static Library library;
  return library;
}

const char* Library::Keep(const std::string& text) {
  std::lock_guard lock(textMutex_);
  return texts_.insert(text).first->c_str();
}

std::vector<std::shared_ptr<Camera>> Library::BuildList(
    const std::vector<std::shared_ptr<Camera>>& previous) {
  std::vector<std::shared_ptr<Camera>> list;
  std::vector<bool> reused(previous.size(), false);
  for (auto& backend : backends_) {
    for (auto& device : backend->Enumerate()) {
      std::shared_ptr<Camera> camera;
      for (size_t i = 0; i < previous.size(); ++i) {
        if (!reused[i] && previous[i]->Key() == device->Key()) {
          reused[i] = true;
          camera = previous[i];
          break;
        }
      }
      list.push_back(camera ? camera : std::make_shared<Camera>(std::move(device)));
    }
  }
  return list;
}

int Library::Init() {
  std::lock_guard life(lifeMutex_);
  {
    std::lock_guard lock(listMutex_);
    if (initialised_) return kOk;
  }
  backends_ = MakeBackends();
  // Watching starts before the first scan, so a change in between is not
  // missed; at worst it is reported once too often.
  for (auto& backend : backends_) backend->StartWatching([this] { NotifyDeviceChange(); });
  auto list = BuildList({});
  std::lock_guard lock(listMutex_);
  cameras_ = std::move(list);
  initialised_ = true;
  return kOk;
}

int Library::UnInit() {
  if (CallbackScope::Inside()) return kErrBusy;
  std::vector<std::unique_ptr<Backend>> backends;
  std::vector<std::shared_ptr<Camera>> cameras;
  {
    std::lock_guard life(lifeMutex_);
    std::lock_guard lock(listMutex_);
    if (!initialised_) return kOk;
    initialised_ = false;
    backends.swap(backends_);
    cameras.swap(cameras_);
  }
  // Without the locks: a callback in flight may call back into the library
  // and must find it uninitialised, not blocked.
  for (auto& backend : backends) backend->StopWatching();
  for (auto& camera : cameras) camera->Shutdown();
  if (OnGuiThread()) DestroyAllPreviews();
  JoinKeptThreads();
  return kOk;
}

int Library::StopAll() {
  std::vector<std::shared_ptr<Camera>> cameras;
  {
    std::lock_guard lock(listMutex_);
    if (!initialised_) return kErrNotInitialised;
    cameras = cameras_;
  }
  for (auto& camera : cameras) camera->Shutdown();
  return kOk;
}

int Library::Update() {
  if (const int status = StopAll(); status != kOk) return status;
  std::lock_guard life(lifeMutex_);
  std::vector<std::shared_ptr<Camera>> previous;
  {
    std::lock_guard lock(listMutex_);
    if (!initialised_) return kErrNotInitialised;
    previous = cameras_;
  }
  auto list = BuildList(previous);
  std::lock_guard lock(listMutex_);
  if (!initialised_) return kErrNotInitialised;
  cameras_ = std::move(list);
  return kOk;
}

int Library::Count(int& count) {
  std::lock_guard lock(listMutex_);
  count = static_cast<int>(cameras_.size());
  return initialised_ ? kOk : kErrNotInitialised;
}

int Library::Find(int dev, std::shared_ptr<Camera>& camera) {
  std::lock_guard lock(listMutex_);
  if (!initialised_) return kErrNotInitialised;
  if (dev < 0 || dev >= static_cast<int>(cameras_.size())) return kErrNoCamera;
  camera = cameras_[dev];
  return kOk;
}

void Library::NotifyDeviceChange() {
  const TavrinLensCallback callback = callback_;
  if (callback == nullptr) return;
  CallbackScope scope;
  callback(0);
}

}  // namespace tavrin::lens
