// The working folder under attack when the real TavrinDesk starts: the
// "Tavrin" folder in its TMPDIR planted as a link to a canary tree, full of
// links into it, or owned by someone else. The window's start-up empties
// and recreates it; then it scans once. The canary tree must come out byte
// for byte as it went in, and the capture must land in a real, private
// folder.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>

#include "dslink/twain_control.h"
#include "tests/hostile/hostile_peer.h"

namespace tavrin::hostile {
namespace {

using TreeSnapshot = std::map<std::string, std::string>;

// Kind, mode, owner and contents of everything under root; links are read,
// not followed.
TreeSnapshot Snapshot(const fs::path& root) {
  TreeSnapshot snapshot;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error); it != fs::end(it);
       it.increment(error)) {
    struct stat info {};
    if (lstat(it->path().c_str(), &info) != 0) continue;
    std::string entry = std::to_string(info.st_mode) + " " + std::to_string(info.st_uid) + " " +
                        std::to_string(info.st_mtime) + " ";
    if (S_ISREG(info.st_mode)) {
      std::ifstream in(it->path(), std::ios::binary);
      entry += std::string(std::istreambuf_iterator<char>(in), {});
    } else if (S_ISLNK(info.st_mode)) {
      entry += fs::read_symlink(it->path(), error).string();
    }
    snapshot[fs::relative(it->path(), root).string()] = entry;
  }
  return snapshot;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class WorkFolderAttacks : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(layout.ok);
    canary = layout.root / "canary";
    fs::create_directories(canary / "deep");
    WriteFile(canary / "keep.txt", "canary file");
    WriteFile(canary / "1_1.jpg", "a canary that looks like a capture");
    WriteFile(canary / "deep" / "page.jpg", std::string(4096, '\x5a'));
    before = Snapshot(canary);
    ASSERT_EQ(before.size(), 4u);
  }

  // Starts the window on the planted folder and scans once.
  void ScanOnce() {
    HostilePeer peer(layout);
    ASSERT_TRUE(peer.Prepare(1));
    ASSERT_TRUE(peer.Launch()) << "the window did not attach";
    ASSERT_TRUE(peer.Send(kMsgRequest, 20000));
    ASSERT_TRUE(peer.WaitMessages(1, 20000));
    const fs::path file = peer.Messages()[0].text;
    ASSERT_TRUE(peer.Send(kMsgClose, 20000));
    const std::optional<int> status = peer.WaitWindowExit(20000);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);

    EXPECT_EQ(file.parent_path(), layout.WorkFolder());
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file))) << file;
    struct stat info {};
    ASSERT_EQ(lstat(layout.WorkFolder().c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode)) << "the working folder is not a real folder";
    EXPECT_EQ(info.st_uid, geteuid());
    EXPECT_EQ(info.st_mode & 022, 0u) << "others may write into the working folder";
  }

  void TearDown() override { EXPECT_EQ(Snapshot(canary), before) << "the canary was touched"; }

  Layout layout;
  fs::path canary;
  TreeSnapshot before;
};

TEST_F(WorkFolderAttacks, WorkFolderPlantedAsLinkToCanary) {
  fs::create_directory_symlink(canary, layout.WorkFolder());
  ScanOnce();
}

TEST_F(WorkFolderAttacks, LinksInsideTheWorkFolderPointIntoCanary) {
  const fs::path work = layout.WorkFolder();
  fs::create_directories(work / "sub" / "inner");
  fs::create_directory_symlink(canary, work / "to-canary");
  fs::create_directory_symlink(canary / "deep", work / "sub" / "to-deep");
  fs::create_symlink(canary / "keep.txt", work / "sub" / "inner" / "keep-link.txt");
  fs::create_directory_symlink(fs::relative(canary, work / "sub" / "inner"),
                               work / "sub" / "inner" / "climb");
  fs::create_hard_link(canary / "deep" / "page.jpg", work / "hard.jpg");
  // A link where the window will write its first capture's name pattern.
  fs::create_symlink(canary / "1_1.jpg", work / "1_1.jpg");
  before = Snapshot(canary);  // the hard link count changed the inode, not the file
  ScanOnce();
  EXPECT_FALSE(fs::exists(fs::symlink_status(work / "to-canary")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(work / "sub")));
}

TEST_F(WorkFolderAttacks, WorkFolderOfAnotherOwnerOpenToAll) {
  if (geteuid() != 0) GTEST_SKIP() << "handing a folder to another owner needs root";
  const fs::path work = layout.WorkFolder();
  fs::create_directories(work);
  fs::create_directory_symlink(canary, work / "to-canary");
  WriteFile(work / "theirs.jpg", "another user's file");
  const passwd* nobody = getpwnam("nobody");
  const uid_t other = nobody != nullptr ? nobody->pw_uid : 65534;
  ASSERT_EQ(chown(work.c_str(), other, other), 0);
  ASSERT_EQ(chmod(work.c_str(), 0777), 0);
  ScanOnce();
}

}  // namespace
}  // namespace tavrin::hostile
