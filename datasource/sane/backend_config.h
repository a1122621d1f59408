// tavrin.conf: which program folder holds TavrinDesk and TavrinSource.ds.
// Threads: any.
#pragma once

#include <string>
#include <vector>

namespace tavrin::sane {

// The folders searched for tavrin.conf: those of SANE_CONFIG_DIR (a list
// separated by ':'; a trailing ':' adds the system folder), else the
// system folder alone.
std::vector<std::string> ConfigFolders();

// The first line of the text that is neither blank nor a '#' comment,
// trimmed; empty when there is none.
std::string ProgramFolderFromConfig(const std::string& text);

struct BackendConfig {
  std::string programFolder;  // no trailing '/'
  std::string source;         // the file it came from, or "built-in default"
};

// The first tavrin.conf found that names a folder; the install-time
// program folder when none does.
BackendConfig ReadBackendConfig();

}  // namespace tavrin::sane
