#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_entries.h"
#include "fuzz_file.h"
#include "settings/ui_text_table.h"

int tavrin::fuzzing::UiTextsFuzzOne(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  tavrin::UiTextTable table;
  if (!tavrin::LoadUiTexts(tavrin::fuzzing::WriteFuzzFile(data, size), table)) {
    // A failed load changes nothing.
    const tavrin::UiTextTable defaults;
    for (const tavrin::UiTextKey& key : tavrin::kUiTextKeys) {
      if (table.*key.text != defaults.*key.text) __builtin_trap();
    }
  }
  return 0;
}
