#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_entries.h"
#include "fuzz_file.h"
#include "settings/ui_text_table.h"

int tavrin::fuzzing::LanguageIndexFuzzOne(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  tavrin::LanguageList list = {{u"kept", u"KP"}};
  const bool loaded = tavrin::LoadLanguageIndex(tavrin::fuzzing::WriteFuzzFile(data, size), list);
  // True means entries were read; false leaves the list whole or, for a
  // file that parsed without entries, empty.
  if (loaded && list.empty()) __builtin_trap();
  if (!loaded && !list.empty() && (list.size() != 1 || list[0].code != u"KP")) __builtin_trap();
  return 0;
}
