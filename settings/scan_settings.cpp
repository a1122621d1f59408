#include "settings/scan_settings.h"

#include <tinyxml2.h>

#include <algorithm>

#include "platform/files.h"
#include "platform/paths.h"
#include "settings/settings_io.h"

namespace tavrin {

ScanSettings g_scanSettings;

namespace {

using tinyxml2::XMLElement;

void ReadInt(const XMLElement* parent, const char* name, int& field) {
  const XMLElement* element = parent->FirstChildElement(name);
  // An element without text leaves the number as it was.
  if (element != nullptr && element->GetText() != nullptr) {
    field = settings_io::ParseInt(element->GetText());
  }
}

// A number the window applies to a control: outside the values the control
// offers it is brought to the nearest one it does. A hostile or damaged file
// (a watermark of 5000 points, a colour of -1) thus meets only the choices
// the person could have made.
void ReadInt(const XMLElement* parent, const char* name, int& field, SettingRange range) {
  ReadInt(parent, name, field);
  field = std::clamp(field, range.min, range.max);
}

void ReadFlag(const XMLElement* parent, const char* name, int& field) {
  int value = field;
  ReadInt(parent, name, value);
  field = value != 0 ? 1 : 0;
}

void ReadBool(const XMLElement* parent, const char* name, bool& field) {
  int value = field ? 1 : 0;
  ReadInt(parent, name, value);
  field = value != 0;
}

void ReadText(const XMLElement* parent, const char* name, std::string& field) {
  const XMLElement* element = parent->FirstChildElement(name);
  if (element != nullptr && element->GetText() != nullptr) {
    field = settings_io::CleanText(element->GetText(), kMaxSettingTextUnits, kMaxSettingTextBytes);
  }
}

class Writer {
 public:
  Writer() {
    doc.LinkEndChild(doc.NewDeclaration());
    root = doc.NewElement("TavrinWindow");
    doc.LinkEndChild(root);
  }

  XMLElement* Root() { return root; }

  XMLElement* Group(XMLElement* parent, const char* name) {
    XMLElement* element = doc.NewElement(name);
    parent->LinkEndChild(element);
    return element;
  }

  void Text(XMLElement* parent, const char* name, const std::string& text) {
    XMLElement* element = Group(parent, name);
    element->LinkEndChild(doc.NewText(text.c_str()));
  }
  void Int(XMLElement* parent, const char* name, int value) {
    Text(parent, name, std::to_string(value));
  }
  void Flag(XMLElement* parent, const char* name, bool value) {
    Text(parent, name, value ? "1" : "0");
  }
  void LimitedText(XMLElement* parent, const char* name, const std::string& text) {
    Text(parent, name, settings_io::CleanText(text, kMaxSettingTextUnits, kMaxSettingTextBytes));
  }

  std::string Print() {
    tinyxml2::XMLPrinter printer;
    doc.Print(&printer);
    return std::string(printer.CStr(), static_cast<size_t>(printer.CStrSize() - 1));
  }

