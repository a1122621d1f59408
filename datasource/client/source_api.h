// TavrinSource.ds's C API as its clients (tavrin-scan, the scanner backend)
// load it: once per process, and kept loaded, since its threads end with
// each session but its code stays.
// Threads: LoadSourceApi from any thread; the functions as TavrinSource.h
// says.
#pragma once

#include <string>

#include "datasource/include/TavrinSource.h"

namespace tavrin {

struct SourceApi {
  decltype(&tsOpen) open = nullptr;
  // Null for a module from before it: tsOpen then, whose window builds its
  // controls.
  decltype(&tsOpenWith) openWith = nullptr;
  decltype(&tsWriteShowModel) writeShowModel = nullptr;
  decltype(&tsWriteScanRequest) writeScanRequest = nullptr;
  decltype(&tsSend) send = nullptr;
  decltype(&tsSendCopiedData) sendCopiedData = nullptr;
  decltype(&tsNextEvent) nextEvent = nullptr;
  decltype(&tsWindowRunning) windowRunning = nullptr;
  decltype(&tsPagesNotHandedOn) pagesNotHandedOn = nullptr;
  decltype(&tsLastError) lastError = nullptr;
  decltype(&tsClose) close = nullptr;
};

// Binds every function of the loaded module; false when one is missing.
bool BindSourceApi(void* module, SourceApi& api);

// The module at path. Null with error set when it is missing, cannot be
// loaded or lacks its functions, or when this process already loaded it
// from elsewhere. A missing module's error ends with missingHint, which
// tells where the caller's setting of the path lives.
const SourceApi* LoadSourceModule(const std::string& path, std::string& error,
                                  const std::string& missingHint = {});

// Room for one delivered file's path from tsNextEvent.
inline constexpr int kSourcePathBytes = 4096;
// After the window said it has finished, how long it may take to end.
inline constexpr int kWindowEndMs = 5000;

}  // namespace tavrin
