// Program and module paths, working directory, per-user folders.
// Threads: any, except SetCurrentDirectory and Set/UnsetEnvironment, which
// change the whole process and belong to start-up or a single-threaded test.
#pragma once

#include <string>

namespace tavrin::platform {

// Full path of the running program (/proc/self/exe); empty on failure.
std::string ProgramPath();
// Folder of ProgramPath() without trailing '/'; empty on failure.
std::string ProgramFolder();
// Full path of the shared object or program containing address (dladdr);
// empty for null or an unknown address.
std::string ModulePathOf(const void* address);

std::string CurrentDirectory();
bool SetCurrentDirectory(const std::string& path);

// tavrin-<uid> under $TMPDIR when that names a directory, else under /tmp
// (also when the one under $TMPDIR is not ours): created 0700, accepted only
// as a real directory owned by the user, closed to others. $TMPDIR itself
// may be shared and is never written into. Always ends in '/'. Empty when
// no safe folder can be had.
std::string PrivateTempFolder();
// The same checks for <base>/tavrin-<uid>, ignoring $TMPDIR.
std::string PrivateTempFolderIn(const std::string& base);

// XDG_DOCUMENTS_DIR from $XDG_CONFIG_HOME/user-dirs.dirs, else ~/Documents.
std::string DocumentsFolder();

// Folder for the files the system keeps beside a module (LastSetting.xml
// beside the program, cfgInfo.xml beside the data source): moduleFolder
// itself when this process may create files in it, so a per-user install
// keeps them there; else $XDG_CONFIG_HOME/tavrindesk (default
// ~/.config/tavrindesk), created. A read-only system install thus works
// without anyone writing into it. No trailing '/'; empty when neither
// folder can be had.
std::string ConfigurationFolder(const std::string& moduleFolder);

// Value of an environment variable; empty when unset.
std::string Environment(const char* name);
bool HasEnvironment(const char* name);
bool SetEnvironment(const char* name, const std::string& value);
bool UnsetEnvironment(const char* name);

// Folder of a module without trailing separator; empty for null or a path
// without separator.
std::u16string GetModuleFolder(const void* addressInModule);
// Program folder followed by "/TavrinSource.ds".
std::u16string GetDataSourcePath();

}  // namespace tavrin::platform
