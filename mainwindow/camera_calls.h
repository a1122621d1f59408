// What the scan window and the window that builds no controls (a flatbed
// scanner's frontend's) ask of the camera library alike.
// Threads: the GUI thread.
#pragma once

#include <string>
#include <vector>

#include "camera/camera_library.h"
#include "dialogs/water_mark_settings.h"
#include "mainwindow/resolution_list.h"

namespace tavrin {

// What clients and people know a failed capture by.
inline constexpr const char* kCaptureFailedText = "Capture Failed.";

// The library's colour mode of an item of the Scan Mode list.
int ColorModeOfItem(int item);

// Captures into path and gives the library's result. With nobody at the
// window a capture that fails (the camera's first frame still on its way,
// say) is tried again a few times. A camera that gives no picture at all
// at its size is not: the library has waited for its first frame already.
int CaptureFile(CameraLibrary& library, int camera, char* path, bool tryAgain);

// What to say when the camera gives no picture at all at its size.
std::string NoPictureText(CameraLibrary& library, int camera);

// The sizes the camera offers in a format, in its order.
std::vector<ResolutionEntry> CameraSizes(CameraLibrary& library, int camera, int mediaType);

// Gives the camera a request's search area: four whole percents, left,
// top, right, bottom, of a 4:3 field as wide as the picture (all 0: the
// whole picture).
void SendSearchArea(CameraLibrary& library, int camera, const int requestArea[4]);

// The watermark to stamp on the camera's captures, its time stamp now; off
// when not enabled.
void SendWaterMark(CameraLibrary& library, int camera, const WaterMarkSettings& mark, bool enable);

}  // namespace tavrin
