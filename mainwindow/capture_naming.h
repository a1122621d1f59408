// The names of a press's files in the working folder.
// Threads: the GUI thread; no shared state.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "TavrinLens.h"

namespace tavrin {

// What the camera library was promised for a capture path.
using CapturePathBuffer = std::array<char, kTavrinLensPathBuffer>;

// The items of the format list, in their order.
enum FormatItem { kFormatBmp = 0, kFormatJpeg = 1, kFormatPng = 2 };

// ".bmp", ".jpg" or ".png"; empty for an item the list does not have.
const char* ExtensionOfFormatItem(int item);

// "<workFolder>/<prefix><number><extension of the format item>" in a
// zero-filled buffer; false (buffer empty) without a working folder, which
// would put the file at the root of the file system, or when it does not
// fit, which would make the library write somewhere nobody asked for.
bool FormatCapturePath(CapturePathBuffer& buffer, const std::string& workFolder, const char* prefix,
                       std::int32_t number, int formatItem);

// The number of a press's names: the tick count, but never one used before
// in this run, so that two presses within a tick do not overwrite each
// other's files.
class NameNumbers {
 public:
  std::int32_t Next(std::uint32_t tick);

 private:
  bool any = false;
  std::uint32_t last = 0;
};

}  // namespace tavrin
