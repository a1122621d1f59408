#include "settings/ui_text_table.h"

#include <tinyxml2.h>

#include "platform/text.h"
#include "settings/settings_io.h"

namespace tavrin {

UiTextTable g_uiTextTable;
LanguageList g_languageList;

namespace {

std::string LanguageFolder() {
  const std::string folder = settings_io::ProgramFolder();
  return folder.empty() ? std::string() : folder + "/Language";
}

// An indented file carries the indentation in its texts; no code or caption
// begins or ends with white space.
std::u16string Trimmed(const char* text) {
  std::string_view view(text);
  const auto space = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
  };
  while (!view.empty() && space(view.front())) view.remove_prefix(1);
  while (!view.empty() && space(view.back())) view.remove_suffix(1);
  return platform::Utf8ToUtf16(std::string(view));
}

}  // namespace

std::string LanguageIndexPath() {
  const std::string folder = LanguageFolder();
  return folder.empty() ? std::string() : folder + "/Language.xml";
}

std::string LanguageFilePath(std::u16string_view code) {
  const std::string folder = LanguageFolder();
  if (folder.empty()) return {};
  return folder + "/" + platform::Utf16ToUtf8(code) + ".xml";
}

bool LoadLanguageIndex(const std::string& path, LanguageList& list) {
  tinyxml2::XMLDocument doc;
  if (!settings_io::LoadXmlFile(path, doc)) return false;
  list.clear();
  const tinyxml2::XMLElement* entry = nullptr;
  if (const tinyxml2::XMLElement* info = doc.FirstChildElement("LanguageInfo")) {
    entry = info->FirstChildElement("Language");
  } else {
    entry = doc.FirstChildElement("Language");
  }
  // Every following element counts, whatever its name; comments and other
  // nodes between the entries are passed over.
  for (; entry != nullptr; entry = entry->NextSiblingElement()) {
    LanguageEntry language;
    if (const tinyxml2::XMLAttribute* first = entry->FirstAttribute()) {
      language.name = Trimmed(first->Value());
      if (const char* text = entry->GetText()) language.code = Trimmed(text);
    }
    list.push_back(std::move(language));
  }
  return !list.empty();
}

bool LoadLanguageIndex(const std::string& path) {
  return LoadLanguageIndex(path, g_languageList);
}

bool LoadUiTexts(const std::string& path, UiTextTable& table) {
  tinyxml2::XMLDocument doc;
  if (!settings_io::LoadXmlFile(path, doc)) return false;
  const tinyxml2::XMLElement* texts = doc.FirstChildElement("UIText");
  if (texts == nullptr) return true;
  for (const UiTextKey& key : kUiTextKeys) {
    const std::string name(key.name);
    const tinyxml2::XMLElement* element = texts->FirstChildElement(name.c_str());
    if (element != nullptr && element->GetText() != nullptr) {
      table.*key.text = Trimmed(element->GetText());
    }
  }
  const tinyxml2::XMLElement* wordType = texts->FirstChildElement("WordType");
  // Without text the word order stays as it was.
  if (wordType != nullptr && wordType->GetText() != nullptr) {
    table.WordType = settings_io::ParseInt(wordType->GetText());
  }
  return true;
}

bool LoadUiTexts(const std::string& path) {
  return LoadUiTexts(path, g_uiTextTable);
}

}  // namespace tavrin
