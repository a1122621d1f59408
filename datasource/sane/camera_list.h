// The cameras the scan window would find, asked of tavrin-cameras in the
// program folder. The camera library runs in that child, so a frontend
// never loads it (nor its GUI libraries) into its own process.
// Threads: any.
#pragma once

#include <string>
#include <vector>

namespace tavrin::sane {

// The names in the camera library's order; the window opens the first.
// widestPx, when given, gets the width of each camera's largest picture
// (0 when unknown).
bool ListCameras(const std::string& programFolder, std::vector<std::string>& names,
                 std::string& error, std::vector<int>* widestPx = nullptr);

// One camera a line: its name, then optionally a tab and the width of its
// largest picture in pixels; blank lines are dropped.
std::vector<std::string> ParseCameraList(const std::string& text,
                                         std::vector<int>* widestPx = nullptr);

}  // namespace tavrin::sane
