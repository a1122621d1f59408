// Run-time loading of shared libraries (dlopen RTLD_NOW | RTLD_LOCAL).
// Threads: any; LastLibraryError() is the calling thread's last error.
#pragma once

#include <string>

namespace tavrin::platform {

// Null on failure; LastLibraryError() then tells why.
void* LoadLibraryFile(const std::string& path);
void* FindLibrarySymbol(void* library, const char* name);
bool FreeLibraryHandle(void* library);
// True while the library at path is mapped in this process (RTLD_NOLOAD).
bool LibraryIsLoaded(const std::string& path);
std::string LastLibraryError();

}  // namespace tavrin::platform
