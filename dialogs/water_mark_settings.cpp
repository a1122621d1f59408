#include "dialogs/water_mark_settings.h"

#include "platform/text.h"

namespace tavrin {

WaterMarkSettings WaterMarkFromScanSettings(const ScanSettings::WaterMarkGroup& saved) {
  WaterMarkSettings settings;
  settings.position = saved.position;
  settings.text = platform::Utf8ToUtf16(saved.text);
  settings.font = platform::Utf8ToUtf16(saved.font);
  settings.WordSize = saved.WordSize;
  settings.isWeight = saved.isWeight;
  settings.isItalic = saved.isItalic;
  settings.isUnderline = saved.isUnderline;
  settings.angle = static_cast<float>(saved.angle);
  settings.transparency = static_cast<float>(saved.transparency);
  settings.R = saved.color.R;
  settings.G = saved.color.G;
  settings.B = saved.color.B;
  settings.isEnable = saved.isEnable;
  settings.isAddTimeStamp = saved.isAddTimeStamp;
  return settings;
}

void WaterMarkToScanSettings(const WaterMarkSettings& settings,
                             ScanSettings::WaterMarkGroup& saved) {
  saved.position = settings.position;
  saved.text = platform::Utf16ToUtf8(settings.text);
  saved.font = platform::Utf16ToUtf8(settings.font);
  saved.WordSize = settings.WordSize;
  saved.isWeight = settings.isWeight;
  saved.isItalic = settings.isItalic;
  saved.isUnderline = settings.isUnderline;
  saved.angle = static_cast<int>(settings.angle);
  saved.transparency = static_cast<int>(settings.transparency);
  saved.color.R = settings.R;
  saved.color.G = settings.G;
  saved.color.B = settings.B;
  saved.isEnable = settings.isEnable;
  saved.isAddTimeStamp = settings.isAddTimeStamp;
}

std::u16string WaterMarkText(const WaterMarkSettings& settings, const std::tm& localTime) {
  std::u16string text = settings.text;
  if (!settings.isAddTimeStamp) return text;
  char stamp[64] = {};
  const size_t length = std::strftime(stamp, sizeof stamp, " %Y-%m-%d %H:%M:%S", &localTime);
  text += platform::Utf8ToUtf16(std::string_view(stamp, length));
  return text;
}

}  // namespace tavrin
