// LoadLastSettings on arbitrary files; whatever loads must save and load
// back to the same record.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_entries.h"
#include "fuzz_file.h"
#include "settings/scan_settings.h"

namespace {

bool Same(const tavrin::ScanSettings& a, const tavrin::ScanSettings& b) {
  return tavrin::PrintLastSettings(a) == tavrin::PrintLastSettings(b);
}

}  // namespace

int tavrin::fuzzing::LastSettingsFuzzOne(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  const std::string& path = tavrin::fuzzing::WriteFuzzFile(data, size);
  tavrin::ScanSettings loaded;
  if (!tavrin::LoadLastSettings(path, loaded)) {
    if (!Same(loaded, tavrin::ScanSettings{})) __builtin_trap();
    return 0;
  }
  if (!tavrin::SaveLastSettings(path, loaded)) __builtin_trap();
  tavrin::ScanSettings back;
  if (!tavrin::LoadLastSettings(path, back) || !Same(back, loaded)) __builtin_trap();
  return 0;
}
