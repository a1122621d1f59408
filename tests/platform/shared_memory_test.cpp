#include "platform/shared_memory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

#include <cstring>
#include <string>

#include "test_support.h"

namespace tavrin::platform {
namespace {

using test::RunPeer;

constexpr size_t kBlockSize = 1052;

class SharedMemoryTest : public ::testing::Test {
 protected:
  // A name of our own per test, so parallel runs never meet.
  std::string Name(const char* what) {
    const std::string name = std::string("tavrin-test-") + what + "-" + std::to_string(getpid());
    planted_.push_back(SharedMemory::PosixName(name));
    return name;
  }
  void TearDown() override {
    for (const std::string& posix : planted_) shm_unlink(posix.c_str());
  }

 private:
  std::vector<std::string> planted_;
};

TEST(SharedMemoryNameTest, MapsToOnePosixName) {
  EXPECT_EQ(SharedMemory::PosixName("TavrinDS_Recv-1.0"), "/TavrinDS_Recv-1.0");
  EXPECT_EQ(SharedMemory::PosixName("Global\\a b/c"), "/Global_a_b_c");
  EXPECT_EQ(SharedMemory::PosixName("\xE6\x89\x93"), "/___");
}

TEST_F(SharedMemoryTest, CreatorAndOpenerShareBytesAndCreatorUnlinksOnClose) {
  const std::string name = Name("share");
  SharedMemory creator;
  ASSERT_EQ(creator.Create(name, kBlockSize), ShmStatus::kOk) << creator.ErrorText();
  ASSERT_TRUE(creator.IsOpen());
  EXPECT_EQ(creator.Size(), kBlockSize);
  std::memcpy(creator.Data(), "hello", 6);

  SharedMemory opener;
  ASSERT_EQ(opener.Open(name, kBlockSize), ShmStatus::kOk) << opener.ErrorText();
  EXPECT_STREQ(static_cast<const char*>(opener.Data()), "hello");
  static_cast<char*>(opener.Data())[kBlockSize - 1] = 'z';
  EXPECT_EQ(static_cast<const char*>(creator.Data())[kBlockSize - 1], 'z');

  opener.Close();
  EXPECT_FALSE(opener.IsOpen());
  SharedMemory again;
  EXPECT_EQ(again.Open(name, kBlockSize), ShmStatus::kOk) << "an opener's close must not unlink";
  again.Close();
  creator.Close();
  EXPECT_EQ(again.Open(name, kBlockSize), ShmStatus::kMissing);
}

TEST_F(SharedMemoryTest, SecondCreatorOfTheSameNameFails) {
  const std::string name = Name("twice");
  SharedMemory first;
  ASSERT_EQ(first.Create(name, kBlockSize), ShmStatus::kOk) << first.ErrorText();
  SharedMemory second;
  EXPECT_EQ(second.Create(name, kBlockSize), ShmStatus::kExists);
  EXPECT_FALSE(second.IsOpen());
  EXPECT_FALSE(second.ErrorText().empty());
  // A creator in another process is refused the same way.
  EXPECT_EQ(RunPeer({"create", name, std::to_string(kBlockSize)}), 3);
  // And the refused creators did not unlink the first one's block.
  SharedMemory opener;
  EXPECT_EQ(opener.Open(name, kBlockSize), ShmStatus::kOk);
}

TEST_F(SharedMemoryTest, OpenerRefusesBlockOfAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to plant a block owned by nobody";
  const std::string name = Name("foreign");
  ASSERT_EQ(RunPeer({"plant-foreign", SharedMemory::PosixName(name), "4096"}), 0);
  SharedMemory opener;
  EXPECT_EQ(opener.Open(name, kBlockSize), ShmStatus::kMissing);
  EXPECT_FALSE(opener.IsOpen());
  EXPECT_NE(opener.ErrorText().find("another user"), std::string::npos) << opener.ErrorText();
}

TEST_F(SharedMemoryTest, OpenerRefusesBlockWithGroupOrOtherPermissions) {
  for (const char* mode : {"0660", "0604", "0700"}) {
    const std::string name = Name(mode);
    ASSERT_EQ(RunPeer({"plant-mode", SharedMemory::PosixName(name), "4096", mode}), 0);
    SharedMemory opener;
    const bool foreignBits = std::string(mode) != "0700";
    EXPECT_EQ(opener.Open(name, kBlockSize), foreignBits ? ShmStatus::kMissing : ShmStatus::kOk)
        << mode;
  }
}

TEST_F(SharedMemoryTest, OpenerRefusesBlockSmallerThanItsSize) {
  const std::string name = Name("small");
  ASSERT_EQ(RunPeer({"plant-mode", SharedMemory::PosixName(name), "1051", "0600"}), 0);
  SharedMemory opener;
  EXPECT_EQ(opener.Open(name, kBlockSize), ShmStatus::kMissing);
  EXPECT_NE(opener.ErrorText().find("smaller"), std::string::npos) << opener.ErrorText();
  EXPECT_EQ(opener.Open(name, 1051), ShmStatus::kOk);
}

TEST_F(SharedMemoryTest, MissingNameIsMissing) {
  SharedMemory opener;
  EXPECT_EQ(opener.Open(Name("absent"), kBlockSize), ShmStatus::kMissing);
  EXPECT_EQ(opener.Data(), nullptr);
}

TEST_F(SharedMemoryTest, BlockThatShrankIsNoLongerValid) {
  const std::string name = Name("shrink");
  SharedMemory creator;
  ASSERT_EQ(creator.Create(name, kBlockSize), ShmStatus::kOk);
  SharedMemory opener;
  ASSERT_EQ(opener.Open(name, kBlockSize), ShmStatus::kOk);
  EXPECT_TRUE(opener.StillValid());
  ASSERT_EQ(RunPeer({"shrink", SharedMemory::PosixName(name), "16"}), 0);
  EXPECT_FALSE(opener.StillValid());
  EXPECT_FALSE(creator.StillValid());
  EXPECT_FALSE(SharedMemory().StillValid());
}

// The peer shrinks the block after our size check: the next access must not
// raise SIGBUS, and the mapping stays lost even when the block grows back.
TEST_F(SharedMemoryTest, ShrinkBetweenCheckAndAccessLosesTheMappingInsteadOfFaulting) {
  const std::string name = Name("flap");
  SharedMemory creator;
  ASSERT_EQ(creator.Create(name, kBlockSize), ShmStatus::kOk);
  SharedMemory opener;
  ASSERT_EQ(opener.Open(name, kBlockSize), ShmStatus::kOk);
  std::memset(opener.Data(), 'a', kBlockSize);
  ASSERT_TRUE(opener.StillValid());

  const int fd = shm_open(SharedMemory::PosixName(name).c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 0), 0);
  const auto* read = static_cast<const volatile unsigned char*>(opener.Data());
  EXPECT_EQ(read[0], 0xFF);
  EXPECT_EQ(read[kBlockSize - 1], 0xFF);
  static_cast<volatile char*>(creator.Data())[8] = 'b';
  EXPECT_FALSE(opener.StillValid());
  EXPECT_FALSE(creator.StillValid());

