// A delivered image file decoded into the pixels that sane_read streams.
// Threads: any; pure functions on bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin::sane {

enum class PixelKind { kColor, kGray, kLineart };

struct Page {
  int widthPx = 0;
  int heightPx = 0;
  PixelKind kind = PixelKind::kColor;
  int dpiX = 0;  // 0 when the file does not say
  int dpiY = 0;
  int bytesPerLine = 0;
  std::vector<uint8_t> data;  // rows of bytesPerLine, top to bottom
};

// The window writes JPEG, PNG or BMP; anything else, a broken file or a
// page too large to hold is refused with a reason in error.
bool DecodePage(std::string_view bytes, PixelKind kind, Page& page, std::string& error);

// One bit a pixel, most significant bit first, 1 for black: what a grey
// level below threshold becomes.
std::vector<uint8_t> PackLineart(const uint8_t* grey, int widthPx, int heightPx, int strideBytes,
                                 int threshold = 128);

}  // namespace tavrin::sane
