// One entry per fuzz target. The libFuzzer programs wrap them, and the
// regression replay test calls them with the normal compiler, so a crash
// input replays through exactly the code that found it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrin::fuzzing {

int MarkupFuzzOne(const uint8_t* data, size_t size);
int LastSettingsFuzzOne(const uint8_t* data, size_t size);
int LanguageIndexFuzzOne(const uint8_t* data, size_t size);
int UiTextsFuzzOne(const uint8_t* data, size_t size);
int ChannelBlockFuzzOne(const uint8_t* data, size_t size);

}  // namespace tavrin::fuzzing
