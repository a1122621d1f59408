// Attacks on the scan window's working folder: the private temporary folder
// and its "Tavrin" folder planted by another owner or as a link, links
// inside it into a canary tree, and a thread that swaps a sub-folder for a
// link while the clean-up runs. The clean-up is the window's own
// (platform::DeleteFolderTree) and the folder comes from the same
// PrivateTempFolderIn the window's start-up goes through. In every case the
// canary tree must come out byte for byte as it went in.
//
// The race runs 500 rounds here; TAVRIN_TEMP_ATTACK_ROUNDS=10000 gives the
// long run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/paths.h"

namespace tavrin {
namespace {

namespace fs = std::filesystem;

constexpr int kDefaultRaceRounds = 500;

std::string RandomHex() {
  static std::mt19937_64 generator{std::random_device{}()};
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(generator()));
  return text;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Path (relative), kind, mode, owner and contents of everything under root,
// links read rather than followed.
using TreeSnapshot = std::map<std::string, std::string>;

TreeSnapshot Snapshot(const fs::path& root) {
  TreeSnapshot snapshot;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error); it != fs::end(it);
       it.increment(error)) {
    const fs::path& path = it->path();
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) continue;
    std::string entry = std::to_string(info.st_mode) + " " + std::to_string(info.st_uid) + " ";
    if (S_ISREG(info.st_mode)) {
      std::ifstream in(path, std::ios::binary);
      entry += std::string(std::istreambuf_iterator<char>(in), {});
    } else if (S_ISLNK(info.st_mode)) {
      entry += fs::read_symlink(path, error).string();
    }
    snapshot[fs::relative(path, root).string()] = entry;
  }
  return snapshot;
}

uid_t OtherUser() {
  if (const passwd* nobody = getpwnam("nobody")) return nobody->pw_uid;
  return 65534;
}

class TempAttacks : public testing::Test {
 protected:
  void SetUp() override {
    scratch = fs::temp_directory_path() / ("tavrin-temp-attacks-" + RandomHex());
    fs::create_directories(scratch / "base");
    canary = scratch / "canary";
    fs::create_directories(canary / "deep" / "deeper");
    WriteFile(canary / "keep.txt", "canary file");
    WriteFile(canary / "deep" / "page.jpg", std::string(4096, '\x5a'));
    WriteFile(canary / "deep" / "deeper" / "list.xml", "<FileList/>");
    chmod((canary / "deep").c_str(), 0750);
    canaryBefore = Snapshot(canary);
    ASSERT_EQ(canaryBefore.size(), 5u);
  }

  void TearDown() override {
    EXPECT_EQ(Snapshot(canary), canaryBefore) << "the canary tree was touched";
    std::error_code ignored;
    // Links in here are removed as links; nothing else is left to follow.
    platform::DeleteFolderTree(scratch.string());
    fs::remove_all(scratch, ignored);
  }

  // Where the window's start-up puts its working folder: the private
  // temporary folder followed by "/Tavrin".
  fs::path PrivateFolder() const {
    return scratch / "base" / ("tavrin-" + std::to_string(getuid()));
  }
  static std::string WorkFolderOf(const std::string& privateFolder) {
    return privateFolder + "/Tavrin";
  }

  fs::path scratch;
  fs::path canary;
  TreeSnapshot canaryBefore;
};

// The private folder planted by someone else is refused, so the window
// keeps no working folder and empties nothing.
TEST_F(TempAttacks, PrivateFolderOfAnotherOwnerIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "handing a folder to another owner needs root";
  fs::create_directories(PrivateFolder() / "Tavrin");
  WriteFile(PrivateFolder() / "Tavrin" / "theirs.txt", "another user's file");
  fs::create_directory_symlink(canary, PrivateFolder() / "Tavrin" / "into-canary");
  ASSERT_EQ(chown(PrivateFolder().c_str(), OtherUser(), OtherUser()), 0);
  const TreeSnapshot planted = Snapshot(PrivateFolder());

  EXPECT_EQ(platform::PrivateTempFolderIn((scratch / "base").string()), "");
  EXPECT_EQ(Snapshot(PrivateFolder()), planted);
}

TEST_F(TempAttacks, PrivateFolderAsLinkToCanaryIsRefused) {
  fs::create_directory_symlink(canary, PrivateFolder());
  EXPECT_EQ(platform::PrivateTempFolderIn((scratch / "base").string()), "");
  EXPECT_TRUE(fs::is_symlink(PrivateFolder()));
}

