// tavrin-cameras: writes the names of the cameras the camera library finds,
// one a line, each followed by a tab and the width of its largest picture,
// into the file named on the command line (or to standard output), for the
// scanner backend's device list and its optical resolution.
#include <algorithm>
#include <cstdio>
#include <string>

#include "lens/include/TavrinLens.h"
#include "platform/dynamic_library.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace {

namespace platform = tavrin::platform;

template <typename Function>
bool Bind(void* module, const char* name, Function& function) {
  function = reinterpret_cast<Function>(platform::FindLibrarySymbol(module, name));
  return function != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) {
    std::fputs("usage: tavrin-cameras [output-file]\n", stderr);
    return 2;
  }
  const std::string libraryPath = platform::ProgramFolder() + "/libTavrinLens.so";
  void* library = platform::LoadLibraryFile(libraryPath);
  if (library == nullptr) {
    std::fprintf(stderr, "tavrin-cameras: cannot load %s: %s\n", libraryPath.c_str(),
                 platform::LastLibraryError().c_str());
    return 1;
  }
  decltype(&camInitCameraLib) init = nullptr;
  decltype(&camUnInitCameraLib) uninit = nullptr;
  decltype(&camGetDevCount) count = nullptr;
  decltype(&camGetDevName) name = nullptr;
  decltype(&camGetMediaTypeCount) mediaTypes = nullptr;
  decltype(&camGetResolutionCount) sizes = nullptr;
  decltype(&camGetResolution) size = nullptr;
  if (!Bind(library, "camInitCameraLib", init) || !Bind(library, "camUnInitCameraLib", uninit) ||
      !Bind(library, "camGetDevCount", count) || !Bind(library, "camGetDevName", name) ||
      !Bind(library, "camGetMediaTypeCount", mediaTypes) ||
      !Bind(library, "camGetResolutionCount", sizes) || !Bind(library, "camGetResolution", size)) {
    std::fprintf(stderr, "tavrin-cameras: %s lacks its functions\n", libraryPath.c_str());
    return 1;
  }
  if (init() != 0) {
    std::fputs("tavrin-cameras: the camera library did not start\n", stderr);
    return 1;
  }
  int cameras = 0;
  if (count(&cameras) != 0 || cameras < 0) cameras = 0;
  std::string text;
  for (int i = 0; i < cameras; ++i) {
    std::string line = name(i) != nullptr ? name(i) : "";
    // A name is one field of one line of the list.
    for (char& c : line) {
      if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    }
    int widest = 0;
    int types = 0;
    if (mediaTypes(i, &types) != 0) types = 0;
    for (int type = 0; type < types; ++type) {
      int available = 0;
      if (sizes(i, type, &available) != 0) continue;
      for (int index = 0; index < available; ++index) {
        int width = 0;
        int height = 0;
        if (size(i, type, index, &width, &height) == 0) widest = std::max(widest, width);
      }
    }
    text += (line.empty() ? "Camera " + std::to_string(i + 1) : line) + "\t" +
            std::to_string(widest) + "\n";
  }
  uninit();
  if (argc == 2) {
    if (!platform::ReplaceFileAtomically(argv[1], text)) {
      std::fprintf(stderr, "tavrin-cameras: cannot write %s\n", argv[1]);
      return 1;
    }
  } else {
    std::fputs(text.c_str(), stdout);
  }
  return 0;
}
