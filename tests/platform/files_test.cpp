#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "test_support.h"

namespace tavrin::platform {
namespace {

namespace fs = std::filesystem;
using test::RunPeer;
using test::ScratchFolder;

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const std::string& path) {
  std::string bytes;
  EXPECT_TRUE(ReadWholeFile(path, bytes)) << path;
  return bytes;
}

TEST(FilesTest, BasicServicesReportWhatHappened) {
  ScratchFolder scratch;
  ASSERT_FALSE(scratch.Path().empty());
  const std::string file = scratch / "a.txt";
  EXPECT_FALSE(PathExists(file));
  WriteText(file, "first");
  EXPECT_TRUE(PathExists(file));
  EXPECT_FALSE(IsFolder(file));
  EXPECT_TRUE(IsFolder(scratch.Path()));

  WriteText(scratch / "b.txt", "second");
  EXPECT_TRUE(CopyFileOverwrite(scratch / "b.txt", file));
  EXPECT_EQ(ReadText(file), "second");
  EXPECT_FALSE(CopyFileOverwrite(scratch / "missing", file));
  EXPECT_EQ(ReadText(file), "second");

  EXPECT_TRUE(CreateFolders(scratch / "x/y/z"));
  EXPECT_TRUE(IsFolder(scratch / "x/y/z"));
  EXPECT_TRUE(CreateFolders(scratch / "x/y/z")) << "an existing folder is fine";
  EXPECT_FALSE(CreateFolders(file + "/under-a-file"));

  EXPECT_EQ(ListFolder(scratch.Path()), (std::vector<std::string>{"a.txt", "b.txt", "x"}));
  EXPECT_TRUE(ListFolder(scratch / "missing").empty());

  EXPECT_FALSE(DeleteFilePath(scratch / "x")) << "a folder is not a file";
  EXPECT_TRUE(DeleteFilePath(file));
  EXPECT_FALSE(PathExists(file));
  EXPECT_FALSE(DeleteFilePath(file));
}

TEST(FilesTest, TreeDeletionRemovesLinksButNeverTheirTargets) {
  ScratchFolder outside;
  WriteText(outside / "precious.txt", "keep me");
  ASSERT_TRUE(CreateFolders(outside / "folder"));
  WriteText(outside / "folder/inner.txt", "keep me too");

  ScratchFolder scratch;
  const std::string tree = scratch / "tree";
  ASSERT_TRUE(CreateFolders(tree + "/sub/deeper"));
  WriteText(tree + "/top.txt", "x");
  WriteText(tree + "/sub/deeper/leaf.txt", "y");
  fs::create_directory_symlink(outside.Path(), tree + "/sub/link-to-folder");
  fs::create_symlink(outside / "precious.txt", tree + "/link-to-file");
  fs::create_symlink(scratch / "nowhere", tree + "/dangling");

  EXPECT_TRUE(DeleteFolderTree(tree));
  EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
  EXPECT_EQ(ReadText(outside / "precious.txt"), "keep me");
  EXPECT_EQ(ReadText(outside / "folder/inner.txt"), "keep me too");
  EXPECT_EQ(ListFolder(outside.Path()), (std::vector<std::string>{"folder", "precious.txt"}));
}

TEST(FilesTest, TreeDeletionOfALinkRemovesOnlyTheLink) {
  ScratchFolder outside;
  WriteText(outside / "precious.txt", "keep me");
  ScratchFolder scratch;
  fs::create_directory_symlink(outside.Path(), scratch / "work");

  EXPECT_TRUE(DeleteFolderTree(scratch / "work"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(scratch / "work")));
  EXPECT_EQ(ReadText(outside / "precious.txt"), "keep me");
  EXPECT_TRUE(DeleteFolderTree(scratch / "never-was")) << "nothing to delete is done";
}

TEST(FilesTest, ReplaceFileAtomicallyReplacesAndKeepsMode) {
  ScratchFolder scratch;
  const std::string file = scratch / "LastSetting.xml";
  WriteText(file, "old");
  chmod(file.c_str(), 0640);
  std::string error;
  EXPECT_TRUE(ReplaceFileAtomically(file, "new contents", &error)) << error;
  EXPECT_EQ(ReadText(file), "new contents");
  struct stat info {};
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(ListFolder(scratch.Path()), std::vector<std::string>{"LastSetting.xml"});

  const std::string fresh = scratch / "FileList.xml";
  EXPECT_TRUE(ReplaceFileAtomically(fresh, std::string_view("", 0)));
  EXPECT_EQ(ReadText(fresh), "");
  EXPECT_FALSE(ReplaceFileAtomically(scratch / "no/such/folder/x.xml", "x", &error));
  EXPECT_FALSE(error.empty());
}

// More pieces than one write call takes, some of them empty, come out
// whole and in order.
TEST(FilesTest, ReplaceFileAtomicallyJoinsPieces) {
  ScratchFolder scratch;
  const std::string file = scratch / "picture.bmp";
  std::vector<std::string> texts;
  for (int i = 0; i < 2500; ++i) texts.push_back(i % 7 == 0 ? "" : std::to_string(i) + ",");
  const std::vector<std::string_view> pieces(texts.begin(), texts.end());
  std::string joined;
  for (const std::string& text : texts) joined += text;
  std::string error;
  EXPECT_TRUE(ReplaceFileAtomically(file, pieces, &error)) << error;
  EXPECT_EQ(ReadText(file), joined);
}

TEST(FilesTest, FailedWriteLeavesOldFileWholeAndNoTemporary) {
  ScratchFolder scratch;
  const std::string file = scratch / "FileList.xml";
  const std::string old(1000, 'o');
  WriteText(file, old);
  // The peer can write at most 4096 bytes per file, so writing 1 MiB fails
  // halfway, as on a full disk.
  EXPECT_EQ(RunPeer({"replace-limited", file, "4096", "1048576"}), 0);
  EXPECT_EQ(ReadText(file), old);
  EXPECT_EQ(ListFolder(scratch.Path()), std::vector<std::string>{"FileList.xml"});
}

TEST(FilesTest, ReadOnlyFolderLeavesOldFileWhole) {
  ScratchFolder scratch;
  const std::string folder = scratch / "locked";
  ASSERT_TRUE(CreateFolders(folder));
  const std::string file = folder + "/LastSetting.xml";
  WriteText(file, "old text");
  // Root ignores permission bits, so the peer drops to nobody, for whom the
  // folder (0755, owned by root) is read-only.
  chmod(scratch.Path().c_str(), 0755);
  chmod(folder.c_str(), 0555);
  chmod(file.c_str(), 0644);
  EXPECT_EQ(RunPeer({"replace-as-nobody", file}), 0);
  chmod(folder.c_str(), 0755);
  EXPECT_EQ(ReadText(file), "old text");
  EXPECT_EQ(ListFolder(folder), std::vector<std::string>{"LastSetting.xml"});
}

TEST(FilesTest, ReadWholeFileRefusesWhatIsNotAFile) {
  ScratchFolder scratch;
  std::string bytes = "stale";
  EXPECT_FALSE(ReadWholeFile(scratch.Path(), bytes));
  EXPECT_FALSE(ReadWholeFile("/dev/zero", bytes));
  EXPECT_FALSE(ReadWholeFile(scratch / "missing", bytes));
  EXPECT_TRUE(bytes.empty());
  const std::string binary("a\0b\xFF", 4);
  WriteText(scratch / "bin", binary);
  EXPECT_EQ(ReadText(scratch / "bin"), binary);
}

}  // namespace
}  // namespace tavrin::platform
