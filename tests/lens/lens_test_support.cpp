#include "tests/lens/lens_test_support.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace tavrin::lens_test {

namespace {

uint32_t Big16(const std::string& b, size_t at) {
  return (static_cast<uint8_t>(b[at]) << 8) | static_cast<uint8_t>(b[at + 1]);
}
uint32_t Big32(const std::string& b, size_t at) {
  return (Big16(b, at) << 16) | Big16(b, at + 2);
}
uint32_t Little32(const std::string& b, size_t at) {
  return static_cast<uint8_t>(b[at]) | (static_cast<uint8_t>(b[at + 1]) << 8) |
         (static_cast<uint8_t>(b[at + 2]) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24);
}
int DpiOfDotsPerMetre(uint32_t dotsPerMetre) {
  return static_cast<int>(std::lround(dotsPerMetre * 0.0254));
}

void ReadJpeg(const std::string& b, FileFacts& facts) {
  facts.format = "jpeg";
  size_t at = 2;
  while (at + 4 <= b.size() && static_cast<uint8_t>(b[at]) == 0xFF) {
    const uint8_t marker = static_cast<uint8_t>(b[at + 1]);
    const uint32_t length = Big16(b, at + 2);
    if (marker == 0xE0 && at + 18 <= b.size() &&
        b.compare(at + 4, 5, std::string("JFIF\0", 5)) == 0 && b[at + 11] == 1) {
      facts.dpiX = static_cast<int>(Big16(b, at + 12));
      facts.dpiY = static_cast<int>(Big16(b, at + 14));
    }
    if ((marker == 0xC0 || marker == 0xC1 || marker == 0xC2) && at + 9 <= b.size()) {
      facts.height = static_cast<int>(Big16(b, at + 5));
      facts.width = static_cast<int>(Big16(b, at + 7));
      return;
    }
    at += 2 + length;
  }
}

void ReadPng(const std::string& b, FileFacts& facts) {
  facts.format = "png";
  size_t at = 8;
  while (at + 12 <= b.size()) {
    const uint32_t length = Big32(b, at);
    const std::string type = b.substr(at + 4, 4);
    if (type == "IHDR") {
      facts.width = static_cast<int>(Big32(b, at + 8));
      facts.height = static_cast<int>(Big32(b, at + 12));
    } else if (type == "pHYs" && b[at + 16] == 1) {
      facts.dpiX = DpiOfDotsPerMetre(Big32(b, at + 8));
      facts.dpiY = DpiOfDotsPerMetre(Big32(b, at + 12));
    } else if (type == "IDAT") {
      return;
    }
    at += 12 + length;
  }
}

void ReadBmp(const std::string& b, FileFacts& facts) {
  if (b.size() < 54) return;
  facts.format = "bmp";
  facts.width = static_cast<int>(Little32(b, 18));
  facts.height = static_cast<int>(Little32(b, 22));
  facts.dpiX = DpiOfDotsPerMetre(Little32(b, 38));
  facts.dpiY = DpiOfDotsPerMetre(Little32(b, 42));
}

}  // namespace

FileFacts ReadFileFacts(const std::string& path) {
  const std::string bytes = ReadBytes(path);
  FileFacts facts;
  if (bytes.size() > 4 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
      static_cast<uint8_t>(bytes[1]) == 0xD8) {
    ReadJpeg(bytes, facts);
  } else if (bytes.size() > 8 && bytes.compare(1, 3, "PNG") == 0) {
    ReadPng(bytes, facts);
  } else if (bytes.size() > 2 && bytes[0] == 'B' && bytes[1] == 'M') {
    ReadBmp(bytes, facts);
  }
  return facts;
}

int CountThreads() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    ++count;
  return count;
}

int CountOpenFiles() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

}  // namespace tavrin::lens_test