  ASSERT_EQ(ftruncate(fd, kBlockSize), 0);
  close(fd);
  EXPECT_FALSE(opener.StillValid()) << "our pages are no longer the peer's";
  EXPECT_FALSE(creator.StillValid());
  EXPECT_EQ(read[1], 0xFF);

  // A new mapping of the regrown block is sound again.
  opener.Close();
  ASSERT_EQ(opener.Open(name, kBlockSize), ShmStatus::kOk);
  EXPECT_TRUE(opener.StillValid());
  EXPECT_EQ(static_cast<const char*>(opener.Data())[0], '\0');
}

// The guard takes only faults inside its own mappings.
TEST_F(SharedMemoryTest, BusFaultOutsideTheBlocksStillEndsTheProgram) {
  SharedMemory block;
  ASSERT_EQ(block.Create(Name("guard"), kBlockSize), ShmStatus::kOk);
  EXPECT_DEATH(
      {
        std::FILE* file = std::tmpfile();
        const int fd = fileno(file);
        if (ftruncate(fd, 4096) != 0) std::abort();
        auto* data = static_cast<volatile char*>(
            mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        if (ftruncate(fd, 0) != 0) std::abort();
        data[0] = 'x';
        std::exit(0);
      },
      "");
}

TEST_F(SharedMemoryTest, MovedBlockKeepsItsMappingAndDuty) {
  const std::string name = Name("move");
  SharedMemory creator;
  ASSERT_EQ(creator.Create(name, kBlockSize), ShmStatus::kOk);
  void* data = creator.Data();
  SharedMemory moved = std::move(creator);
  EXPECT_FALSE(creator.IsOpen());
  EXPECT_EQ(moved.Data(), data);
  creator.Close();  // the moved-from object must not unlink
  SharedMemory opener;
  EXPECT_EQ(opener.Open(name, kBlockSize), ShmStatus::kOk);
  opener.Close();
  moved.Close();
  EXPECT_EQ(opener.Open(name, kBlockSize), ShmStatus::kMissing);
}

TEST_F(SharedMemoryTest, ZeroSizeIsRefused) {
  SharedMemory block;
  EXPECT_EQ(block.Create(Name("zero"), 0), ShmStatus::kFailed);
  EXPECT_FALSE(block.IsOpen());
}

}  // namespace
}  // namespace tavrin::platform
