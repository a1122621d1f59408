#include "settings/ui_text_table.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <string>

#include "platform/paths.h"
#include "platform/text.h"
#include "xml/scratch_folder.h"

namespace tavrin {
namespace {

using platform::Utf16ToUtf8;
using test::ScratchFolder;
using test::WriteBytes;

std::string Text(const UiTextTable& table, std::string_view key) {
  for (const UiTextKey& k : kUiTextKeys) {
    if (k.name == key) return Utf16ToUtf8(table.*k.text);
  }
  ADD_FAILURE() << "no key " << key;
  return {};
}

// Writes text as the folder's language index and reads it into list.
bool LoadIndex(const ScratchFolder& folder, const std::string& text, LanguageList& list) {
  WriteBytes(folder.File("Language.xml"), text);
  return LoadLanguageIndex(folder.File("Language.xml"), list);
}

std::string UiFile(const std::string& inner) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<UIText>" + inner + "</UIText>\n";
}

TEST(UiTextDefaults, KeysInReadingOrderWithTheirBuiltInTexts) {
  ASSERT_EQ(kUiTextKeys.size(), 102u);
  EXPECT_EQ(kUiTextKeys.front().name, "Color");
  EXPECT_EQ(kUiTextKeys.back().name, "EvenLight");
  const UiTextTable table;
  // The built-in texts are kept as they always were, spelling included.
  EXPECT_EQ(Text(table, "Merge"), "Two Picetures Merge");
  EXPECT_EQ(Text(table, "Pos"), "Postion");
  EXPECT_EQ(Text(table, "Media"), "Fromat");
  EXPECT_EQ(Text(table, "CutType3"), "Single(Eage Restore)");
  EXPECT_EQ(Text(table, "AutoCaptureOption2"), "AutoMatic");
  EXPECT_EQ(Text(table, "ColorType2"), "Black&White(Document)");
  EXPECT_EQ(Text(table, "ErrCode"), "Failed, ErrorCode");
  EXPECT_EQ(Text(table, "End"), "Exit");
  EXPECT_EQ(table.WordType, 0);
  // Every key names its own member once.
  for (size_t i = 0; i < kUiTextKeys.size(); ++i) {
    for (size_t j = i + 1; j < kUiTextKeys.size(); ++j) {
      EXPECT_NE(kUiTextKeys[i].name, kUiTextKeys[j].name);
      EXPECT_NE(kUiTextKeys[i].text, kUiTextKeys[j].text);
    }
  }
}

TEST(UiTextLoad, OnlyTheKeysTheFileCarriesChange) {
  ScratchFolder folder;
  WriteBytes(folder.File("XX.xml"), UiFile("<Capture>\xE6\x8B\x8D\xE7\x85\xA7</Capture>"
                                           "<capture>no</capture><Unknown>x</Unknown>"));
  UiTextTable table;
  ASSERT_TRUE(LoadUiTexts(folder.File("XX.xml"), table));
  const UiTextTable defaults;
  for (const UiTextKey& key : kUiTextKeys) {
    if (key.name == "Capture") {
      EXPECT_EQ(table.*key.text, u"\u62CD\u7167");
    } else {
      EXPECT_EQ(table.*key.text, defaults.*key.text) << key.name;
    }
  }
  EXPECT_EQ(table.WordType, 0);
}

TEST(UiTextLoad, LaterLanguageKeepsEarlierTextsForMissingKeys) {
  ScratchFolder folder;
  WriteBytes(folder.File("A.xml"), UiFile("<Capture>Aufnehmen</Capture><Exit>Beenden</Exit>"
                                          "<WordType>1</WordType>"));
  WriteBytes(folder.File("B.xml"), UiFile("<Exit>Quitter</Exit><Capture/><WordType/>"));
  UiTextTable table;
  ASSERT_TRUE(LoadUiTexts(folder.File("A.xml"), table));
  EXPECT_EQ(table.WordType, 1);
  ASSERT_TRUE(LoadUiTexts(folder.File("B.xml"), table));
  EXPECT_EQ(table.Capture, u"Aufnehmen");  // an empty element is no text
  EXPECT_EQ(table.Exit, u"Quitter");
  EXPECT_EQ(table.WordType, 1);  // WordType without text leaves it
  EXPECT_EQ(table.Save, u"Save");

  WriteBytes(folder.File("C.xml"), UiFile("<WordType>x</WordType>"));
  ASSERT_TRUE(LoadUiTexts(folder.File("C.xml"), table));
  EXPECT_EQ(table.WordType, 0);
}

TEST(UiTextLoad, BadFilesChangeNothing) {
  ScratchFolder folder;
  UiTextTable table;
  table.Capture = u"before";
  EXPECT_FALSE(LoadUiTexts(folder.File("missing.xml"), table));
  EXPECT_FALSE(LoadUiTexts(folder.path, table));
  WriteBytes(folder.File("bad.xml"), "<UIText><Capture>x</Capture>");
  EXPECT_FALSE(LoadUiTexts(folder.File("bad.xml"), table));
  std::string deep = "<UIText><Capture>x</Capture>";
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  for (int i = 0; i < 100000; ++i) deep += "</a>";
  WriteBytes(folder.File("deep.xml"), deep + "</UIText>");
  EXPECT_FALSE(LoadUiTexts(folder.File("deep.xml"), table));
  EXPECT_EQ(table.Capture, u"before");
  // Loaded but without UIText: true, and still nothing changes.
  WriteBytes(folder.File("other.xml"), "<Texts><Capture>x</Capture></Texts>");
  EXPECT_TRUE(LoadUiTexts(folder.File("other.xml"), table));
  EXPECT_EQ(table.Capture, u"before");
}

TEST(LanguageIndex, FirstAttributeNamesTheEntry) {
  ScratchFolder folder;
  LanguageList list;
  ASSERT_TRUE(LoadIndex(folder,
                        "<?xml version=\"1.0\"?><LanguageInfo>"
                        "<Language lang=\"English\" name=\"ignored\">EN</Language>"
                        "<!-- between -->"
                        "<Language>XX</Language>"
                        "<Language name=\"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\"/>"
                        "</LanguageInfo>",
                        list));
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].name, u"English");
  EXPECT_EQ(list[0].code, u"EN");
  EXPECT_EQ(list[1].name, u"");  // no attribute: an empty entry that keeps its place
  EXPECT_EQ(list[1].code, u"");
  EXPECT_EQ(list[2].name, u"\u65E5\u672C\u8A9E");
  EXPECT_EQ(list[2].code, u"");
}

