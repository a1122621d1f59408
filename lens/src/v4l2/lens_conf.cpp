#include "lens/src/v4l2/lens_conf.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "platform/files.h"
#include "platform/paths.h"

namespace tavrin::lens::v4l2 {
namespace {

constexpr char kFieldOfViewKey[] = "FieldOfViewMm";
constexpr double kMillimetresPerInch = 25.4;

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

bool ParseLong(const std::string& text, int base, long long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoll(text.c_str(), &end, base);
  return errno == 0 && end == text.c_str() + text.size();
}

}  // namespace

bool LensConf::Parse(const std::string& text, std::string* warning) {
  sections_.clear();
  std::istringstream stream(text);
  std::string line;
  int lineNumber = 0;
  Section* section = nullptr;
  std::string problems;
  const auto note = [&](const std::string& what) {
    problems += (problems.empty() ? "" : "; ") + std::string("line ") + std::to_string(lineNumber) +
                ": " + what;
  };
  while (std::getline(stream, line)) {
    ++lineNumber;
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == '#' || trimmed[0] == ';') {
      if (section != nullptr && !trimmed.empty()) section->otherLines.push_back(trimmed);
      continue;
    }
    if (trimmed.front() == '[') {
      if (trimmed.back() != ']' || trimmed.size() < 3) {
        note("bad section header");
        section = nullptr;
        continue;
      }
      section = &FindOrAdd(trimmed.substr(1, trimmed.size() - 2));
      continue;
    }
    const size_t equals = trimmed.find('=');
    if (section == nullptr || equals == std::string::npos) {
      note("not in a camera section or no '='");
      continue;
    }
    const std::string key = Trim(trimmed.substr(0, equals));
    const std::string value = Trim(trimmed.substr(equals + 1));
    if (key == kFieldOfViewKey) {
      char* end = nullptr;
      const double millimetres = std::strtod(value.c_str(), &end);
      if (value.empty() || end != value.c_str() + value.size() || !(millimetres > 0) ||
          !std::isfinite(millimetres)) {
        note("field of view must be a positive number of millimetres");
        section->otherLines.push_back(trimmed);
        continue;
      }
      section->conf.fieldOfViewMm = millimetres;
      continue;
    }
    long long id = 0;
    long long number = 0;
    if (ParseLong(key, 0, id) && id > 0 && id <= 0xffffffffLL && ParseLong(value, 10, number) &&
        number >= INT32_MIN && number <= INT32_MAX) {
      section->conf.controls[static_cast<uint32_t>(id)] = static_cast<int>(number);
      continue;
    }
    note("unknown key '" + key + "'");
    section->otherLines.push_back(trimmed);
  }
  if (warning != nullptr) *warning = problems;
  return problems.empty();
}

std::string LensConf::Text() const {
  std::ostringstream text;
  text << "# Camera settings of the camera library, one section per camera name.\n";
  for (const Section& section : sections_) {
    text << "\n[" << section.name << "]\n";
    if (section.conf.fieldOfViewMm > 0)
      text << kFieldOfViewKey << '=' << section.conf.fieldOfViewMm << '\n';
    for (const auto& [id, value] : section.conf.controls) {
      char key[16];
      std::snprintf(key, sizeof(key), "0x%08x", id);
      text << key << '=' << value << '\n';
    }
    for (const std::string& other : section.otherLines) text << other << '\n';
  }
  return text.str();
}

bool LensConf::Load(const std::string& path, std::string* warning) {
  std::string text;
  if (!platform::ReadWholeFile(path, text)) {
    sections_.clear();
    if (warning != nullptr) warning->clear();
    return !platform::PathExists(path);
  }
  return Parse(text, warning);
}

bool LensConf::Save(const std::string& path, std::string* error) const {
  return platform::ReplaceFileAtomically(path, Text(), error);
}

CameraConf LensConf::Camera(const std::string& name) const {
  for (const Section& section : sections_) {
    if (section.name == name) return section.conf;
  }
  return {};
}

void LensConf::SetControl(const std::string& name, uint32_t id, int value) {
  FindOrAdd(name).conf.controls[id] = value;
}

LensConf::Section& LensConf::FindOrAdd(const std::string& name) {
  for (Section& section : sections_) {
    if (section.name == name) return section;
  }
  sections_.push_back({name, {}, {}});
  return sections_.back();
}

std::string LensConfPath() {
  const std::string module = platform::ModulePathOf(reinterpret_cast<const void*>(&LensConfPath));
  const size_t slash = module.rfind('/');
  if (slash == std::string::npos) return {};
  // A system-wide install that the user cannot write keeps it in the user's
  // configuration folder instead, as the window does with its own settings.
  const std::string folder = platform::ConfigurationFolder(module.substr(0, slash));
  return folder.empty() ? std::string() : folder + "/TavrinLens.conf";
}

int OwnDpi(double fieldOfViewMm, int widthPixels) {
  if (!(fieldOfViewMm > 0) || widthPixels <= 0) return kDefaultOwnDpi;
  return std::max(1,
                  static_cast<int>(std::lround(widthPixels * kMillimetresPerInch / fieldOfViewMm)));
}

}  // namespace tavrin::lens::v4l2
