#include "mainwindow/capture_naming.h"

#include <cstdio>

#include "platform/tick_count.h"

namespace tavrin {

const char* ExtensionOfFormatItem(int item) {
  switch (item) {
    case kFormatBmp:
      return ".bmp";
    case kFormatJpeg:
      return ".jpg";
    case kFormatPng:
      return ".png";
    default:
      return "";
  }
}

bool FormatCapturePath(CapturePathBuffer& buffer, const std::string& workFolder, const char* prefix,
                       std::int32_t number, int formatItem) {
  buffer.fill('\0');
  if (workFolder.empty()) return false;
  const int written =
      std::snprintf(buffer.data(), buffer.size(), "%s/%s%d%s", workFolder.c_str(), prefix,
                    static_cast<int>(number), ExtensionOfFormatItem(formatItem));
  if (written < 0 || static_cast<size_t>(written) >= buffer.size()) {
    buffer.fill('\0');
    return false;
  }
  return true;
}

std::int32_t NameNumbers::Next(std::uint32_t tick) {
  // Compared as a difference, so that the wrap after 49.7 days still counts
  // as later.
  if (any && static_cast<std::int32_t>(tick - last) <= 0) tick = last + 1;
  any = true;
  last = tick;
  return platform::TickAsSigned(tick);
}

}  // namespace tavrin
