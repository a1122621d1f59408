// Which of tesseract's installed languages a scan recognises.
// Threads: any; each call opens tesseract's data afresh.
#pragma once

#include <string>
#include <vector>

namespace tavrin::document {

// Sends tesseract's own messages nowhere, for the whole process: ours say
// what matters in the command's words. Idempotent; any thread, before a
// tesseract instance is made (the setting is shared by all).
void QuietTesseract();

// The languages tesseract has data for ("deu", "eng", ...), without the
// orientation data "osd"; sorted. Empty when it has none.
std::vector<std::string> InstalledLanguages();

// Checks a list like "eng+deu" before a scan: empty when every language
// is installed, else what is wrong and how to get it.
std::string CheckLanguages(const std::string& languages);

// The language of a locale name such as "de_DE.UTF-8" in tesseract's
// naming ("deu"), when it is among installed; else "eng".
std::string LanguageOfLocale(const std::string& locale, const std::vector<std::string>& installed);

}  // namespace tavrin::document
