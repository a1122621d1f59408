// Failure codes returned by the cam... functions (0 is success); plain ints,
// as the C functions return them.
#pragma once

#include "lens/include/TavrinLens.h"

namespace tavrin::lens {

inline constexpr int kOk = 0;
inline constexpr int kErrNotInitialised = 1;
inline constexpr int kErrNoCamera = 2;      // index not in the device list
inline constexpr int kErrNotOpen = 3;       // camera listed but not open
inline constexpr int kErrBadArgument = 4;   // null pointer, unterminated path, value out of range
inline constexpr int kErrNoSuchFormat = 5;  // media type or size the camera does not offer
inline constexpr int kErrDevice = 6;        // the device refused or vanished
inline constexpr int kErrNoFrame = kTavrinLensNoFrame;  // no frame arrived in time
inline constexpr int kErrCaptureFault = 8;              // the camera reported a failed capture
inline constexpr int kErrWrite = 9;                     // the image file could not be written
inline constexpr int kErrNoGui = 10;        // no QApplication, or not called on its thread
inline constexpr int kErrBusy = 11;         // called from inside one of the library's own callbacks
inline constexpr int kErrPathTooLong = 12;  // the file list would not fit the path buffer
inline constexpr int kErrProcessing = 13;   // the image stages gave no picture
inline constexpr int kErrInternal = 14;     // an unexpected failure inside the library
inline constexpr int kErrWatermark = 15;    // a watermark was asked for and no font could draw it

}  // namespace tavrin::lens
