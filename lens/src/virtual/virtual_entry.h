// One entry of the virtual camera list: a scene and its options, as in
// "document?fail=3&turn=5&pages=4&sizes=3264x2448+1920x1080&dpi=300".
// Threads: any; pure parsing.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lens/src/device.h"

namespace tavrin::lens {

enum class Scene { kDocument, kPages, kBook, kWebcam };

struct VirtualEntry {
  std::string entry;  // the text it was read from, trimmed
  Scene scene = Scene::kDocument;
  int failCaptures = 0;          // fail=N: the first N captures fail
  bool inUse = false;            // inuse=1: every start fails, as when another program has it
  int turnSeconds = 0;           // turn=S: a new page every S seconds
  int pageCount = 0;             // pages=N: with turn, the N-th page stays (0: no end)
  std::vector<FrameSize> sizes;  // sizes=WxH+WxH: replaces the size list
  int dpiAtFirstSize = 0;        // dpi=N: own DPI at the first size
  // wait=1: with turn, the reader waits at each page turned to until it
  // has been captured, as a person turning pages for the camera does.
  bool waitForShot = false;
};

// Null for an unknown scene. Unknown or malformed options are ignored.
std::optional<VirtualEntry> ParseVirtualEntry(std::string_view entry);
// Entries separated by commas, semicolons or line breaks; blanks around them
// and unknown scenes are skipped.
std::vector<VirtualEntry> ParseVirtualList(std::string_view list);

}  // namespace tavrin::lens