// A private folder that others may enter is taken back, not used as it is.
TEST_F(TempAttacks, OpenPrivateFolderIsClosedBeforeUse) {
  fs::create_directories(PrivateFolder());
  chmod(PrivateFolder().c_str(), 0777);
  const std::string folder = platform::PrivateTempFolderIn((scratch / "base").string());
  ASSERT_EQ(folder, PrivateFolder().string() + "/");
  struct stat info {};
  ASSERT_EQ(lstat(PrivateFolder().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

// Root can empty another owner's working folder inside its private folder;
// what must not happen is a step through the links in it.
TEST_F(TempAttacks, WorkFolderOfAnotherOwnerIsEmptiedWithoutFollowingLinks) {
  const std::string privateFolder = platform::PrivateTempFolderIn((scratch / "base").string());
  ASSERT_FALSE(privateFolder.empty());
  const fs::path work = WorkFolderOf(privateFolder);
  fs::create_directories(work / "sub");
  WriteFile(work / "sub" / "1_1.jpg", "shot");
  fs::create_directory_symlink(canary, work / "sub" / "canary-dir");
  fs::create_symlink(canary / "keep.txt", work / "canary-file");
  if (geteuid() == 0) {
    ASSERT_EQ(chown(work.c_str(), OtherUser(), OtherUser()), 0);
    ASSERT_EQ(chown((work / "sub").c_str(), OtherUser(), OtherUser()), 0);
  }

  EXPECT_TRUE(platform::DeleteFolderTree(work.string()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(work)));
}

TEST_F(TempAttacks, WorkFolderAsLinkToCanaryLosesOnlyTheLink) {
  const std::string privateFolder = platform::PrivateTempFolderIn((scratch / "base").string());
  ASSERT_FALSE(privateFolder.empty());
  const fs::path work = WorkFolderOf(privateFolder);
  fs::create_directory_symlink(canary, work);

  EXPECT_TRUE(platform::DeleteFolderTree(work.string()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(work)));
  EXPECT_TRUE(fs::is_directory(canary));
}

// Every kind of entry that reaches outside: links to folders and files at
// several depths, a relative link climbing out, a dangling link, a hard
// link to a canary file and a FIFO.
TEST_F(TempAttacks, LinksInsideTheWorkFolderAreRemovedNotFollowed) {
  const std::string privateFolder = platform::PrivateTempFolderIn((scratch / "base").string());
  ASSERT_FALSE(privateFolder.empty());
  const fs::path work = WorkFolderOf(privateFolder);
  fs::create_directories(work / "a" / "b" / "c");
  WriteFile(work / "a" / "1_1.jpg", "shot");
  fs::create_directory_symlink(canary, work / "to-canary");
  fs::create_directory_symlink(canary / "deep", work / "a" / "to-deep");
  fs::create_symlink(canary / "keep.txt", work / "a" / "b" / "keep-link.txt");
  fs::create_directory_symlink(fs::relative(canary, work / "a" / "b" / "c"),
                               work / "a" / "b" / "c" / "climb");
  fs::create_symlink(scratch / "nowhere", work / "dangling");
  fs::create_hard_link(canary / "deep" / "page.jpg", work / "a" / "hard.jpg");
  ASSERT_EQ(mkfifo((work / "a" / "pipe").c_str(), 0600), 0);

  EXPECT_TRUE(platform::DeleteFolderTree(work.string()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(work)));
}

// Rebuilds a working folder: three sub-folders of a few files each.
void BuildWorkTree(const fs::path& work) {
  for (const char* sub : {"s0", "s1", "s2"}) {
    fs::create_directories(work / sub / "inner");
    for (int i = 0; i < 2; ++i) WriteFile(work / sub / ("f" + std::to_string(i)), "x");
    WriteFile(work / sub / "inner" / "g", "y");
  }
}

int RaceRounds() {
  const std::string text = platform::Environment("TAVRIN_TEMP_ATTACK_ROUNDS");
  const int rounds = text.empty() ? kDefaultRaceRounds : std::atoi(text.c_str());
  return rounds > 0 ? rounds : kDefaultRaceRounds;
}

// A second thread renames a sub-folder away and puts a link to the canary
// in its place, over and over, while the clean-up walks the tree.
TEST_F(TempAttacks, SubFolderSwappedForLinkDuringCleanUp) {
  const std::string privateFolder = platform::PrivateTempFolderIn((scratch / "base").string());
  ASSERT_FALSE(privateFolder.empty());
  const fs::path work = WorkFolderOf(privateFolder);
  const int rounds = RaceRounds();
  int swapsLanded = 0;
  for (int round = 0; round < rounds; ++round) {
    BuildWorkTree(work);
    std::atomic<bool> stop = false;
    std::atomic<int> swaps = 0;
    const std::string sub = (work / ("s" + std::to_string(round % 3))).string();
    const std::string inner = (work / "s1" / "inner").string();
    const std::string moved = (scratch / "moved").string();
    std::thread racer([&] {
      while (!stop.load()) {
        for (const std::string& target : {sub, inner}) {
          if (rename(target.c_str(), moved.c_str()) == 0) {
            if (symlink(canary.c_str(), target.c_str()) == 0) ++swaps;
            // The moved tree may hold a swapped-in link itself.
            platform::DeleteFolderTree(moved);
          }
        }
      }
    });
    platform::DeleteFolderTree(work.string());
    stop = true;
    racer.join();
    swapsLanded += swaps.load();
    // What the racer planted after the walk is cleared the same way.
    ASSERT_TRUE(platform::DeleteFolderTree(work.string())) << "round " << round;
    ASSERT_FALSE(fs::exists(fs::symlink_status(work))) << "round " << round;
    ASSERT_EQ(Snapshot(canary), canaryBefore) << "round " << round;
  }
  RecordProperty("rounds", rounds);
  RecordProperty("swaps_landed", swapsLanded);
  std::printf("%d rounds, %d link swaps landed\n", rounds, swapsLanded);
}

}  // namespace
}  // namespace tavrin
