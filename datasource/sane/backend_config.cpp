#include "datasource/sane/backend_config.h"

#include "platform/files.h"
#include "platform/paths.h"

#ifndef TAVRIN_SANE_SYSTEM_CONFIG_DIR
#define TAVRIN_SANE_SYSTEM_CONFIG_DIR "/etc/sane.d"
#endif
#ifndef TAVRIN_SANE_DEFAULT_PROGRAM_FOLDER
#define TAVRIN_SANE_DEFAULT_PROGRAM_FOLDER "/usr/lib/tavrindesk"
#endif

namespace tavrin::sane {

namespace {

// A configuration file of more than this is not ours.
constexpr size_t kMaxConfigBytes = 64 * 1024;

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

}  // namespace

std::vector<std::string> ConfigFolders() {
  const std::string list = platform::Environment("SANE_CONFIG_DIR");
  if (list.empty()) return {TAVRIN_SANE_SYSTEM_CONFIG_DIR};
  std::vector<std::string> folders;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t colon = list.find(':', start);
    const std::string folder =
        list.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    if (!folder.empty()) folders.push_back(folder);
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  if (list.back() == ':') folders.push_back(TAVRIN_SANE_SYSTEM_CONFIG_DIR);
  return folders;
}

std::string ProgramFolderFromConfig(const std::string& text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trim(text.substr(start, end - start));
    if (!line.empty() && line[0] != '#') {
      std::string folder = line;
      while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
      return folder;
    }
    start = end + 1;
  }
  return {};
}

BackendConfig ReadBackendConfig() {
  for (const std::string& folder : ConfigFolders()) {
    const std::string path = folder + "/tavrin.conf";
    std::string text;
    if (!platform::PathExists(path) || !platform::ReadWholeFile(path, text)) continue;
    if (text.size() > kMaxConfigBytes) continue;
    const std::string programFolder = ProgramFolderFromConfig(text);
    if (!programFolder.empty()) return {programFolder, path};
  }
  return {TAVRIN_SANE_DEFAULT_PROGRAM_FOLDER, "built-in default"};
}

}  // namespace tavrin::sane
