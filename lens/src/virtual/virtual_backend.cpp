#include "lens/src/virtual/virtual_backend.h"

#include <chrono>
#include <map>

#include "lens/src/virtual/virtual_device.h"
#include "lens/src/virtual/virtual_entry.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace tavrin::lens {

namespace {

constexpr auto kWatchPeriod = std::chrono::milliseconds(200);

std::string ReadListFile(const std::string& path) {
  std::string bytes;
  if (!platform::ReadWholeFile(path, bytes)) return {};
  return bytes;
}

const char* SceneName(Scene scene) {
  switch (scene) {
    case Scene::kDocument:
      return "Virtual Document Camera";
    case Scene::kPages:
      return "Virtual Pages Camera";
    case Scene::kBook:
      return "Virtual Book Camera";
    case Scene::kWebcam:
      return "Virtual Webcam";
  }
  return "Virtual Camera";
}

}  // namespace

VirtualBackend::~VirtualBackend() {
  StopWatching();
}

std::vector<std::unique_ptr<Device>> VirtualBackend::Enumerate() {
  std::string list = platform::Environment("TAVRIN_LENS_VIRTUAL");
  const std::string file = platform::Environment("TAVRIN_LENS_VIRTUAL_FILE");
  if (!file.empty()) list += "\n" + ReadListFile(file);
  std::vector<std::unique_ptr<Device>> devices;
  std::map<std::string, int> entries;
  std::map<Scene, int> scenes;
  for (auto& camera : ParseVirtualList(list)) {
    const int ordinal = ++entries[camera.entry];
    const int number = ++scenes[camera.scene];
    std::string name = SceneName(camera.scene);
    if (number > 1) name += " " + std::to_string(number);
    devices.push_back(std::make_unique<VirtualDevice>(std::move(camera), std::move(name), ordinal));
  }
  return devices;
}

void VirtualBackend::StartWatching(std::function<void()> changed) {
  StopWatching();
  const std::string path = platform::Environment("TAVRIN_LENS_VIRTUAL_FILE");
  if (path.empty()) return;
  watcher_.Start([this, path, seen = ReadListFile(path), changed = std::move(changed)]() mutable {
    Watch(path, std::move(seen), std::move(changed));
  });
}

void VirtualBackend::StopWatching() {
  watcher_.Stop();
}

// Polling keeps this to plain file reads: an editor that replaces the file
// by renaming is seen as well as one that rewrites it.
void VirtualBackend::Watch(std::string path, std::string seen, std::function<void()> changed) {
  while (true) {
    if (watcher_.SleepUntil(std::chrono::steady_clock::now() + kWatchPeriod)) return;
    std::string now = ReadListFile(path);
    if (now != seen) {
      seen = std::move(now);
      changed();
    }
  }
}

}  // namespace tavrin::lens
