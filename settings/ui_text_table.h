// UiTextTable: every text the windows show, keyed by the language-file
// element names, starting as built-in English; and the language index.
// Threads: GUI thread only.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin {

struct UiTextTable {
  std::u16string Color = u"Scan Mode";
  std::u16string ColorType0 = u"color";
  std::u16string ColorType1 = u"Gray";
  std::u16string ColorType2 = u"Black&White(Document)";
  std::u16string ColorType3 = u"Black&White";
  std::u16string Cut = u"Cropping";
  std::u16string CutType0 = u"No Cropping";
  std::u16string CutType1 = u"Single";
  std::u16string CutType2 = u"Multiple";
  std::u16string CutType3 = u"Single(Eage Restore)";
  std::u16string CutType4 = u"Book";
  std::u16string FileFromat = u"File Format";
  std::u16string HandCut = u"Custom Cut";
  std::u16string Merge = u"Two Picetures Merge";
  std::u16string Horizontal = u"Horizontal";
  std::u16string Vertical = u"Vertical";
  std::u16string WaterMark = u"WaterMark";
  std::u16string Webcam = u"Webcam";
  std::u16string WebcamMerge = u"Merge";
  std::u16string UvcDevice = u"Device Setting";
  std::u16string UvcImage = u"Image Setting";
  std::u16string Device = u"Device";
  std::u16string Media = u"Fromat";
  std::u16string Unit = u"Unit";
  std::u16string Resolution = u"Resolution";
  std::u16string DPI = u"DPI";
  std::u16string Language = u"Language";
  std::u16string Save = u"Save";
  std::u16string Exit = u"Exit";
  std::u16string Best = u"best";
  std::u16string Rotate = u"Rotate";
  std::u16string RotateLeft = u"Left";
  std::u16string RotateRight = u"Right";
  std::u16string AutoCapture = u"Start";
  std::u16string AutoCaptureText = u"Timing";
  std::u16string AutoCaptureOption1 = u"Timed";
  std::u16string AutoCaptureOption2 = u"AutoMatic";
  std::u16string Capture = u"Capture";
  std::u16string Setting = u"Setting";
  std::u16string IDOK = u"OK";
  std::u16string IDCancel = u"Cancel";
  std::u16string Process = u"Processing...";
  std::u16string UnitName = u"Sec";
  std::u16string End = u"Exit";
  std::u16string Page = u"Page";
  std::u16string WebcamMergeOption = u"Webcam Merge Setting";
  std::u16string OutSide = u"OutSide";
  std::u16string InSide = u"InSide";
  std::u16string WaterMarkOption = u"Watermark Settings";
  std::u16string WMText = u"Content";
  std::u16string TimeStamp = u"Time Stamp";
  std::u16string Font = u"Font";
  std::u16string FontSize = u"Font Size";
  std::u16string FontColor = u"Color";
  std::u16string Weight = u"Weight";
  std::u16string Italic = u"Italic";
  std::u16string Underline = u"Underline";
  std::u16string Transparency = u"Transparency";
  std::u16string Angle = u"Angle";
  std::u16string Pos = u"Postion";
  std::u16string Pos0 = u"Left Top";
  std::u16string Pos1 = u"Top";
  std::u16string Pos2 = u"Right Top";
  std::u16string Pos3 = u"Left";
  std::u16string Pos4 = u"Middle";
  std::u16string Pos5 = u"Right";
  std::u16string Pos6 = u"Left Bottom";
  std::u16string Pos7 = u"Bottom";
  std::u16string Pos8 = u"Right Bottom";
  std::u16string NoCamera = u"No Camera";
  std::u16string OpenFailed = u"Open Camera Failed";
  std::u16string CamUsed = u"Busy being used";
  std::u16string Invalid = u"Invalid";
  std::u16string None = u"None";
  std::u16string ErrCode = u"Failed, ErrorCode";
  std::u16string Error = u"error";
  std::u16string Version = u"Version";
  // Texts that older language files do not carry; they stay English there.
  std::u16string WebcamCapture = u"Webcam Capture";
  std::u16string About = u"About TavrinDesk...";
  std::u16string Open = u"Open";
  std::u16string Clear = u"Clear";
  std::u16string Delete = u"Delete";
  // %1 is the number of pages.
  std::u16string ClearAsk = u"Remove all %1 pages? They will not be delivered.";
  std::u16string Stop = u"Stop";
  std::u16string WaitStill = u"Waiting for a new page to lie still";
  // Continuous capture: the timed run's interval and the automatic run's
  // stillness, beside the box that sets them.
  std::u16string Every = u"Every";
  std::u16string StillFor = u"Still for";
  // Said in the live picture while there is no camera.
  std::u16string NoCameraHint = u"No camera found. Plug one in: it appears here by itself.";
  // Names a screen reader speaks for controls without a caption of their
  // own, and what some buttons do.
  std::u16string LivePicture = u"Live picture";
  std::u16string CapturedPages = u"Captured pages";
  std::u16string ZoomIn = u"Zoom in";
  std::u16string ZoomOut = u"Zoom out";
  std::u16string ActualSize = u"Actual size";
  std::u16string CameraSettings = u"Camera settings";
  std::u16string CaptureTip = u"Take a picture of the page now";
  std::u16string AutoCaptureTip = u"Take one page after another by itself";
  std::u16string ExitTip = u"End the session and hand the pages over";
  // The status line: pages of this session, the last file, a page taken
  // out of the strip and its way back (%1 is a number or a file name).
  std::u16string PageCount = u"Pages: %1";
  std::u16string LastFile = u"Last: %1";
  std::u16string Removed = u"%1 taken out";
  std::u16string Undo = u"Undo";
  std::u16string EvenLight = u"Even out light";
  // Word order of the page counter: 0 "%s %d", 1 "%d %s", other: no text.
  int WordType = 0;
};

