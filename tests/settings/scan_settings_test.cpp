#include "settings/scan_settings.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/text.h"
#include "xml/scratch_folder.h"

namespace tavrin {
namespace {

using test::ReadBytes;
using test::ScratchFolder;
using test::WriteBytes;

// Every field by name, so a comparison says which one differs.
std::vector<std::string> Fields(const ScanSettings& s) {
  auto i = [](const char* name, long long v) {
    return std::string(name) + "=" + std::to_string(v);
  };
  const auto& w = s.WaterMark;
  return {i("colorType", s.colorType),
          i("cutType", s.cutType),
          i("HandCut", s.HandCut),
          i("fileType", s.fileType),
          i("rotateType", s.rotateType),
          i("autoCaptureType", s.autoCaptureType),
          i("autoCaptureInterval", s.autoCaptureInterval),
          i("autoCaptureStill", s.autoCaptureStill),
          i("evenLight", s.evenLight),
          i("Webcam/isEnable", s.Webcam.isEnable),
          i("Webcam/isMerge", s.Webcam.isMerge),
          i("Webcam/MergeType", s.Webcam.MergeType),
          i("Webcam/MergePosition", s.Webcam.MergePosition),
          i("Webcam/WebcamHeight", s.Webcam.WebcamHeight),
          i("Webcam/WebcamWidth", s.Webcam.WebcamWidth),
          i("MergeHV/isEnable", s.MergeHV.isEnable),
          i("MergeHV/direction", s.MergeHV.direction),
          i("WaterMark/isEnable", w.isEnable),
          "WaterMark/text=" + w.text,
          "WaterMark/font=" + w.font,
          i("WaterMark/WordSize", w.WordSize),
          i("WaterMark/isWeight", w.isWeight),
          i("WaterMark/isItalic", w.isItalic),
          i("WaterMark/isUnderline", w.isUnderline),
          i("WaterMark/color/R", w.color.R),
          i("WaterMark/color/G", w.color.G),
          i("WaterMark/color/B", w.color.B),
          i("WaterMark/transparency", w.transparency),
          i("WaterMark/angle", w.angle),
          i("WaterMark/position", w.position),
          i("WaterMark/isAddTimeStamp", w.isAddTimeStamp),
          i("DPI/isSetDPI", s.DPI.isSetDPI),
          i("DPI/ImageDPI", s.DPI.ImageDPI),
          i("DPI/MainHeight", s.DPI.MainHeight),
          i("DPI/MainWidth", s.DPI.MainWidth),
          "Language=" + s.Language,
          i("ShowUIUpdataOneByOne", s.ShowUIUpdataOneByOne),
          i("SizeUnit", s.SizeUnit),
          i("MediaType", s.MediaType),
          i("Window/Width", s.Window.Width),
          i("Window/Height", s.Window.Height),
          i("Window/isMaximized", s.Window.isMaximized)};
}

// Every field away from its default.
ScanSettings Changed() {
  ScanSettings s;
  s.colorType = 3;
  s.cutType = 4;
  s.HandCut = 1;
  s.fileType = 2;
  s.rotateType = 2;
  s.autoCaptureType = 1;
  s.autoCaptureInterval = 12;
  s.autoCaptureStill = 7;
  s.evenLight = 0;
  s.Webcam = {1, 1, 7, 3, 480, 640};
  s.MergeHV = {1, 2};
  s.WaterMark.isEnable = true;
  s.WaterMark.text =
      "Conf\xC3\xAD"
      "dential <&> \xE4\xB8\xAD\xF0\x9F\x98\x80";
  s.WaterMark.font = "Liberation Sans";
  s.WaterMark.WordSize = 72;
  s.WaterMark.isWeight = true;
  s.WaterMark.isItalic = true;
  s.WaterMark.isUnderline = true;
  s.WaterMark.color = {1, 2, 3};
  s.WaterMark.transparency = 5;
  s.WaterMark.angle = 359;
  s.WaterMark.position = 8;
  s.WaterMark.isAddTimeStamp = false;
  s.DPI = {true, 600, 2448, 3264};
  s.Language = "CN";
  s.ShowUIUpdataOneByOne = 1;
  s.SizeUnit = 1;
  s.MediaType = 3;
  s.Window = {1600, 900, 1};
  return s;
}

ScanSettings LoadText(const std::string& xml, bool* loaded = nullptr) {
  ScratchFolder folder;
  WriteBytes(folder.File("LastSetting.xml"), xml);
  ScanSettings s;
  const bool ok = LoadLastSettings(folder.File("LastSetting.xml"), s);
  if (loaded != nullptr) *loaded = ok;
  return s;
}

TEST(LastSettingsLoad, NoFileKeepsTheDefaults) {
  ScratchFolder folder;
  ScanSettings s;
  EXPECT_FALSE(LoadLastSettings(folder.File("LastSetting.xml"), s));
  EXPECT_EQ(Fields(s), Fields(ScanSettings{}));
  EXPECT_EQ(s.Language, "EN");
  EXPECT_EQ(s.WaterMark.font, "Arial");
  EXPECT_EQ(s.DPI.ImageDPI, 200);
  EXPECT_EQ(s.WaterMark.position, 4);
  EXPECT_EQ(s.cutType, 1);
  EXPECT_TRUE(s.WaterMark.isAddTimeStamp);
}

TEST(LastSettingsLoad, FileLivesBesideTheProgram) {
  const std::string program = platform::ProgramPath();
  ASSERT_FALSE(program.empty());
  EXPECT_EQ(LastSettingsPath(), program.substr(0, program.rfind('/')) + "/LastSetting.xml");
}

TEST(LastSettingsLoad, ReadsAnyRootAndNormalisesNumbers) {
  bool loaded = false;
  const ScanSettings s = LoadText(
      "<Other><colorType>abc</colorType><cutType> -12x</cutType><fileType>+2</fileType>"
      "<rotateType>99999999999</rotateType><autoCaptureType>-99999999999</autoCaptureType>"
      "<Webcam><isEnable>5</isEnable><isMerge>-1</isMerge><MergeType>0</MergeType></Webcam>"
      "<MergeHV><isEnable>0</isEnable></MergeHV>"
      "<WaterMark><isEnable>7</isEnable><isAddTimeStamp>0</isAddTimeStamp>"
      "<color><G>128</G></color></WaterMark></Other>",
      &loaded);
  EXPECT_TRUE(loaded);
  EXPECT_EQ(s.colorType, 0);
  EXPECT_EQ(s.cutType, 0) << "-12, brought into the crop list";
  EXPECT_EQ(s.fileType, 2);
  EXPECT_EQ(s.rotateType, 3) << "INT_MAX, brought into the rotation list";
  EXPECT_EQ(s.autoCaptureType, 0) << "INT_MIN";
  EXPECT_EQ(s.Webcam.isEnable, 1);
  EXPECT_EQ(s.Webcam.isMerge, 1);
  EXPECT_EQ(s.MergeHV.isEnable, 0);
  EXPECT_TRUE(s.WaterMark.isEnable);
  EXPECT_FALSE(s.WaterMark.isAddTimeStamp);
  EXPECT_EQ(s.WaterMark.color.G, 128);
  // Missing keys and groups keep their values.
  EXPECT_EQ(s.WaterMark.color.R, 255);
  EXPECT_EQ(s.Webcam.MergePosition, 2);
  EXPECT_EQ(s.MergeHV.direction, 1);
  EXPECT_EQ(s.DPI.ImageDPI, 200);
}

// A hostile or damaged file: every number comes out as one its control
// offers. A watermark of 5000 points made each capture run for minutes
// while its memory grew by gigabytes.
TEST(LastSettingsLoad, NumbersOutsideTheirControlsRangeAreBroughtIntoIt) {
  const ScanSettings s = LoadText(
      "<TavrinWindow><colorType>4</colorType><cutType>5</cutType><fileType>-1</fileType>"
      "<HandCut>2</HandCut><Webcam><MergeType>9</MergeType><MergePosition>-3</MergePosition>"
      "<WebcamWidth>-640</WebcamWidth></Webcam><MergeHV><direction>0</direction></MergeHV>"
      "<WaterMark><WordSize>5000</WordSize><color><R>300</R><G>-1</G></color>"
      "<transparency>101</transparency><angle>720</angle><position>9</position></WaterMark>"
      "<DPI><ImageDPI>-300</ImageDPI><MainWidth>99999999</MainWidth></DPI>"
      "<SizeUnit>2</SizeUnit><MediaType>-1</MediaType></TavrinWindow>");
  EXPECT_EQ(s.colorType, 3);
  EXPECT_EQ(s.cutType, 4);
  EXPECT_EQ(s.fileType, 0);
  EXPECT_EQ(s.HandCut, 1);
  EXPECT_EQ(s.Webcam.MergeType, 8);
  EXPECT_EQ(s.Webcam.MergePosition, 0);
  EXPECT_EQ(s.Webcam.WebcamWidth, 0);
  EXPECT_EQ(s.MergeHV.direction, 1);
  EXPECT_EQ(s.WaterMark.WordSize, 1000);
  EXPECT_EQ(s.WaterMark.color.R, 255);
  EXPECT_EQ(s.WaterMark.color.G, 0);
  EXPECT_EQ(s.WaterMark.transparency, 100);
  EXPECT_EQ(s.WaterMark.angle, 360);
  EXPECT_EQ(s.WaterMark.position, 8);
  EXPECT_EQ(s.DPI.ImageDPI, 1);
  EXPECT_EQ(s.DPI.MainWidth, 65535);
  EXPECT_EQ(s.SizeUnit, 1);
  EXPECT_EQ(s.MediaType, 0);
}

TEST(LastSettingsLoad, TopLevelImageDpiWins) {
  const ScanSettings s = LoadText(
      "<TavrinWindow><ImageDPI>300</ImageDPI><DPI><ImageDPI>200</ImageDPI></DPI></TavrinWindow>");
  EXPECT_EQ(s.DPI.ImageDPI, 300);
}

TEST(LastSettingsLoad, ElementsWithoutTextKeepTheirValues) {
  const ScanSettings s = LoadText(
      "<TavrinWindow><colorType/><cutType></cutType><Language/>"
      "<WaterMark><text></text><font/></WaterMark></TavrinWindow>");
  EXPECT_EQ(Fields(s), Fields(ScanSettings{}));
}

TEST(LastSettingsLoad, BadFilesChangeNothing) {
  std::string deep = "<TavrinWindow>";
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  deep += "<colorType>3</colorType>";
  const std::string cases[] = {
      "",
      "<?xml version=\"1.0\"?><!-- nothing -->",
      "<TavrinWindow><colorType>3</colorType>",
      "<TavrinWindow><colorType>3</colorType></Other>",
      std::string("\x00\x01\xFF\xFE<colorType>3</colorType>", 28),
      deep,
  };
  for (const std::string& text : cases) {
    bool loaded = true;
    const ScanSettings s = LoadText(text, &loaded);
    EXPECT_FALSE(loaded) << text.substr(0, 60);
    EXPECT_EQ(Fields(s), Fields(ScanSettings{}));
  }
  // Text that is not UTF-8 is taken, made valid.
  const ScanSettings s = LoadText(
      "<TavrinWindow><WaterMark><text>a\xFF"
      "b</text></WaterMark></TavrinWindow>");
  EXPECT_EQ(s.WaterMark.text,
            "a\xEF\xBF\xBD"
            "b");
}

TEST(LastSettingsSave, WritesEveryElementInOrder) {
  ScanSettings s;
  s.WaterMark.text = "";
  EXPECT_EQ(PrintLastSettings(s),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<TavrinWindow>\n"
            "    <colorType>0</colorType>\n"
            "    <cutType>1</cutType>\n"
            "    <HandCut>0</HandCut>\n"
            "    <fileType>1</fileType>\n"
            "    <rotateType>0</rotateType>\n"
            "    <autoCaptureType>0</autoCaptureType>\n"
            "    <autoCaptureInterval>5</autoCaptureInterval>\n"
            "    <autoCaptureStill>2</autoCaptureStill>\n"
            "    <evenLight>1</evenLight>\n"
            "    <Webcam>\n"
            "        <isEnable>0</isEnable>\n"
            "        <isMerge>0</isMerge>\n"
            "        <MergeType>0</MergeType>\n"
            "        <MergePosition>2</MergePosition>\n"
            "        <WebcamHeight>0</WebcamHeight>\n"
            "        <WebcamWidth>0</WebcamWidth>\n"
            "    </Webcam>\n"
            "    <MergeHV>\n"
            "        <isEnable>0</isEnable>\n"
            "        <direction>1</direction>\n"
            "    </MergeHV>\n"
            "    <WaterMark>\n"
            "        <isEnable>0</isEnable>\n"
            "        <text></text>\n"
            "        <font>Arial</font>\n"
            "        <WordSize>36</WordSize>\n"
            "        <isWeight>0</isWeight>\n"
            "        <isItalic>0</isItalic>\n"
            "        <isUnderline>0</isUnderline>\n"
            "        <color>\n"
            "            <R>255</R>\n"
            "            <G>0</G>\n"
            "            <B>0</B>\n"
            "        </color>\n"
            "        <transparency>70</transparency>\n"
            "        <angle>30</angle>\n"
            "        <position>4</position>\n"
            "        <isAddTimeStamp>1</isAddTimeStamp>\n"
            "    </WaterMark>\n"
            "    <DPI>\n"
            "        <isSetDPI>0</isSetDPI>\n"
            "        <ImageDPI>200</ImageDPI>\n"
            "        <MainHeight>0</MainHeight>\n"
            "        <MainWidth>0</MainWidth>\n"
            "    </DPI>\n"
            "    <Language>EN</Language>\n"
            "    <ShowUIUpdataOneByOne>0</ShowUIUpdataOneByOne>\n"
            "    <SizeUnit>0</SizeUnit>\n"
            "    <MediaType>0</MediaType>\n"
            "    <Window>\n"
            "        <Width>0</Width>\n"
            "        <Height>0</Height>\n"
            "        <isMaximized>0</isMaximized>\n"
            "    </Window>\n"
            "</TavrinWindow>\n");
}

TEST(LastSettingsSave, SaveThenLoadGivesBackEveryField) {
  ScratchFolder folder;
  const std::string file = folder.File("LastSetting.xml");
  const ScanSettings changed = Changed();
  ASSERT_TRUE(SaveLastSettings(file, changed));
  ScanSettings back;
  ASSERT_TRUE(LoadLastSettings(file, back));
  EXPECT_EQ(Fields(back), Fields(changed));

  // Flags written as 0/1 whatever the record held.
  ScanSettings odd;
  odd.Webcam.isEnable = 5;
  odd.MergeHV.isEnable = -3;
  ASSERT_TRUE(SaveLastSettings(file, odd));
  EXPECT_NE(ReadBytes(file).find("<isEnable>1</isEnable>"), std::string::npos);
  EXPECT_EQ(ReadBytes(file).find("<isEnable>5<"), std::string::npos);
  EXPECT_EQ(ReadBytes(file).find("<isEnable>-3<"), std::string::npos);
}

TEST(LastSettingsSave, EmptyTextIsAnEmptyElementThatKeepsTheOldValue) {
  ScratchFolder folder;
  const std::string file = folder.File("LastSetting.xml");
  ScanSettings s;
  s.WaterMark.text = "";
  s.WaterMark.font = "";
  ASSERT_TRUE(SaveLastSettings(file, s));
  EXPECT_NE(ReadBytes(file).find("<text></text>"), std::string::npos);
  ScanSettings back;
  back.WaterMark.text = "kept";
  ASSERT_TRUE(LoadLastSettings(file, back));
  EXPECT_EQ(back.WaterMark.text, "kept");
  EXPECT_EQ(back.WaterMark.font, "Arial");
}

bool IsValidUtf8(const std::string& text) {
  return platform::Utf16ToUtf8(platform::Utf8ToUtf16(text)) == text &&
         text.find("\xEF\xBF\xBD") == std::string::npos;
}

TEST(LastSettingsSave, LongTextsAreCutAtCharacterBoundaries) {
  ScratchFolder folder;
  const std::string file = folder.File("LastSetting.xml");
  ScanSettings s;
  for (int i = 0; i < 300; ++i) s.WaterMark.text += "\xE4\xB8\xAD";  // 中: 3 bytes, 1 unit
  s.WaterMark.font.clear();
  for (int i = 0; i < 200; ++i) s.WaterMark.font += "\xF0\x9F\x98\x80";  // 4 bytes, 2 units
  ASSERT_TRUE(SaveLastSettings(file, s));
  ScanSettings back;
  ASSERT_TRUE(LoadLastSettings(file, back));
  EXPECT_TRUE(IsValidUtf8(back.WaterMark.text));
  EXPECT_EQ(back.WaterMark.text.size(), 255u);  // 85 whole characters
  EXPECT_EQ(back.WaterMark.text, s.WaterMark.text.substr(0, 255));
  EXPECT_TRUE(IsValidUtf8(back.WaterMark.font));
  EXPECT_EQ(back.WaterMark.font.size(), 252u);  // 63 whole characters
  // 255 units of ASCII still fit whole, 256 do not.
  s.WaterMark.text = std::string(256, 'a');
  ASSERT_TRUE(SaveLastSettings(file, s));
  ASSERT_TRUE(LoadLastSettings(file, back));
  EXPECT_EQ(back.WaterMark.text, std::string(255, 'a'));
}

TEST(LastSettingsSave, FailedWritesLeaveTheOldFileWhole) {
  {
    ScratchFolder folder;
    EXPECT_FALSE(SaveLastSettings(folder.File("missing/LastSetting.xml"), ScanSettings{}));
    EXPECT_FALSE(SaveLastSettings("", ScanSettings{}));
  }
  ScratchFolder folder;
  if (!folder.MountTmpfs(64)) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  const std::string file = folder.File("LastSetting.xml");
  ASSERT_TRUE(SaveLastSettings(file, ScanSettings{}));
  const std::string old = ReadBytes(file);

  test::FillDisk(folder.File("filler"));
  ScanSettings big = Changed();
  EXPECT_FALSE(SaveLastSettings(file, big));
  EXPECT_EQ(ReadBytes(file), old);

  ASSERT_TRUE(folder.RemountReadOnly());
  EXPECT_FALSE(SaveLastSettings(file, big));
  EXPECT_EQ(ReadBytes(file), old);
  ScanSettings back;
  back.colorType = 9;
  ASSERT_TRUE(LoadLastSettings(file, back));
  EXPECT_EQ(back.colorType, 0);
}

}  // namespace
}  // namespace tavrin
