#include "platform/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "test_support.h"

namespace tavrin::platform {
namespace {

using test::PeerPath;

TEST(ProcessTest, ExitStatusAndEnvironmentReachTheParent) {
  EXPECT_EQ(test::RunPeer({"exit", "7"}), 7);
  EXPECT_EQ(test::RunPeer({"env", "TAVRIN_PEER_VALUE", "a=b c"}, {"TAVRIN_PEER_VALUE=a=b c"}), 0);
  EXPECT_EQ(test::RunPeer({"env", "HOME", "/override"}, {"HOME=/override"}), 0)
      << "an extra entry replaces the inherited one";
}

TEST(ProcessTest, RunningWaitAndKill) {
  const int pid = SpawnProcess(PeerPath(), {"sleep", "20000"}, {});
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(ProcessRunning(pid));
  int status = -1;
  EXPECT_FALSE(WaitProcess(pid, 50, &status));
  KillProcess(pid);
  ASSERT_TRUE(WaitProcess(pid, 5000, &status));
  EXPECT_EQ(status, 128 + 9);
  EXPECT_FALSE(ProcessRunning(pid));

  // ProcessRunning may be the one that reaps; the status is not lost.
  const int quick = SpawnProcess(PeerPath(), {"exit", "5"}, {});
  ASSERT_GT(quick, 0);
  for (int i = 0; i < 2000 && ProcessRunning(quick); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(WaitProcess(quick, 1000, &status));
  EXPECT_EQ(status, 5);
}

TEST(ProcessTest, BadProgramAndBadIdsAreRefused) {
  std::string error;
  EXPECT_EQ(SpawnProcess("/no/such/program", {}, {}, &error), -1);
  EXPECT_NE(error.find("/no/such/program"), std::string::npos) << error;
  EXPECT_FALSE(ProcessRunning(0));
  EXPECT_FALSE(ProcessRunning(-1));
  EXPECT_FALSE(WaitProcess(-1, 10, nullptr));
  KillProcess(0);  // must not signal our own process group
  KillProcess(-1);
  SUCCEED() << "still alive";
}

}  // namespace
}  // namespace tavrin::platform
