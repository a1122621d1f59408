// Keeping, listing and delivering the pages a session left behind, in a
// scratch folder that stands for the private temporary folder.
#include "recovery/undelivered_pages.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/files.h"

namespace tavrin::recovery {
namespace {

class UndeliveredPages : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/tavrin-rec-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root = pattern;
    temp = root + "/tmp/";
    output = root + "/out";
    ASSERT_TRUE(platform::CreateFolders(WorkFolder(temp)));
    ASSERT_TRUE(platform::CreateFolders(output));
  }
  void TearDown() override { platform::DeleteFolderTree(root); }

  static void Write(const std::string& path, const std::string& bytes) {
    ASSERT_TRUE(platform::ReplaceFileAtomically(path, bytes));
    // Capture order is the order of writing. The file system's clock may
    // give two quick writes the same time, so each gets its own second.
    static auto stamp = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
    stamp += std::chrono::seconds(1);
    std::filesystem::last_write_time(path, stamp);
  }
  static std::string Read(const std::string& path) {
    std::string bytes;
    EXPECT_TRUE(platform::ReadWholeFile(path, bytes)) << path;
    return bytes;
  }

  std::string root, temp, output;
};

TEST_F(UndeliveredPages, LeftPagesAreKeptThenDeliveredOnceInCaptureOrderPastTakenNames) {
  const std::string work = WorkFolder(temp);
  Write(work + "/1_900.jpg", "first");
  Write(work + "/1_100.jpg", "second");
  Write(work + "/1_500.png", "third");
  Write(work + "/1_700.jpg.Xy12ab", "half written");
  Write(output + "/page-001.jpg", "an earlier scan");

  ResetWorkFolder(temp);
  EXPECT_TRUE(platform::ListFolder(work).empty());
  std::vector<WaitingPages> waiting = ListWaiting(temp);
  ASSERT_EQ(waiting.size(), 1u);
  ASSERT_EQ(waiting[0].pages.size(), 3u);
  EXPECT_EQ(DescribeWaiting(waiting).substr(0, 13), "3 pages from ");
  EXPECT_TRUE(WaitingNotice(waiting).ends_with(" are waiting to be delivered"))
      << WaitingNotice(waiting);

  PageDelivery delivery(temp, output);
  std::string placed, error;
  ASSERT_TRUE(delivery.Deliver(waiting[0].pages[0], placed, error)) << error;
  EXPECT_EQ(placed, output + "/page-002.jpg");
  // Someone takes the next name while the session runs.
  Write(output + "/page-003.png", "someone else's");
  ASSERT_TRUE(delivery.Deliver(waiting[0].pages[1], placed, error)) << error;
  ASSERT_TRUE(delivery.Deliver(waiting[0].pages[2], placed, error)) << error;

  EXPECT_EQ(Read(output + "/page-001.jpg"), "an earlier scan");
  EXPECT_EQ(Read(output + "/page-002.jpg"), "first");
  EXPECT_EQ(Read(output + "/page-003.png"), "someone else's");
  EXPECT_EQ(Read(output + "/page-003.jpg"), "second");
  EXPECT_EQ(Read(output + "/page-004.png"), "third");
  EXPECT_EQ(platform::ListFolder(output).size(), 5u);  // no part files left
  EXPECT_TRUE(ListWaiting(temp).empty());
  EXPECT_TRUE(platform::ListFolder(temp + "TavrinUndelivered").empty());
}

TEST_F(UndeliveredPages, ADeliveredCopyTakesItsOriginalAndNothingOutsideIsTouched) {
  Write(WorkFolder(temp) + "/1_5.jpg", "page");
  Write(temp + "1_5.jpg", "page");  // the copy sent one by one
  Write(output + "/mine.jpg", "not the window's");

  PageDelivery delivery(temp, output);
  std::string placed, error;
  ASSERT_TRUE(delivery.Deliver(temp + "1_5.jpg", placed, error)) << error;
  EXPECT_FALSE(platform::PathExists(temp + "1_5.jpg"));
  EXPECT_TRUE(KeepUndelivered(temp).pages.empty());

  // A file named by a broken window is delivered, never removed.
  ASSERT_TRUE(delivery.Deliver(output + "/mine.jpg", placed, error)) << error;
  EXPECT_EQ(Read(output + "/mine.jpg"), "not the window's");
}

TEST_F(UndeliveredPages, DiscardAndTakeBackEmptyTheKeptSessions) {
  Write(WorkFolder(temp) + "/1_1.jpg", "a");
  KeepUndelivered(temp);
  Write(WorkFolder(temp) + "/1_1.jpg", "b");  // the same number in a later run
  KeepUndelivered(temp);
  ASSERT_EQ(CountPages(ListWaiting(temp)), 2);

  const std::vector<std::string> taken = TakeIntoWorkFolder(temp);
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(Read(taken[0]), "a");
  EXPECT_EQ(Read(taken[1]), "b");
  EXPECT_TRUE(ListWaiting(temp).empty());

  KeepUndelivered(temp);
  ASSERT_EQ(CountPages(ListWaiting(temp)), 2);
  EXPECT_TRUE(DiscardWaiting(temp));
  EXPECT_TRUE(ListWaiting(temp).empty());
}

}  // namespace
}  // namespace tavrin::recovery
