// What the recording test library remembers of its last call, shared by the
// library and the binding tests.
#pragma once

#include <cstdint>

namespace testlens {

struct Call {
  char name[64] = {};
  int ints[16] = {};
  int intCount = 0;
  float floats[2] = {};
  char texts[3][256] = {};
  const void* pointer = nullptr;
};

// A result per export that no other export shares, never 0 or -99.
inline int ResultFor(const char* name) {
  uint32_t hash = 2166136261u;
  for (const char* c = name; *c; ++c) hash = (hash ^ static_cast<unsigned char>(*c)) * 16777619u;
  return 1000 + static_cast<int>(hash % 1000000u);
}

}  // namespace testlens

// Read back through CameraLibrary::FindEntry.
using TestLensLastCall = const testlens::Call* (*)();
using TestLensCallCount = int (*)(const char* name);
using TestLensText = const char* (*)();
