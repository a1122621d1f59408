#include "platform/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/dynamic_library.h"
#include "platform/text.h"
#include "test_support.h"
#include "tests/platform/read_only_folder.h"

namespace tavrin::platform {
namespace {

namespace fs = std::filesystem;
using tavrin::test::ReadOnlyFolder;
using test::ScratchFolder;

std::string TestLibraryPath() {
  return ProgramFolder() + "/libtavrin_platform_testlib.so";
}

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const std::string* value)
      : name_(name), had_(HasEnvironment(name)), old_(Environment(name)) {
    if (value)
      SetEnvironment(name, *value);
    else
      UnsetEnvironment(name);
  }
  ~ScopedEnvironment() {
    if (had_)
      SetEnvironment(name_, old_);
    else
      UnsetEnvironment(name_);
  }

 private:
  const char* name_ = nullptr;
  bool had_ = false;
  std::string old_;
};

TEST(PathsTest, ProgramAndModulePaths) {
  const std::string program = ProgramPath();
  ASSERT_FALSE(program.empty());
  EXPECT_EQ(program.front(), '/');
  EXPECT_EQ(fs::path(program).filename(), "tavrin_platform_test");
  EXPECT_EQ(ProgramFolder() + "/tavrin_platform_test", program);
  EXPECT_EQ(ModulePathOf(reinterpret_cast<const void*>(&ProgramPath)), program);
  EXPECT_EQ(ModulePathOf(nullptr), "");

  const std::u16string folder = GetModuleFolder(reinterpret_cast<const void*>(&ProgramPath));
  EXPECT_EQ(folder, Utf8ToUtf16(ProgramFolder()));
  EXPECT_NE(folder.back(), u'/');
  EXPECT_TRUE(GetModuleFolder(nullptr).empty());

  const std::u16string dataSource = GetDataSourcePath();
  EXPECT_EQ(dataSource, folder + u"/TavrinSource.ds");
}

TEST(PathsTest, LibraryLoadSymbolFreeAndModulePath) {
  const std::string path = TestLibraryPath();
  void* library = LoadLibraryFile(path);
  ASSERT_NE(library, nullptr) << LastLibraryError();
  EXPECT_TRUE(LibraryIsLoaded(path));
  auto value = reinterpret_cast<int (*)()>(FindLibrarySymbol(library, "tavrinPlatformTestValue"));
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value(), 42);
  EXPECT_EQ(ModulePathOf(reinterpret_cast<const void*>(value)), path);
  EXPECT_EQ(GetModuleFolder(reinterpret_cast<const void*>(value)), Utf8ToUtf16(ProgramFolder()));

  EXPECT_EQ(FindLibrarySymbol(library, "noSuchSymbol"), nullptr);
  EXPECT_NE(LastLibraryError().find("noSuchSymbol"), std::string::npos) << LastLibraryError();
  EXPECT_TRUE(FreeLibraryHandle(library));
  EXPECT_FALSE(LibraryIsLoaded(path));

  EXPECT_EQ(LoadLibraryFile(ProgramFolder() + "/no-such-library.so"), nullptr);
  EXPECT_NE(LastLibraryError().find("no-such-library.so"), std::string::npos);
  EXPECT_EQ(LoadLibraryFile(""), nullptr);
  EXPECT_FALSE(FreeLibraryHandle(nullptr));
  EXPECT_EQ(FindLibrarySymbol(nullptr, "x"), nullptr);
}

TEST(PathsTest, WorkingDirectoryGetAndSet) {
  const std::string before = CurrentDirectory();
  ASSERT_FALSE(before.empty());
  ScratchFolder scratch;
  ASSERT_TRUE(SetCurrentDirectory(scratch.Path()));
  EXPECT_EQ(fs::canonical(CurrentDirectory()), fs::canonical(scratch.Path()));
  EXPECT_FALSE(SetCurrentDirectory(scratch / "missing"));
  EXPECT_EQ(fs::canonical(CurrentDirectory()), fs::canonical(scratch.Path()));
  ASSERT_TRUE(SetCurrentDirectory(before));
  EXPECT_EQ(CurrentDirectory(), before);
}

