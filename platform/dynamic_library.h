// Run-time loading of shared libraries (dlopen RTLD_NOW | RTLD_LOCAL).
#pragma once

#include <string>

namespace tavrin::platform {

// Null on failure; LastLibraryError() then tells why.
void* LoadLibraryFile(const std::string& path);
void* FindLibrarySymbol(void* library, const char* name);
bool FreeLibraryHandle(void* library);
std::string LastLibraryError();

}  // namespace tavrin::platform