struct UiTextKey {
  std::string_view name;
  std::u16string UiTextTable::*text = nullptr;
};

// Every key, in the order LoadUiTexts reads them. WordType is read after Page.
inline constexpr std::array<UiTextKey, 102> kUiTextKeys = {{
    {"Color", &UiTextTable::Color},
    {"ColorType0", &UiTextTable::ColorType0},
    {"ColorType1", &UiTextTable::ColorType1},
    {"ColorType2", &UiTextTable::ColorType2},
    {"ColorType3", &UiTextTable::ColorType3},
    {"Cut", &UiTextTable::Cut},
    {"CutType0", &UiTextTable::CutType0},
    {"CutType1", &UiTextTable::CutType1},
    {"CutType2", &UiTextTable::CutType2},
    {"CutType3", &UiTextTable::CutType3},
    {"CutType4", &UiTextTable::CutType4},
    {"FileFromat", &UiTextTable::FileFromat},
    {"HandCut", &UiTextTable::HandCut},
    {"Merge", &UiTextTable::Merge},
    {"Horizontal", &UiTextTable::Horizontal},
    {"Vertical", &UiTextTable::Vertical},
    {"WaterMark", &UiTextTable::WaterMark},
    {"Webcam", &UiTextTable::Webcam},
    {"WebcamMerge", &UiTextTable::WebcamMerge},
    {"UvcDevice", &UiTextTable::UvcDevice},
    {"UvcImage", &UiTextTable::UvcImage},
    {"Device", &UiTextTable::Device},
    {"Media", &UiTextTable::Media},
    {"Unit", &UiTextTable::Unit},
    {"Resolution", &UiTextTable::Resolution},
    {"DPI", &UiTextTable::DPI},
    {"Language", &UiTextTable::Language},
    {"Save", &UiTextTable::Save},
    {"Exit", &UiTextTable::Exit},
    {"Best", &UiTextTable::Best},
    {"Rotate", &UiTextTable::Rotate},
    {"RotateLeft", &UiTextTable::RotateLeft},
    {"RotateRight", &UiTextTable::RotateRight},
    {"AutoCapture", &UiTextTable::AutoCapture},
    {"AutoCaptureText", &UiTextTable::AutoCaptureText},
    {"AutoCaptureOption1", &UiTextTable::AutoCaptureOption1},
    {"AutoCaptureOption2", &UiTextTable::AutoCaptureOption2},
    {"Capture", &UiTextTable::Capture},
    {"Setting", &UiTextTable::Setting},
    {"IDOK", &UiTextTable::IDOK},
    {"IDCancel", &UiTextTable::IDCancel},
    {"Process", &UiTextTable::Process},
    {"UnitName", &UiTextTable::UnitName},
    {"End", &UiTextTable::End},
    {"Page", &UiTextTable::Page},
    {"WebcamMergeOption", &UiTextTable::WebcamMergeOption},
    {"OutSide", &UiTextTable::OutSide},
    {"InSide", &UiTextTable::InSide},
    {"WaterMarkOption", &UiTextTable::WaterMarkOption},
    {"WMText", &UiTextTable::WMText},
    {"TimeStamp", &UiTextTable::TimeStamp},
    {"Font", &UiTextTable::Font},
    {"FontSize", &UiTextTable::FontSize},
    {"FontColor", &UiTextTable::FontColor},
    {"Weight", &UiTextTable::Weight},
    {"Italic", &UiTextTable::Italic},
    {"Underline", &UiTextTable::Underline},
    {"Transparency", &UiTextTable::Transparency},
    {"Angle", &UiTextTable::Angle},
    {"Pos", &UiTextTable::Pos},
    {"Pos0", &UiTextTable::Pos0},
    {"Pos1", &UiTextTable::Pos1},
    {"Pos2", &UiTextTable::Pos2},
    {"Pos3", &UiTextTable::Pos3},
    {"Pos4", &UiTextTable::Pos4},
    {"Pos5", &UiTextTable::Pos5},
    {"Pos6", &UiTextTable::Pos6},
    {"Pos7", &UiTextTable::Pos7},
    {"Pos8", &UiTextTable::Pos8},
    {"NoCamera", &UiTextTable::NoCamera},
    {"OpenFailed", &UiTextTable::OpenFailed},
    {"CamUsed", &UiTextTable::CamUsed},
    {"Invalid", &UiTextTable::Invalid},
    {"None", &UiTextTable::None},
    {"ErrCode", &UiTextTable::ErrCode},
    {"Error", &UiTextTable::Error},
    {"Version", &UiTextTable::Version},
    {"WebcamCapture", &UiTextTable::WebcamCapture},
    {"About", &UiTextTable::About},
    {"Open", &UiTextTable::Open},
    {"Clear", &UiTextTable::Clear},
    {"Delete", &UiTextTable::Delete},
    {"ClearAsk", &UiTextTable::ClearAsk},
    {"Stop", &UiTextTable::Stop},
    {"WaitStill", &UiTextTable::WaitStill},
    {"Every", &UiTextTable::Every},
    {"StillFor", &UiTextTable::StillFor},
    {"NoCameraHint", &UiTextTable::NoCameraHint},
    {"LivePicture", &UiTextTable::LivePicture},
    {"CapturedPages", &UiTextTable::CapturedPages},
    {"ZoomIn", &UiTextTable::ZoomIn},
    {"ZoomOut", &UiTextTable::ZoomOut},
    {"ActualSize", &UiTextTable::ActualSize},
    {"CameraSettings", &UiTextTable::CameraSettings},
    {"CaptureTip", &UiTextTable::CaptureTip},
    {"AutoCaptureTip", &UiTextTable::AutoCaptureTip},
    {"ExitTip", &UiTextTable::ExitTip},
    {"PageCount", &UiTextTable::PageCount},
    {"LastFile", &UiTextTable::LastFile},
    {"Removed", &UiTextTable::Removed},
    {"Undo", &UiTextTable::Undo},
    {"EvenLight", &UiTextTable::EvenLight},
}};

// The process-wide table; nothing but LoadUiTexts writes it.
extern UiTextTable g_uiTextTable;

struct LanguageEntry {
  std::u16string name;  // display name in the language list
  std::u16string code;  // stem of the language file name
};
using LanguageList = std::vector<LanguageEntry>;

// The languages of the index, in its order; empty until LoadLanguageIndex.
extern LanguageList g_languageList;

// Program folder + "/Language/Language.xml" and + "/Language/<code>.xml";
// empty when the program path is unknown.
std::string LanguageIndexPath();
std::string LanguageFilePath(std::u16string_view code);

// Reads the index into list; true when at least one entry was read. When the
// file cannot be loaded the list is left as it was.
bool LoadLanguageIndex(const std::string& path, LanguageList& list);
bool LoadLanguageIndex(const std::string& path);  // into g_languageList
// Replaces the texts the file carries; keys it lacks keep their texts. False
// when the file cannot be loaded (nothing changes).
bool LoadUiTexts(const std::string& path, UiTextTable& table);
bool LoadUiTexts(const std::string& path);  // into g_uiTextTable

}  // namespace tavrin
