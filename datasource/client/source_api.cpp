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

bool BindSourceApi(void* module, SourceApi& api) {
  Bind(module, "tsOpenWith", api.openWith);
  return Bind(module, "tsOpen", api.open) && Bind(module, "tsWriteShowModel", api.writeShowModel) &&
         Bind(module, "tsWriteScanRequest", api.writeScanRequest) &&
         Bind(module, "tsSend", api.send) && Bind(module, "tsSendCopiedData", api.sendCopiedData) &&
         Bind(module, "tsNextEvent", api.nextEvent) &&
         Bind(module, "tsWindowRunning", api.windowRunning) &&
         Bind(module, "tsPagesNotHandedOn", api.pagesNotHandedOn) &&
         Bind(module, "tsLastError", api.lastError) && Bind(module, "tsClose", api.close);
}

const SourceApi* LoadSourceModule(const std::string& path, std::string& error,
                                  const std::string& missingHint) {
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
    error = "no data source at " + path + missingHint;
    return nullptr;
  }
  void* module = platform::LoadLibraryFile(path);
  if (module == nullptr) {
    error = "cannot load " + path + ": " + platform::LastLibraryError();
    return nullptr;
  }
  SourceApi bound;
  if (!BindSourceApi(module, bound)) {
    platform::FreeLibraryHandle(module);
    error = path + " lacks its functions";
    return nullptr;
  }
  api = bound;
  loadedFrom = path;
  return &api;
}

}  // namespace tavrin
