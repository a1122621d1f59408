// A second local user beside root, through the real tavrin-scan, data
// source and scan window: root scans first from the same program folder,
// and the user's TMPDIR is a shared sticky folder in which "another user"
// (root here) has planted a working folder open to all, a lock file and
// links. The user's scan must work all the same, and nothing of it may
// reach, or come from, what the other user planted. Runs as root only: it
// adds a system user and runs the programs as that user (runuser).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"

namespace tavrin {
namespace {

namespace fs = std::filesystem;

constexpr char kUser[] = "tavrin-second";
constexpr int kScanSeconds = 30;

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const fs::path& path) {
  std::string bytes;
  platform::ReadWholeFile(path.string(), bytes);
  return bytes;
}

// Kind, mode, owner and contents of everything under root; links are read,
// not followed; names in skip are left out with all they hold.
std::map<std::string, std::string> Snapshot(const fs::path& root, const std::string& skip) {
  std::map<std::string, std::string> snapshot;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error); it != fs::end(it);
       it.increment(error)) {
    if (it->path().filename() == skip) {
      it.disable_recursion_pending();
      continue;
    }
    struct stat info {};
    if (lstat(it->path().c_str(), &info) != 0) continue;
    std::string entry = std::to_string(info.st_mode) + " " + std::to_string(info.st_uid) + " ";
    if (S_ISREG(info.st_mode)) entry += ReadFile(it->path());
    if (S_ISLNK(info.st_mode)) entry += fs::read_symlink(it->path(), error).string();
    snapshot[fs::relative(it->path(), root).string()] = entry;
  }
  return snapshot;
}

std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names = platform::ListFolder(folder.string());
  return names;
}

class SecondUser : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "a second user needs root to add it and to run as it";
    if (access("/usr/sbin/runuser", X_OK) != 0) GTEST_SKIP() << "no runuser here";
    ASSERT_TRUE(EnsureUser()) << "cannot add the user " << kUser;
    // Under /tmp, which every user may pass through: the build folder may
    // lie under one the second user cannot enter.
    char pattern[] = "/tmp/tavrin-second-user-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);
    bin = root / "bin";
    fs::create_directories(bin);
    const fs::path from = TAVRIN_PROGRAM_FOLDER;
    for (const char* name : {"TavrinDesk", "libTavrinLens.so", "TavrinSource.ds", "tavrin-scan"})
      fs::copy_file(from / name, bin / name);
    fs::copy(from / "Language", bin / "Language", fs::copy_options::recursive);
    // Single crop, JPEG: every request gives one file.
    WriteFile(bin / "LastSetting.xml",
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Setting><cutType>1</cutType>"
              "<fileType>1</fileType></Setting>\n");
    ASSERT_EQ(std::system(("chmod -R a+rX " + bin.string()).c_str()), 0);

    user = root / "user";
    for (const char* folder : {"home", "tmp", "run", "out"}) fs::create_directories(user / folder);
    ASSERT_EQ(std::system(("chown -R " + std::string(kUser) + ": " + user.string()).c_str()), 0);
    ASSERT_EQ(chmod((user / "tmp").c_str(), 0700), 0);
    ASSERT_EQ(chmod((user / "run").c_str(), 0700), 0);
  }

  void TearDown() override {
    if (lockFd >= 0) close(lockFd);
    if (!root.empty()) platform::DeleteFolderTree(root.string());
  }

  static bool EnsureUser() {
    if (getpwnam(kUser) != nullptr) return true;
    const std::string command = std::string("useradd --system --no-create-home --shell ") +
                                "/usr/sbin/nologin " + kUser + " >/dev/null 2>&1";
    // Another test binary may add it at the same moment.
    return std::system(command.c_str()) == 0 || getpwnam(kUser) != nullptr;
  }

  static uid_t UserId() { return getpwnam(kUser)->pw_uid; }

  // Runs tavrin-scan --mode 1 as root (asUser false) or as the second user,
  // with the given home, TMPDIR and output folder; its exit status, -1 when
  // it did not end in time. Its output goes to log.
  int Scan(bool asUser, const fs::path& home, const fs::path& tmp, const fs::path& out, int count,
           const fs::path& log) {
    std::vector<std::string> command = {"-c", "exec \"$0\" \"$@\" >\"$LOG\" 2>&1"};
    if (asUser) command.insert(command.end(), {"/usr/sbin/runuser", "-u", kUser, "--"});
    command.insert(command.end(), {"/usr/bin/env",
                                   "-i",
                                   "PATH=/usr/bin:/bin",
                                   "HOME=" + home.string(),
                                   "TMPDIR=" + tmp.string(),
                                   "XDG_CONFIG_HOME=" + (home / ".config").string(),
                                   "XDG_RUNTIME_DIR=" + (asUser ? user / "run" : tmp).string(),
                                   "QT_QPA_PLATFORM=offscreen",
                                   "TAVRIN_LENS_V4L2=0",
                                   "TAVRIN_LENS_VIRTUAL=document?sizes=640x480",
                                   "TAVRIN_LENS_VIRTUAL_FILE=",
                                   (bin / "tavrin-scan").string(),
                                   "--mode",
                                   "1",
                                   "--count",
                                   std::to_string(count),
                                   "--timeout",
                                   std::to_string(kScanSeconds),
                                   "--output",
                                   out.string()});
    std::string error;
    const int pid = platform::SpawnProcess("/bin/sh", command, {"LOG=" + log.string()}, &error);
    EXPECT_GT(pid, 0) << error;
    if (pid <= 0) return -1;
    int status = -1;
    if (!platform::WaitProcess(pid, (kScanSeconds + 15) * 1000, &status)) {
      platform::KillProcess(pid);
      platform::WaitProcess(pid, 2000, nullptr);
      return -1;
    }
    return status;
  }

  int ScanAsRoot() {
    for (const char* folder : {"root-home", "root-tmp", "root-out"})
      fs::create_directories(root / folder);
    chmod((root / "root-tmp").c_str(), 0700);
    return Scan(false, root / "root-home", root / "root-tmp", root / "root-out", 1,
                root / "root-log.txt");
  }

  fs::path root;
  fs::path bin;
  fs::path user;
  int lockFd = -1;
};

