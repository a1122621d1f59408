#include "document/languages.h"

#include <tesseract/baseapi.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <utility>

namespace tavrin::document {
namespace {

// ISO 639-1 codes of locales to the names of tesseract's data files.
constexpr std::array<std::pair<const char*, const char*>, 44> kLocaleLanguages = {{
    {"ar", "ara"}, {"bg", "bul"}, {"ca", "cat"}, {"cs", "ces"}, {"cy", "cym"}, {"da", "dan"},
    {"de", "deu"}, {"el", "ell"}, {"en", "eng"}, {"es", "spa"}, {"et", "est"}, {"eu", "eus"},
    {"fa", "fas"}, {"fi", "fin"}, {"fr", "fra"}, {"ga", "gle"}, {"gl", "glg"}, {"he", "heb"},
    {"hi", "hin"}, {"hr", "hrv"}, {"hu", "hun"}, {"id", "ind"}, {"is", "isl"}, {"it", "ita"},
    {"ja", "jpn"}, {"ko", "kor"}, {"lt", "lit"}, {"lv", "lav"}, {"nb", "nor"}, {"nl", "nld"},
    {"nn", "nor"}, {"no", "nor"}, {"pl", "pol"}, {"pt", "por"}, {"ro", "ron"}, {"ru", "rus"},
    {"sk", "slk"}, {"sl", "slv"}, {"sr", "srp"}, {"sv", "swe"}, {"th", "tha"}, {"tr", "tur"},
    {"uk", "ukr"}, {"vi", "vie"},
}};

std::vector<std::string> Split(const std::string& languages) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= languages.size()) {
    const size_t plus = std::min(languages.find('+', start), languages.size());
    parts.push_back(languages.substr(start, plus - start));
    start = plus + 1;
  }
  return parts;
}

bool PlainName(const std::string& name) {
  return !name.empty() && name != "osd" && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
  });
}

}  // namespace

void QuietTesseract() {
  static std::once_flag once;
  std::call_once(once, [] {
    tesseract::TessBaseAPI api;
    api.SetVariable("debug_file", "/dev/null");
  });
}

std::vector<std::string> InstalledLanguages() {
  QuietTesseract();
  tesseract::TessBaseAPI api;
  // The list comes from the data folder, which is known even when the
  // language asked for is missing.
  api.Init(nullptr, "osd");
  std::vector<std::string> languages;
  api.GetAvailableLanguagesAsVector(&languages);
  std::erase(languages, "osd");
  std::sort(languages.begin(), languages.end());
  return languages;
}

std::string CheckLanguages(const std::string& languages) {
  const std::vector<std::string> installed = InstalledLanguages();
  std::string have;
  for (const std::string& name : installed) have += (have.empty() ? "" : ", ") + name;
  if (have.empty()) have = "none";
  for (const std::string& name : Split(languages)) {
    if (!PlainName(name))
      return "'" + languages +
             "' is not a list of languages like eng or eng+deu (installed: " + have + ")";
    if (std::find(installed.begin(), installed.end(), name) == installed.end())
      return "tesseract has no data for the language '" + name + "' (installed: " + have +
             "); the Debian package tesseract-ocr-" + name + " brings it";
  }
  return {};
}

std::string LanguageOfLocale(const std::string& locale, const std::vector<std::string>& installed) {
  const std::string code = locale.substr(0, std::min(locale.find_first_of("_.@"), locale.size()));
  for (const auto& [iso, name] : kLocaleLanguages) {
    if (code == iso && std::find(installed.begin(), installed.end(), name) != installed.end())
      return name;
  }
  return "eng";
}

}  // namespace tavrin::document
