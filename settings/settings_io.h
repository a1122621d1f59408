// Helpers shared by the settings and language files (internal to settings/).
#pragma once

#include <string>
#include <string_view>

namespace tinyxml2 {
class XMLDocument;
}

namespace tavrin::settings_io {

// Folder of the running program without trailing separator; empty when the
// program path is unknown.
std::string ProgramFolder();

// Reads and parses a whole file with the XML library's own encoding
// detection. Only regular files of sane size are read, so a device or a
// huge file is refused like a malformed one.
bool LoadXmlFile(const std::string& path, tinyxml2::XMLDocument& doc);

// atoi as the C runtime reads numbers (leading white space, one sign, digits
// up to the first other character, 0 when none), but saturating instead of
// overflowing.
int ParseInt(const char* text);

// UTF-8 text made valid (invalid sequences become U+FFFD) and cut to the
// given limits at a character boundary.
std::string CleanText(std::string_view utf8, size_t maxUnits, size_t maxBytes);

}  // namespace tavrin::settings_io
