// ScanSettings: the user's last choices, kept in LastSetting.xml beside the
// program. Field names are the file's keys; groups are nested records.
// Threads: GUI thread only (other threads marshal to it).
#pragma once

#include <string>

namespace tavrin {

// Webcam.MergePosition: where the webcam's picture goes inside the main
// one (with the camera library's inside merge code as MergeType).
enum InsidePlace {
  kInsideCentre = 0,
  kInsideTopLeft = 1,
  kInsideTopRight = 2,
  kInsideBottomRight = 3,
  kInsideBottomLeft = 4
};

// MergeHV.direction.
enum MergeDirection { kMergeHorizontal = 1, kMergeVertical = 2 };

// The values a control of the window offers for a number it keeps here;
// LastSetting.xml's numbers are brought into them when read.
struct SettingRange {
  int min;
  int max;
};
inline constexpr SettingRange kFlagRange{0, 1};
inline constexpr SettingRange kColorTypeRange{0, 3};             // the colour list's items
inline constexpr SettingRange kCutTypeRange{0, 4};               // the crop list's, book last
inline constexpr SettingRange kFileTypeRange{0, 2};              // BMP, JPEG, PNG
inline constexpr SettingRange kRotateTypeRange{0, 3};            // 0, left, 180, right
inline constexpr SettingRange kAutoCaptureTypeRange{0, 1};       // timed, automatic
inline constexpr SettingRange kAutoCaptureIntervalRange{1, 60};  // seconds between timed shots
inline constexpr SettingRange kAutoCaptureStillRange{1, 10};     // still seconds before a shot
inline constexpr SettingRange kMergeTypeRange{0, 8};             // inside, or one of eight outside
inline constexpr SettingRange kMergePositionRange{0, 4};         // InsidePlace
inline constexpr SettingRange kDirectionRange{1, 2};             // MergeDirection
inline constexpr SettingRange kSizeUnitRange{0, 1};
inline constexpr SettingRange kMediaTypeRange{0, 255};
// Sizes in pixels, of a camera picture or a window.
inline constexpr SettingRange kPixelRange{0, 65535};
// As many dots per inch as a client may ask for.
inline constexpr SettingRange kDpiRange{1, 100000};
// The watermark dialog's: the size box takes up to 1000 points, taller
// than any page; 0 is the size of a box left without a number, which
// draws nothing.
inline constexpr SettingRange kWordSizeRange{0, 1000};
inline constexpr SettingRange kColourRange{0, 255};
inline constexpr SettingRange kTransparencyRange{0, 100};  // percent
inline constexpr SettingRange kAngleRange{0, 360};         // degrees
inline constexpr SettingRange kPositionRange{0, 8};        // the nine places

struct ScanSettings {
  int colorType = 0;
  int cutType = 1;
  int HandCut = 0;
  int fileType = 1;
  int rotateType = 0;
  int autoCaptureType = 0;
  // Seconds between the shots of a timed run (1 to 60), and how long a new
  // page must lie still in an automatic run (1 to 10).
  int autoCaptureInterval = 5;
  int autoCaptureStill = 2;
  // flag: a colour or grey page crop comes out with the light evened out
  int evenLight = 1;

  struct WebcamGroup {
    int isEnable = 0;  // flag: 0 or 1
    int isMerge = 0;   // flag
    int MergeType = 0;
    int MergePosition = kInsideTopRight;
    int WebcamHeight = 0;  // pixels
    int WebcamWidth = 0;   // pixels
  } Webcam;

  struct MergeHVGroup {
    int isEnable = 0;  // flag
    int direction = kMergeHorizontal;
  } MergeHV;

  struct WaterMarkGroup {
    bool isEnable = false;
    std::string text;  // UTF-8, at most 255 bytes and 255 UTF-16 units
    std::string font = "Arial";
    int WordSize = 36;
    bool isWeight = false;
    bool isItalic = false;
    bool isUnderline = false;
    struct ColorGroup {
      int R = 255;
      int G = 0;
      int B = 0;
    } color;
    int transparency = 70;  // percent
    int angle = 30;         // degrees
    int position = 4;       // 3 x 3 grid, row by row from the top left
    bool isAddTimeStamp = true;
  } WaterMark;

  struct DPIGroup {
    bool isSetDPI = false;
    int ImageDPI = 200;
    int MainHeight = 0;  // pixels
    int MainWidth = 0;   // pixels
  } DPI;

  std::string Language = "EN";
  int ShowUIUpdataOneByOne = 0;
  int SizeUnit = 0;  // 0 pixel sizes, 1 dots per inch
  int MediaType = 0;

  // The scan window's size as the person left it; 0 (an older file) is the
  // template's size.
  struct {
    int Width = 0;        // pixels
    int Height = 0;       // pixels
    int isMaximized = 0;  // flag
  } Window;
};

// The process-wide record, holding the defaults until LoadLastSettings runs.
extern ScanSettings g_scanSettings;

// Longest text a saved field keeps, in UTF-16 units and in UTF-8 bytes.
inline constexpr size_t kMaxSettingTextUnits = 255;
inline constexpr size_t kMaxSettingTextBytes = 255;

// Program folder + "/LastSetting.xml"; empty when the program path is unknown.
std::string LastSettingsPath();

// Reads LastSetting.xml beside the program into g_scanSettings. False (and
// nothing changed) when the file is missing, unreadable or malformed.
bool LoadLastSettings();
// Writes every field of g_scanSettings; false when the file could not be
// written whole (the old file then stays as it was).
bool SaveLastSettings();

// The same on a given file and record.
bool LoadLastSettings(const std::string& path, ScanSettings& settings);
bool SaveLastSettings(const std::string& path, const ScanSettings& settings);
// The document SaveLastSettings writes, as UTF-8 text.
std::string PrintLastSettings(const ScanSettings& settings);

}  // namespace tavrin
