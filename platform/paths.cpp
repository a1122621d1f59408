#include "platform/paths.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/text.h"

namespace tavrin::platform {
namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return path.substr(0, slash);
}

std::string WithTrailingSlash(std::string path) {
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path;
}

std::string HomeFolder() {
  std::string home = Environment("HOME");
  if (!home.empty()) return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir)
    return found->pw_dir;
  return {};
}

// One value of user-dirs.dirs: XDG_DOCUMENTS_DIR="$HOME/Documents". The file
// allows only paths that start with $HOME or '/'.
std::string ParseUserDir(const std::string& line, const std::string& key, const std::string& home) {
  size_t pos = line.find_first_not_of(" \t");
  if (pos == std::string::npos || line.compare(pos, key.size(), key) != 0) return {};
  pos += key.size();
  pos = line.find_first_not_of(" \t", pos);
  if (pos == std::string::npos || line[pos] != '=') return {};
  std::string value = line.substr(pos + 1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r'))
    value.pop_back();
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    value = value.substr(1, value.size() - 2);
  std::string unescaped;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) ++i;
    unescaped.push_back(value[i]);
  }
  if (unescaped.rfind("$HOME", 0) == 0) {
    const std::string rest = unescaped.substr(5);
    if (!rest.empty() && rest.front() != '/') return {};
    unescaped = home + rest;
  } else if (unescaped.empty() || unescaped.front() != '/') {
    return {};
  }
  while (unescaped.size() > 1 && unescaped.back() == '/') unescaped.pop_back();
  return unescaped;
}

}  // namespace

std::string ProgramPath() {
  std::vector<char> buffer(1024);
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return {};
    if (static_cast<size_t>(length) < buffer.size())
      return std::string(buffer.data(), static_cast<size_t>(length));
    if (buffer.size() > (1u << 20)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::string ProgramFolder() {
  return FolderOf(ProgramPath());
}

std::string ModulePathOf(const void* address) {
  if (address == nullptr) return {};
  Dl_info info{};
  link_map* map = nullptr;
  if (dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0) return {};
  // The program itself has an empty name in the link map, and dli_fname
  // then holds argv[0], which may be relative or made up.
  if (map == nullptr || map->l_name == nullptr || map->l_name[0] == '\0') return ProgramPath();
  std::string path = map->l_name;
  if (!path.empty() && path.front() != '/') {
    std::error_code error;
    const auto absolute = std::filesystem::absolute(path, error);
    if (!error) path = absolute.string();
  }
  return path;
}

std::string CurrentDirectory() {
  std::error_code error;
  auto path = std::filesystem::current_path(error);
  return error ? std::string() : path.string();
}

bool SetCurrentDirectory(const std::string& path) {
  if (path.empty()) return false;
  return chdir(path.c_str()) == 0;
}

std::string PrivateTempFolderIn(const std::string& base) {
  if (base.empty()) return {};
  std::string folder = WithTrailingSlash(base) + "tavrin-" + std::to_string(getuid());
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
  // lstat, so that a planted link to someone else's folder is refused
  // rather than followed.
  struct stat info {};
  if (lstat(folder.c_str(), &info) != 0) return {};
  if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid()) return {};
  if ((info.st_mode & 077) != 0 && chmod(folder.c_str(), 0700) != 0) return {};
  return folder + "/";
}

std::string PrivateTempFolder() {
  // $TMPDIR may be shared with other users (a sticky folder like /tmp), so
  // nothing goes into it directly: only into our own checked folder there.
  const std::string tmpdir = Environment("TMPDIR");
  if (!tmpdir.empty()) {
    std::error_code error;
    if (std::filesystem::is_directory(tmpdir, error)) {
      const std::string folder = PrivateTempFolderIn(tmpdir);
      if (!folder.empty()) return folder;
      // Another user holds that name there: /tmp's is ours as much as any.
    }
  }
  return PrivateTempFolderIn("/tmp");
}

std::string DocumentsFolder() {
  const std::string home = HomeFolder();
  std::string config = Environment("XDG_CONFIG_HOME");
  if (config.empty() || config.front() != '/') config = home + "/.config";
  std::ifstream file(config + "/user-dirs.dirs");
  std::string line;
  std::string found;
  while (std::getline(file, line)) {
    const std::string value = ParseUserDir(line, "XDG_DOCUMENTS_DIR", home);
    if (!value.empty()) found = value;  // the last assignment wins, as in the shell
  }
  if (!found.empty()) return found;
  return home + "/Documents";
}

std::string ConfigurationFolder(const std::string& moduleFolder) {
  // The kernel's own answer for this process: it sees read-only mounts and
  // ACLs, and for root it says yes where root can in fact write, so the
  // folder chosen here is one where the later write succeeds.
  if (!moduleFolder.empty() &&
      faccessat(AT_FDCWD, moduleFolder.c_str(), W_OK | X_OK, AT_EACCESS) == 0) {
    std::error_code error;
    if (std::filesystem::is_directory(moduleFolder, error)) return moduleFolder;
  }
  std::string config = Environment("XDG_CONFIG_HOME");
  if (config.empty() || config.front() != '/') {
    const std::string home = HomeFolder();
    if (home.empty()) return {};
    config = home + "/.config";
  }
  while (config.size() > 1 && config.back() == '/') config.pop_back();
  const std::string folder = config + "/tavrindesk";
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error || !std::filesystem::is_directory(folder, error)) return {};
  return folder;
}

std::string Environment(const char* name) {
  const char* value = name ? std::getenv(name) : nullptr;
  return value ? std::string(value) : std::string();
}

bool HasEnvironment(const char* name) {
  return name && std::getenv(name) != nullptr;
}

bool SetEnvironment(const char* name, const std::string& value) {
  return name && setenv(name, value.c_str(), 1) == 0;
}

bool UnsetEnvironment(const char* name) {
  return name && unsetenv(name) == 0;
}

std::u16string GetModuleFolder(const void* addressInModule) {
  if (addressInModule == nullptr) return {};
  return Utf8ToUtf16(FolderOf(ModulePathOf(addressInModule)));
}

std::u16string GetDataSourcePath() {
  return Utf8ToUtf16(ProgramFolder()) + u"/TavrinSource.ds";
}

}  // namespace tavrin::platform
