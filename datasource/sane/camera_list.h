// The cameras the scan window would find, asked of tavrin-cameras in the
// program folder. The camera library runs in that child, so a frontend
// never loads it (nor its GUI libraries) into its own process.
// Threads: any.
#pragma once

#include <string>
#include <vector>

namespace tavrin::sane {

// The names in the camera library's order; the window opens the first.
bool ListCameras(const std::string& programFolder, std::vector<std::string>& names,
                 std::string& error);

// One name a line; blank lines are dropped.
std::vector<std::string> ParseCameraList(const std::string& text);

}  // namespace tavrin::sane
