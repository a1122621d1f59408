// UTF-8 <-> UTF-16 conversion. Invalid input becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavrin::platform {

std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// Longest prefix of text that is at most maxBytes long and ends on a
// character boundary.
std::string CutUtf8(std::string_view text, size_t maxBytes);
// Longest prefix of text that is at most maxUnits long and does not split a
// surrogate pair.
std::u16string CutUtf16(std::u16string_view text, size_t maxUnits);

// Pieces of text between separators; a text without one is one piece, and
// empty pieces are kept.
std::vector<std::string> SplitAt(std::string_view text, char separator);

}  // namespace tavrin::platform
