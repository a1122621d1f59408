// Parses arbitrary text, walks it, and, for a well-formed document, inserts
// elements and checks that the edited index still agrees with a fresh
// parse of the edited text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_entries.h"
#include "platform/text.h"
#include "xml/markup_document.h"

namespace {

using tavrin::MarkupDocument;

constexpr int kMaxLevels = 256;
constexpr int kMaxVisits = 4096;

// Names and data of the first-child chain and of all siblings on the way.
std::u16string Walk(MarkupDocument doc) {
  doc.ResetPos();
  std::u16string trail;
  int visits = 0;
  for (int level = 0; level < kMaxLevels && visits < kMaxVisits; ++level) {
    MarkupDocument siblings = doc;
    while (visits < kMaxVisits && siblings.FindElem()) {
      trail += siblings.GetTagName() + u'=' + siblings.GetData() + u';';
      ++visits;
    }
    trail += u'|';
    if (!doc.FindElem() || !doc.IntoElem()) break;
  }
  return trail;
}

void Exercise(const std::u16string& text, uint8_t choice) {
  MarkupDocument doc;
  const bool wellFormed = doc.SetDoc(text);
  if (wellFormed != doc.IsWellFormed()) __builtin_trap();
  Walk(doc);
  if (!wellFormed) return;

  // Into the root, then after its first child when there is one.
  if (!doc.FindElem() || !doc.IntoElem()) __builtin_trap();
  const std::u16string data = text.substr(0, choice % 24);
  const int options = choice >> 5;
  // Refused only where the parent's name cannot take an end tag, and then
  // the text stays as it was.
  if (!doc.AddElem(u"n", data, options)) {
    if (doc.GetDoc() != text) __builtin_trap();
    return;
  }
  if (choice & 16) {
    doc.ResetPos();
    doc.FindElem();
    doc.IntoElem();
    if (doc.FindElem()) doc.AddElem(u"m:x", text.substr(text.size() / 2, 8), options);
    if (doc.IntoElem()) doc.AddElem(u"_k");
  }
  if (!doc.IsWellFormed()) __builtin_trap();
  MarkupDocument fresh;
  if (!fresh.SetDoc(doc.GetDoc())) __builtin_trap();
  if (Walk(fresh) != Walk(doc)) __builtin_trap();
}

}  // namespace

int tavrin::fuzzing::MarkupFuzzOne(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  const uint8_t choice = size > 0 ? data[size - 1] : 0;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  Exercise(tavrin::platform::Utf8ToUtf16(bytes), choice);
  // The same bytes as raw UTF-16 units reach lone surrogates and any unit.
  std::u16string units(size / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  Exercise(units, choice);
  return 0;
}