TEST_F(SecondUser, ScansAfterRootScannedFromTheSameProgramFolder) {
  ASSERT_EQ(ScanAsRoot(), 0) << ReadFile(root / "root-log.txt");
  ASSERT_EQ(Names(root / "root-out").size(), 1u);
  // What blocked everyone else: root's session description beside the
  // module, naming blocks only root may open.
  struct stat info {};
  ASSERT_EQ(lstat((bin / "cfgInfo.xml").c_str(), &info), 0);
  ASSERT_EQ(info.st_uid, 0u);

  const int status =
      Scan(true, user / "home", user / "tmp", user / "out", 1, root / "user-log.txt");
  EXPECT_EQ(status, 0) << ReadFile(root / "user-log.txt");
  const std::vector<std::string> pages = Names(user / "out");
  ASSERT_EQ(pages.size(), 1u) << ReadFile(root / "user-log.txt");
  ASSERT_EQ(lstat((user / "out" / pages[0]).c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, UserId());
  EXPECT_EQ(ReadFile(user / "out" / pages[0]).substr(0, 2), "\xff\xd8") << "not a JPEG";
}

TEST_F(SecondUser, SharedTmpdirWithAnotherUsersPlantsNeitherLeaksNorBlocks) {
  const fs::path shared = root / "shared";
  const fs::path canary = root / "canary";
  fs::create_directories(shared);
  fs::create_directories(canary);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  WriteFile(canary / "keep.txt", "root's own file");
  // What another user can do in a sticky folder everyone may write: a
  // working folder open to all, a lock that user holds, links where the
  // scan's socket and list folder would go.
  fs::create_directory(shared / "Tavrin");
  ASSERT_EQ(chmod((shared / "Tavrin").c_str(), 0777), 0);
  WriteFile(shared / "Tavrin" / "theirs.txt", "planted");
  WriteFile(shared / "TavrinSource.lock", "");
  lockFd = open((shared / "TavrinSource.lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(lockFd, 0);
  ASSERT_EQ(flock(lockFd, LOCK_EX | LOCK_NB), 0);
  const std::string socketName = "tavrin-desk-" + std::to_string(UserId());
  fs::create_symlink(canary / "keep.txt", shared / socketName);
  fs::create_directory_symlink(canary, shared / "DSConfig");
  // Pages one by one: each is also copied into the temporary folder.
  fs::create_directories(user / "home/.config/tavrindesk");
  WriteFile(user / "home/.config/tavrindesk/LastSetting.xml",
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Setting><cutType>1</cutType>"
            "<fileType>1</fileType><ShowUIUpdataOneByOne>1</ShowUIUpdataOneByOne></Setting>\n");
  ASSERT_EQ(std::system(("chown -R " + std::string(kUser) + ": " + user.string()).c_str()), 0);
  const std::string own = "tavrin-" + std::to_string(UserId());
  const auto sharedBefore = Snapshot(shared, own);
  const auto canaryBefore = Snapshot(canary, "");

  const int status = Scan(true, user / "home", shared, user / "out", 2, root / "user-log.txt");
  EXPECT_EQ(status, 0) << ReadFile(root / "user-log.txt");
  EXPECT_EQ(Names(user / "out").size(), 2u) << ReadFile(root / "user-log.txt");

  EXPECT_EQ(Snapshot(shared, own), sharedBefore) << "the scan wrote into the shared folder";
  EXPECT_EQ(Snapshot(canary, ""), canaryBefore) << "written through a planted link";
  // Everything of the scan lies in the user's own folder, closed to others,
  // and the one-by-one copies went once the client had them.
  struct stat info {};
  ASSERT_EQ(lstat((shared / own).c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_uid, UserId());
  EXPECT_EQ(info.st_mode & 077, 0u);
  for (const std::string& name : Names(shared / own))
    EXPECT_NE(name.rfind("1_", 0), 0u) << "a copy was left behind: " << name;
}

}  // namespace
}  // namespace tavrin