TEST(LanguageIndex, IndentedFilesGiveCodesAndTextsWithoutTheirWhiteSpace) {
  ScratchFolder folder;
  LanguageList list;
  ASSERT_TRUE(LoadIndex(folder,
                        "<LanguageInfo>\n  <Language name=\" Deutsch \">\n    DE\n  </Language>\n"
                        "</LanguageInfo>",
                        list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, u"Deutsch");
  EXPECT_EQ(list[0].code, u"DE");
  WriteBytes(folder.File("DE.xml"), UiFile("\n  <Exit>\n\t Beenden \r\n  </Exit>\n"
                                           "<Capture>Auf nehmen</Capture>"));
  UiTextTable table;
  ASSERT_TRUE(LoadUiTexts(folder.File("DE.xml"), table));
  EXPECT_EQ(table.Exit, u"Beenden");
  EXPECT_EQ(table.Capture, u"Auf nehmen");  // white space inside stays
}

TEST(LanguageIndex, TopLevelEntriesWithoutLanguageInfo) {
  ScratchFolder folder;
  LanguageList list;
  ASSERT_TRUE(LoadIndex(
      folder, "<Language name=\"A\">A</Language><Language name=\"B\">B</Language>", list));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].code, u"B");

  EXPECT_FALSE(LoadIndex(folder, "<LanguageInfo><Other/></LanguageInfo>", list));
  EXPECT_TRUE(list.empty());
}

