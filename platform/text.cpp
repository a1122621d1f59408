#include "platform/text.h"

#include <cstdint>

namespace tavrin::platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// Length of the sequence a lead byte starts, 0 for a byte that cannot start
// one (a continuation byte, C0, C1 and F5..FF).
size_t SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Decodes one code point at text[pos]; advances pos past it, or past the
// longest prefix of a broken sequence, so that one fault gives one U+FFFD.
char32_t DecodeOne(std::string_view text, size_t& pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  const size_t length = SequenceLength(lead);
  if (length == 0) {
    ++pos;
    return kReplacement;
  }
  if (length == 1) {
    ++pos;
    return lead;
  }
  char32_t value = lead & (0xFF >> (length + 1));
  size_t used = 1;
  for (; used < length; ++used) {
    if (pos + used >= text.size()) break;
    const auto next = static_cast<unsigned char>(text[pos + used]);
    // The second byte's range rules out overlong forms, encoded surrogates
    // and values above U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (used == 1) {
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    if (next < low || next > high) break;
    value = (value << 6) | (next & 0x3F);
  }
  pos += used;
  return used == length ? value : kReplacement;
}

void AppendUtf8(std::string& out, char32_t value) {
  if (value < 0x80) {
    out.push_back(static_cast<char>(value));
  } else if (value < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (value >> 6)));
    out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
  } else if (value < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (value >> 12)));
    out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (value >> 18)));
    out.push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
  }
}

bool IsHighSurrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char16_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  size_t pos = 0;
  while (pos < utf8.size()) {
    const char32_t value = DecodeOne(utf8, pos);
    if (value < 0x10000) {
      out.push_back(static_cast<char16_t>(value));
    } else {
      const char32_t offset = value - 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size() * 3);
  for (size_t i = 0; i < utf16.size(); ++i) {
    const char16_t unit = utf16[i];
    if (IsHighSurrogate(unit) && i + 1 < utf16.size() && IsLowSurrogate(utf16[i + 1])) {
      const char32_t value =
          0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      AppendUtf8(out, value);
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

std::string CutUtf8(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return std::string(text);
  // Look back at most three bytes for the lead byte of the character that
  // straddles the cut; broken input is cut at maxBytes as it stands.
  size_t cut = maxBytes;
  for (size_t back = 1; back <= 4 && back <= maxBytes; ++back) {
    const auto byte = static_cast<unsigned char>(text[maxBytes - back]);
    if (IsContinuation(byte)) continue;
    const size_t length = SequenceLength(byte);
    if (length > back) cut = maxBytes - back;
    break;
  }
  return std::string(text.substr(0, cut));
}

std::u16string CutUtf16(std::u16string_view text, size_t maxUnits) {
  if (text.size() <= maxUnits) return std::u16string(text);
  size_t cut = maxUnits;
  if (cut > 0 && IsHighSurrogate(text[cut - 1]) && IsLowSurrogate(text[cut])) --cut;
  return std::u16string(text.substr(0, cut));
}

std::vector<std::string> SplitAt(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  for (size_t at = text.find(separator); at != std::string_view::npos; at = text.find(separator)) {
    pieces.emplace_back(text.substr(0, at));
    text.remove_prefix(at + 1);
  }
  pieces.emplace_back(text);
  return pieces;
}

}  // namespace tavrin::platform
