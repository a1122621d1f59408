#include "datasource/client/source_api.h"

#include <mutex>

#include "platform/dynamic_library.h"
#include "platform/files.h"

namespace tavrin {
namespace {

template <typename Function>
bool Bind(void* module, const char* name, Function& function) {
  function = reinterpret_cast<Function>(platform::FindLibrarySymbol(module, name));
  return function != nullptr;
}

}  // namespace

const SourceApi* LoadSourceModule(const std::string& path, std::string& error) {
  static std::mutex mutex;
  static std::string loadedFrom;
  static SourceApi api;
  std::lock_guard lock(mutex);
  if (!loadedFrom.empty()) {
    if (loadedFrom == path) return &api;
    error = "the data source was loaded from " + loadedFrom + ", not " + path;
    return nullptr;
  }
  if (!platform::PathExists(path)) {
    error = "no data source at " + path;
    return nullptr;
  }
  void* module = platform::LoadLibraryFile(path);
  if (module == nullptr) {
    error = "cannot load " + path + ": " + platform::LastLibraryError();
    return nullptr;
  }
  SourceApi bound;
  if (!Bind(module, "tsOpen", bound.open) ||
      !Bind(module, "tsWriteShowModel", bound.writeShowModel) ||
      !Bind(module, "tsWriteScanRequest", bound.writeScanRequest) ||
      !Bind(module, "tsSend", bound.send) || !Bind(module, "tsNextEvent", bound.nextEvent) ||
      !Bind(module, "tsWindowRunning", bound.windowRunning) ||
      !Bind(module, "tsPagesNotHandedOn", bound.pagesNotHandedOn) ||
      !Bind(module, "tsLastError", bound.lastError) || !Bind(module, "tsClose", bound.close)) {
    platform::FreeLibraryHandle(module);
    error = path + " lacks its functions";
    return nullptr;
  }
  api = bound;
  loadedFrom = path;
  return &api;
}

}  // namespace tavrin
