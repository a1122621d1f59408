#include "platform/dynamic_library.h"

#include <dlfcn.h>

namespace tavrin::platform {
namespace {

// dlerror() is per thread and cleared by reading, so keep a copy per thread.
thread_local std::string lastError;

void RememberError(const char* fallback) {
  const char* text = dlerror();
  lastError = text != nullptr ? text : fallback;
}

}  // namespace

void* LoadLibraryFile(const std::string& path) {
  if (path.empty()) {
    lastError = "empty library path";
    return nullptr;
  }
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) RememberError("dlopen failed");
  return library;
}

void* FindLibrarySymbol(void* library, const char* name) {
  if (library == nullptr || name == nullptr) {
    lastError = "no library or no name";
    return nullptr;
  }
  dlerror();
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) RememberError("symbol not found");
  return symbol;
}

bool FreeLibraryHandle(void* library) {
  if (library == nullptr) {
    lastError = "no library";
    return false;
  }
  if (dlclose(library) != 0) {
    RememberError("dlclose failed");
    return false;
  }
  return true;
}

bool LibraryIsLoaded(const std::string& path) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (library == nullptr) return false;
  dlclose(library);  // RTLD_NOLOAD still took a reference
  return true;
}

std::string LastLibraryError() {
  return lastError;
}

}  // namespace tavrin::platform
