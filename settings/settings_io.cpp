#include "settings/settings_io.h"

#include <tinyxml2.h>

#include <climits>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace tavrin::settings_io {
namespace {

// Far above any settings or language file; bounds what a mistaken path can
// make us read.
constexpr size_t kMaxXmlFileBytes = size_t{16} << 20;

}  // namespace

std::string ProgramFolder() {
  const std::string program = platform::ProgramPath();
  const size_t slash = program.rfind('/');
  if (slash == std::string::npos) return {};
  return program.substr(0, slash);
}

bool LoadXmlFile(const std::string& path, tinyxml2::XMLDocument& doc) {
  std::string bytes;
  if (path.empty() || !platform::ReadWholeFile(path, bytes)) return false;
  if (bytes.size() > kMaxXmlFileBytes) return false;
  return doc.Parse(bytes.data(), bytes.size()) == tinyxml2::XML_SUCCESS;
}

int ParseInt(const char* text) {
  if (text == nullptr) return 0;
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  long long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) {
      value = static_cast<long long>(INT_MAX) + 1;
    }
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

std::string CleanText(std::string_view utf8, size_t maxUnits, size_t maxBytes) {
  const std::u16string wide = platform::CutUtf16(platform::Utf8ToUtf16(utf8), maxUnits);
  return platform::CutUtf8(platform::Utf16ToUtf8(wide), maxBytes);
}

}  // namespace tavrin::settings_io
