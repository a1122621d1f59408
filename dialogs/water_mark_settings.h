// WaterMarkSettings: the watermark parameters the scan window keeps and the
// watermark dialog edits. GUI thread only.
#pragma once

#include <ctime>
#include <string>

#include "settings/scan_settings.h"

namespace tavrin {

struct WaterMarkSettings {
  int position = 4;  // 0 to 8, row by row from the top left
  std::u16string text;
  std::u16string font = u"Arial";
  int WordSize = 36;
  bool isWeight = false;
  bool isItalic = false;
  bool isUnderline = false;
  float angle = 30.0f;         // degrees, 0 to 360
  float transparency = 70.0f;  // percent, 0 to 100
  int R = 255;
  int G = 0;
  int B = 0;
  bool isEnable = false;
  bool isAddTimeStamp = true;

  bool operator==(const WaterMarkSettings&) const = default;
};

// The record as the settings file holds it, and back (the floats truncated).
WaterMarkSettings WaterMarkFromScanSettings(const ScanSettings::WaterMarkGroup& saved);
void WaterMarkToScanSettings(const WaterMarkSettings& settings,
                             ScanSettings::WaterMarkGroup& saved);

// The text handed to the camera library: the record's text, followed by
// " %Y-%m-%d %H:%M:%S" of localTime when the time stamp is on.
std::u16string WaterMarkText(const WaterMarkSettings& settings, const std::tm& localTime);

}  // namespace tavrin