TEST(PrivateTempFolderTest, CreatesPrivateFolderWithTrailingSlash) {
  ScratchFolder base;
  const std::string folder = PrivateTempFolderIn(base.Path());
  EXPECT_EQ(folder, base / ("tavrin-" + std::to_string(getuid())) + "/");
  struct stat info {};
  ASSERT_EQ(lstat(folder.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(PrivateTempFolderIn(base.Path()), folder) << "the second call reuses it";

  chmod(folder.c_str(), 0777);  // our own folder, opened up: closed again
  EXPECT_EQ(PrivateTempFolderIn(base.Path()), folder);
  ASSERT_EQ(lstat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST(PrivateTempFolderTest, RefusesPlantedLink) {
  ScratchFolder base;
  ScratchFolder elsewhere;
  fs::create_directory_symlink(elsewhere.Path(), base / ("tavrin-" + std::to_string(getuid())));
  EXPECT_EQ(PrivateTempFolderIn(base.Path()), "");
}

TEST(PrivateTempFolderTest, RefusesForeignOwnedFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to nobody";
  ScratchFolder base;
  const std::string planted = base / ("tavrin-" + std::to_string(getuid()));
  ASSERT_EQ(mkdir(planted.c_str(), 0700), 0);
  ASSERT_EQ(chown(planted.c_str(), test::kNobodyId, test::kNobodyId), 0);
  EXPECT_EQ(PrivateTempFolderIn(base.Path()), "");
}

TEST(PrivateTempFolderTest, UsesOwnFolderUnderTmpdirNeverTmpdirItself) {
  ScratchFolder scratch;
  const std::string own = scratch / ("tavrin-" + std::to_string(getuid())) + "/";
  {
    const std::string value = scratch.Path();
    ScopedEnvironment tmpdir("TMPDIR", &value);
    EXPECT_EQ(PrivateTempFolder(), own);
  }
  {
    const std::string value = scratch.Path() + "/";
    ScopedEnvironment tmpdir("TMPDIR", &value);
    EXPECT_EQ(PrivateTempFolder(), own);
  }
  {
    const std::string value = scratch / "missing";
    ScopedEnvironment tmpdir("TMPDIR", &value);
    EXPECT_EQ(PrivateTempFolder(), PrivateTempFolderIn("/tmp"));
  }
  // A name planted in a shared TMPDIR sends us to /tmp's, not into it.
  ScratchFolder shared;
  ScratchFolder elsewhere;
  fs::create_directory_symlink(elsewhere.Path(), shared / ("tavrin-" + std::to_string(getuid())));
  const std::string value = shared.Path();
  ScopedEnvironment tmpdir("TMPDIR", &value);
  EXPECT_EQ(PrivateTempFolder(), PrivateTempFolderIn("/tmp"));
  EXPECT_TRUE(fs::is_empty(elsewhere.Path()));
}

TEST(DocumentsFolderTest, ReadsXdgUserDirsElseHomeDocuments) {
  ScratchFolder home;
  const std::string homeValue = home.Path();
  const std::string configValue = home / "config";
  ScopedEnvironment homeEnv("HOME", &homeValue);
  ScopedEnvironment configEnv("XDG_CONFIG_HOME", &configValue);

  EXPECT_EQ(DocumentsFolder(), home / "Documents");
  ASSERT_TRUE(CreateFolders(configValue));
  std::ofstream(configValue + "/user-dirs.dirs") << "# written by xdg-user-dirs-update\n"
                                                    "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                                                    "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n";
  EXPECT_EQ(DocumentsFolder(), home / "Dokumente");

  std::ofstream(configValue + "/user-dirs.dirs") << "XDG_DOCUMENTS_DIR=\"/srv/docs/\"\n";
  EXPECT_EQ(DocumentsFolder(), "/srv/docs");
  std::ofstream(configValue + "/user-dirs.dirs") << "XDG_DOCUMENTS_DIR=\"relative\"\n";
  EXPECT_EQ(DocumentsFolder(), home / "Documents") << "a relative value is not valid";
}

TEST(ConfigurationFolderTest, ModuleFolderWhenWritable) {
  ScratchFolder home;
  const std::string configValue = home / "config";
  ScopedEnvironment configEnv("XDG_CONFIG_HOME", &configValue);
  ASSERT_TRUE(CreateFolders(home / "prefix"));
  EXPECT_EQ(ConfigurationFolder(home / "prefix"), home / "prefix");
  EXPECT_FALSE(fs::exists(configValue)) << "nothing is created when the module folder serves";
}

TEST(ConfigurationFolderTest, XdgConfigHomeWhenModuleFolderIsReadOnly) {
  ScratchFolder home;
  const std::string homeValue = home.Path();
  const std::string configValue = home / "config";
  ScopedEnvironment homeEnv("HOME", &homeValue);
  ScopedEnvironment configEnv("XDG_CONFIG_HOME", &configValue);
  const std::string program = home / "prefix";
  ASSERT_TRUE(CreateFolders(program));
  {
    ReadOnlyFolder readOnly(program);
    if (!readOnly.ok()) GTEST_SKIP() << "cannot make a folder read-only here (root without mount)";
    EXPECT_EQ(ConfigurationFolder(program), configValue + "/tavrindesk");
    EXPECT_TRUE(fs::is_directory(configValue + "/tavrindesk"));

    const std::string relative = "relative";
    ScopedEnvironment relativeEnv("XDG_CONFIG_HOME", &relative);
    EXPECT_EQ(ConfigurationFolder(program), home / ".config/tavrindesk")
        << "a relative XDG_CONFIG_HOME is not valid";
  }
  EXPECT_EQ(ConfigurationFolder(program), program) << "writable again";
}

TEST(ConfigurationFolderTest, MissingModuleFolderFallsBackAndFileIsRefused) {
  ScratchFolder home;
  const std::string configValue = home / "config";
  ScopedEnvironment configEnv("XDG_CONFIG_HOME", &configValue);
  EXPECT_EQ(ConfigurationFolder(home / "missing"), configValue + "/tavrindesk");
  EXPECT_EQ(ConfigurationFolder(""), configValue + "/tavrindesk");
  std::ofstream(home / "file") << "x";
  EXPECT_EQ(ConfigurationFolder(home / "file"), configValue + "/tavrindesk");

  // A file where the folder must go: no folder to be had.
  const std::string blocked = home / "blocked";
  std::ofstream(blocked) << "x";
  ScopedEnvironment blockedEnv("XDG_CONFIG_HOME", &blocked);
  EXPECT_EQ(ConfigurationFolder(home / "missing"), "");
}

}  // namespace
}  // namespace tavrin::platform
