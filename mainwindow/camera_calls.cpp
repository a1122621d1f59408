#include "mainwindow/camera_calls.h"

#include <QDateTime>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <thread>

#include "TavrinLens.h"
#include "dslink/twain_control.h"
#include "platform/text.h"

namespace tavrin {

namespace {
constexpr int kCaptureCalls = 7;
constexpr auto kCaptureRetryDelay = std::chrono::milliseconds(500);
}  // namespace

int ColorModeOfItem(int item) {
  switch (item) {
    case kColorItemGrey:
      return kTavrinColorGrey;
    case kColorItemDocument:
      return kTavrinColorDocument;
    case kColorItemBlackWhite:
      return kTavrinColorBlackWhite;
    default:
      return kTavrinColorColour;
  }
}

int CaptureFile(CameraLibrary& library, int camera, char* path, bool tryAgain) {
  int result = library.camCaptureImageFile(camera, path);
  for (int call = 1;
       result != 0 && result != kTavrinLensNoFrame && tryAgain && call < kCaptureCalls; ++call) {
    std::this_thread::sleep_for(kCaptureRetryDelay);
    result = library.camCaptureImageFile(camera, path);
  }
  return result;
}

std::string NoPictureText(CameraLibrary& library, int camera) {
  int mediaType = 0;
  int width = 0;
  int height = 0;
  library.camGetCurResolution(camera, &mediaType, &width, &height);
  return std::string(kCaptureFailedText) + " The camera gives no picture at " +
         std::to_string(width) + "x" + std::to_string(height) + "; choose another resolution.";
}

std::vector<ResolutionEntry> CameraSizes(CameraLibrary& library, int camera, int mediaType) {
  std::vector<ResolutionEntry> sizes;
  int count = 0;
  library.camGetResolutionCount(camera, mediaType, &count);
  for (int i = 0; i < count; ++i) {
    ResolutionEntry entry;
    library.camGetResolution(camera, mediaType, i, &entry.width, &entry.height);
    entry.resolutionIndex = i;
    entry.mediaTypeIndex = mediaType;
    sizes.push_back(entry);
  }
  return sizes;
}

void SendSearchArea(CameraLibrary& library, int camera, const int requestArea[4]) {
  int area[4];
  for (int i = 0; i < 4; ++i) area[i] = requestArea[i];
  // The request's percents are of a 4:3 field, as wide as the picture; a
  // picture of another shape has the same mm at other percents down it.
  int mediaType = -1;
  int width = 0;
  int height = 0;
  library.camGetCurResolution(camera, &mediaType, &width, &height);
  if (width > 0 && height > 0 && area[3] > area[1]) {
    const double scale = 0.75 * width / height;
    // An area wholly below a wide picture holds no page wholly inside it:
    // the last percent is searched, where none lies.
    area[1] = std::min(99, static_cast<int>(std::floor(area[1] * scale + 1e-6)));
    area[3] = std::min(100, static_cast<int>(std::ceil(area[3] * scale - 1e-6)));
  }
  if (area[2] <= area[0] || area[3] <= area[1]) area[0] = area[1] = area[2] = area[3] = 0;
  library.camSetImageSearchArea(camera, area[0], area[1], area[2], area[3]);
}

void SendWaterMark(CameraLibrary& library, int camera, const WaterMarkSettings& mark, bool enable) {
  std::string text;
  std::string font;
  if (enable) {
    const QDateTime now = QDateTime::currentDateTime();
    std::tm local{};
    local.tm_year = now.date().year() - 1900;
    local.tm_mon = now.date().month() - 1;
    local.tm_mday = now.date().day();
    local.tm_hour = now.time().hour();
    local.tm_min = now.time().minute();
    local.tm_sec = now.time().second();
    text = platform::Utf16ToUtf8(WaterMarkText(mark, local));
    font = platform::Utf16ToUtf8(mark.font);
  }
  library.camSetImageWaterMark(camera, text.c_str(), mark.position, mark.WordSize, font.c_str(),
                               mark.isItalic, mark.isUnderline, mark.isWeight, mark.angle,
                               mark.transparency, mark.R, mark.G, mark.B, enable ? 1 : 0);
}

}  // namespace tavrin