TEST(LanguageIndex, MissingFolderLeavesTheListAsItWas) {
  ScratchFolder folder;
  LanguageList list = {{u"Kept", u"KP"}};
  EXPECT_FALSE(LoadLanguageIndex(folder.File("Language/Language.xml"), list));
  WriteBytes(folder.File("broken.xml"), "<LanguageInfo><Language name='x'>X</Language>");
  EXPECT_FALSE(LoadLanguageIndex(folder.File("broken.xml"), list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].code, u"KP");
  UiTextTable table;
  EXPECT_FALSE(LoadUiTexts(folder.File("Language/EN.xml"), table));
}

// The build copies resources/Language beside the test programs, as it does
// beside the scan window.
TEST(ShippedLanguages, IndexListsEveryLanguageAndEachFileHasEveryKey) {
  const std::string program = platform::ProgramPath();
  const std::string folder = program.substr(0, program.rfind('/'));
  EXPECT_EQ(LanguageIndexPath(), folder + "/Language/Language.xml");
  EXPECT_EQ(LanguageFilePath(u"CN"), folder + "/Language/CN.xml");

  LanguageList list;
  ASSERT_TRUE(LoadLanguageIndex(LanguageIndexPath(), list));
  std::u16string codes;
  for (const LanguageEntry& entry : list) codes += entry.code + u" ";
  EXPECT_EQ(codes, u"EN CN DE FR ES JA ");
  EXPECT_EQ(list[1].name, u"\u7B80\u4F53\u4E2D\u6587");
  EXPECT_EQ(list[3].name, u"Fran\u00E7ais");

  for (const LanguageEntry& entry : list) {
    const std::string path = LanguageFilePath(entry.code);
    SCOPED_TRACE(path);
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.LoadFile(path.c_str()), tinyxml2::XML_SUCCESS);
    const tinyxml2::XMLElement* texts = doc.FirstChildElement("UIText");
    ASSERT_NE(texts, nullptr);
    for (const UiTextKey& key : kUiTextKeys) {
      const tinyxml2::XMLElement* element = texts->FirstChildElement(std::string(key.name).c_str());
      ASSERT_NE(element, nullptr) << key.name;
      ASSERT_NE(element->GetText(), nullptr) << key.name;
    }
    ASSERT_NE(texts->FirstChildElement("WordType"), nullptr);
    UiTextTable table;
    EXPECT_TRUE(LoadUiTexts(path, table));
  }
}

TEST(ShippedLanguages, EnglishIsCorrectedAndChineseUsesTheTemplateCaptions) {
  ASSERT_TRUE(LoadUiTexts(LanguageFilePath(u"EN")));
  EXPECT_EQ(g_uiTextTable.Merge, u"Two Pictures Merge");
  EXPECT_EQ(g_uiTextTable.Pos, u"Position");
  EXPECT_EQ(g_uiTextTable.Media, u"Format");
  EXPECT_EQ(g_uiTextTable.CutType3, u"Single (Edge Restore)");
  EXPECT_EQ(g_uiTextTable.AutoCaptureOption2, u"Automatic");
  EXPECT_EQ(g_uiTextTable.ColorType0, u"Color");
  EXPECT_EQ(g_uiTextTable.WordType, 0);

  UiTextTable cn;
  ASSERT_TRUE(LoadUiTexts(LanguageFilePath(u"CN"), cn));
  EXPECT_EQ(Utf16ToUtf8(cn.Color), "颜色");
  EXPECT_EQ(Utf16ToUtf8(cn.Cut), "裁切");
  EXPECT_EQ(Utf16ToUtf8(cn.FileFromat), "格式");
  EXPECT_EQ(Utf16ToUtf8(cn.Merge), "合并");
  EXPECT_EQ(Utf16ToUtf8(cn.Horizontal), "水平");
  EXPECT_EQ(Utf16ToUtf8(cn.Vertical), "垂直");
  EXPECT_EQ(Utf16ToUtf8(cn.WaterMark), "水印");
  EXPECT_EQ(Utf16ToUtf8(cn.Capture), "拍照");
  EXPECT_EQ(cn.WordType, 1);  // "3 页"

  UiTextTable ja;
  ASSERT_TRUE(LoadUiTexts(LanguageFilePath(u"JA"), ja));
  EXPECT_EQ(ja.WordType, 1);
}

}  // namespace
}  // namespace tavrin