 private:
  tinyxml2::XMLDocument doc;
  XMLElement* root = nullptr;
};

}  // namespace

std::string LastSettingsPath() {
  const std::string folder = settings_io::ProgramFolder();
  if (folder.empty()) return {};
  const std::string config = platform::ConfigurationFolder(folder);
  return config.empty() ? std::string() : config + "/LastSetting.xml";
}

bool LoadLastSettings() {
  return LoadLastSettings(LastSettingsPath(), g_scanSettings);
}

bool SaveLastSettings() {
  return SaveLastSettings(LastSettingsPath(), g_scanSettings);
}

bool LoadLastSettings(const std::string& path, ScanSettings& s) {
  tinyxml2::XMLDocument doc;
  if (!settings_io::LoadXmlFile(path, doc)) return false;
  const XMLElement* root = doc.FirstChildElement();
  // A document without any element holds nothing to take over.
  if (root == nullptr) return false;

  ReadInt(root, "colorType", s.colorType, kColorTypeRange);
  ReadInt(root, "cutType", s.cutType, kCutTypeRange);
  ReadInt(root, "fileType", s.fileType, kFileTypeRange);
  ReadInt(root, "HandCut", s.HandCut, kFlagRange);
  ReadInt(root, "rotateType", s.rotateType, kRotateTypeRange);
  ReadInt(root, "autoCaptureType", s.autoCaptureType, kAutoCaptureTypeRange);
  ReadInt(root, "autoCaptureInterval", s.autoCaptureInterval, kAutoCaptureIntervalRange);
  ReadInt(root, "autoCaptureStill", s.autoCaptureStill, kAutoCaptureStillRange);
  ReadFlag(root, "evenLight", s.evenLight);
  if (const XMLElement* webcam = root->FirstChildElement("Webcam")) {
    ReadFlag(webcam, "isEnable", s.Webcam.isEnable);
    ReadFlag(webcam, "isMerge", s.Webcam.isMerge);
    ReadInt(webcam, "MergeType", s.Webcam.MergeType, kMergeTypeRange);
    ReadInt(webcam, "MergePosition", s.Webcam.MergePosition, kMergePositionRange);
    ReadInt(webcam, "WebcamHeight", s.Webcam.WebcamHeight, kPixelRange);
    ReadInt(webcam, "WebcamWidth", s.Webcam.WebcamWidth, kPixelRange);
  }
  if (const XMLElement* merge = root->FirstChildElement("MergeHV")) {
    ReadFlag(merge, "isEnable", s.MergeHV.isEnable);
    ReadInt(merge, "direction", s.MergeHV.direction, kDirectionRange);
  }
  if (const XMLElement* mark = root->FirstChildElement("WaterMark")) {
    ReadBool(mark, "isEnable", s.WaterMark.isEnable);
    ReadText(mark, "text", s.WaterMark.text);
    ReadText(mark, "font", s.WaterMark.font);
    ReadInt(mark, "WordSize", s.WaterMark.WordSize, kWordSizeRange);
    ReadBool(mark, "isWeight", s.WaterMark.isWeight);
    ReadBool(mark, "isItalic", s.WaterMark.isItalic);
    ReadBool(mark, "isUnderline", s.WaterMark.isUnderline);
    if (const XMLElement* color = mark->FirstChildElement("color")) {
      ReadInt(color, "R", s.WaterMark.color.R, kColourRange);
      ReadInt(color, "G", s.WaterMark.color.G, kColourRange);
      ReadInt(color, "B", s.WaterMark.color.B, kColourRange);
    }
    ReadInt(mark, "transparency", s.WaterMark.transparency, kTransparencyRange);
    ReadInt(mark, "angle", s.WaterMark.angle, kAngleRange);
    ReadInt(mark, "position", s.WaterMark.position, kPositionRange);
    ReadBool(mark, "isAddTimeStamp", s.WaterMark.isAddTimeStamp);
  }
  if (const XMLElement* dpi = root->FirstChildElement("DPI")) {
    ReadBool(dpi, "isSetDPI", s.DPI.isSetDPI);
    ReadInt(dpi, "ImageDPI", s.DPI.ImageDPI, kDpiRange);
    ReadInt(dpi, "MainHeight", s.DPI.MainHeight, kPixelRange);
    ReadInt(dpi, "MainWidth", s.DPI.MainWidth, kPixelRange);
  }
  ReadText(root, "Language", s.Language);
  ReadInt(root, "ShowUIUpdataOneByOne", s.ShowUIUpdataOneByOne);
  ReadInt(root, "SizeUnit", s.SizeUnit, kSizeUnitRange);
  // Older files kept the resolution at the top level; it wins when present.
  ReadInt(root, "ImageDPI", s.DPI.ImageDPI, kDpiRange);
  ReadInt(root, "MediaType", s.MediaType, kMediaTypeRange);
  if (const XMLElement* window = root->FirstChildElement("Window")) {
    ReadInt(window, "Width", s.Window.Width, kPixelRange);
    ReadInt(window, "Height", s.Window.Height, kPixelRange);
    ReadFlag(window, "isMaximized", s.Window.isMaximized);
  }
  return true;
}

std::string PrintLastSettings(const ScanSettings& s) {
  Writer w;
  XMLElement* root = w.Root();
  w.Int(root, "colorType", s.colorType);
  w.Int(root, "cutType", s.cutType);
  w.Int(root, "HandCut", s.HandCut);
  w.Int(root, "fileType", s.fileType);
  w.Int(root, "rotateType", s.rotateType);
  w.Int(root, "autoCaptureType", s.autoCaptureType);
  w.Int(root, "autoCaptureInterval", s.autoCaptureInterval);
  w.Int(root, "autoCaptureStill", s.autoCaptureStill);
  w.Flag(root, "evenLight", s.evenLight != 0);

  XMLElement* webcam = w.Group(root, "Webcam");
  w.Flag(webcam, "isEnable", s.Webcam.isEnable != 0);
  w.Flag(webcam, "isMerge", s.Webcam.isMerge != 0);
  w.Int(webcam, "MergeType", s.Webcam.MergeType);
  w.Int(webcam, "MergePosition", s.Webcam.MergePosition);
  w.Int(webcam, "WebcamHeight", s.Webcam.WebcamHeight);
  w.Int(webcam, "WebcamWidth", s.Webcam.WebcamWidth);

  XMLElement* merge = w.Group(root, "MergeHV");
  w.Flag(merge, "isEnable", s.MergeHV.isEnable != 0);
  w.Int(merge, "direction", s.MergeHV.direction);

  XMLElement* mark = w.Group(root, "WaterMark");
  w.Flag(mark, "isEnable", s.WaterMark.isEnable);
  w.LimitedText(mark, "text", s.WaterMark.text);
  w.LimitedText(mark, "font", s.WaterMark.font);
  w.Int(mark, "WordSize", s.WaterMark.WordSize);
  w.Flag(mark, "isWeight", s.WaterMark.isWeight);
  w.Flag(mark, "isItalic", s.WaterMark.isItalic);
  w.Flag(mark, "isUnderline", s.WaterMark.isUnderline);
  XMLElement* color = w.Group(mark, "color");
  w.Int(color, "R", s.WaterMark.color.R);
  w.Int(color, "G", s.WaterMark.color.G);
  w.Int(color, "B", s.WaterMark.color.B);
  w.Int(mark, "transparency", s.WaterMark.transparency);
  w.Int(mark, "angle", s.WaterMark.angle);
  w.Int(mark, "position", s.WaterMark.position);
  w.Flag(mark, "isAddTimeStamp", s.WaterMark.isAddTimeStamp);

  XMLElement* dpi = w.Group(root, "DPI");
  w.Flag(dpi, "isSetDPI", s.DPI.isSetDPI);
  w.Int(dpi, "ImageDPI", s.DPI.ImageDPI);
  w.Int(dpi, "MainHeight", s.DPI.MainHeight);
  w.Int(dpi, "MainWidth", s.DPI.MainWidth);

  w.LimitedText(root, "Language", s.Language);
  w.Int(root, "ShowUIUpdataOneByOne", s.ShowUIUpdataOneByOne);
  w.Int(root, "SizeUnit", s.SizeUnit);
  w.Int(root, "MediaType", s.MediaType);
  XMLElement* window = w.Group(root, "Window");
  w.Int(window, "Width", s.Window.Width);
  w.Int(window, "Height", s.Window.Height);
  w.Flag(window, "isMaximized", s.Window.isMaximized != 0);
  return w.Print();
}

bool SaveLastSettings(const std::string& path, const ScanSettings& settings) {
  if (path.empty()) return false;
  // Printed to memory first: the library's own file save cannot tell a
  // short write from a good one.
  return platform::ReplaceFileAtomically(path, PrintLastSettings(settings));
}

}  // namespace tavrin
