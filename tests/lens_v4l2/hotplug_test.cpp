#include <atomic>
#include <chrono>
#include <thread>

#include "lens/src/v4l2/discovery.h"
#include "lens/src/v4l2/hotplug.h"
#include "replay_support.h"
#include "tests/support/wait.h"

namespace tavrin::lens::v4l2 {
namespace {

using replay::Replay;

// Replays arrival times (ms) through a debouncer; returns when notices fired.
std::vector<int64_t> Notices(const std::vector<int64_t>& events, int64_t untilMs, int quietMs,
                             int maxDelayMs) {
  Debouncer debouncer(quietMs, maxDelayMs);
  std::vector<int64_t> fired;
  size_t next = 0;
  for (int64_t now = 0; now <= untilMs; ++now) {
    while (next < events.size() && events[next] == now) {
      debouncer.Event(now);
      ++next;
    }
    if (debouncer.TakeDue(now)) fired.push_back(now);
  }
  return fired;
}

TEST(DebouncerTest, OnePlugGivesOneNotice) {
  // Capture node and metadata node, each with add and change.
  EXPECT_EQ(Notices({20, 24, 31, 35}, 2000, 300, 2000), (std::vector<int64_t>{335}));
  // Plug, then unplug much later: two notices.
  EXPECT_EQ(Notices({20, 24, 700, 703}, 2000, 300, 2000), (std::vector<int64_t>{324, 1003}));
}

TEST(DebouncerTest, AFlappingDeviceIsStillNoticedInTime) {
  std::vector<int64_t> flapping;
  for (int64_t t = 0; t < 5000; t += 100) flapping.push_back(t);
  const std::vector<int64_t> fired = Notices(flapping, 6000, 300, 2000);
  ASSERT_GE(fired.size(), 2u);
  EXPECT_EQ(fired[0], 2000);
  EXPECT_EQ(fired.back(), 5200);  // quiet again after the last event
}

TEST(DebouncerTest, WaitTellsHowLongUntilDue) {
  Debouncer debouncer(300, 2000);
  EXPECT_EQ(debouncer.WaitMs(0), -1);
  EXPECT_FALSE(debouncer.TakeDue(0));
  debouncer.Event(100);
  EXPECT_EQ(debouncer.WaitMs(150), 250);
  debouncer.Event(200);
  EXPECT_EQ(debouncer.WaitMs(200), 300);
  EXPECT_FALSE(debouncer.TakeDue(499));
  EXPECT_TRUE(debouncer.TakeDue(500));
  EXPECT_FALSE(debouncer.Pending());
}

TEST(HotplugWatcherTest, RecordedPlugAndUnplugGiveOneNoticeEach) {
  auto kernel = Replay("hotplug_twin_webcams.rec");
  ASSERT_EQ(DiscoverCameras(*kernel).size(), 1u);
  std::atomic<int> notices{0};
  std::vector<size_t> counts(2, 0);
  HotplugWatcher watcher;
  // The recording plugs at 20-35 ms and unplugs at 700-703 ms.
  watcher.Start(
      kernel->MakeHotplugSource(),
      [&] {
        const int index = notices++;
        if (index < 2) counts[index] = DiscoverCameras(*kernel).size();
      },
      100, 1000);
  test::WaitFor([&] { return notices >= 2; }, 3000);
  // Long enough for a third notice, which must not come.
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  watcher.Stop();
  EXPECT_EQ(notices, 2);
  EXPECT_EQ(counts[0], 2u);  // the second webcam is there at the first notice
  EXPECT_EQ(counts[1], 1u);  // and gone at the second
}

TEST(HotplugWatcherTest, PokeGivesANoticeAndStopIsPrompt) {
  std::atomic<int> notices{0};
  HotplugWatcher watcher;
  watcher.Start(
      MakeQuietHotplugSource(), [&] { ++notices; }, 10, 100);
  watcher.Poke();
  test::WaitFor([&] { return notices > 0; }, 2000);
  EXPECT_EQ(notices, 1);
  const auto before = std::chrono::steady_clock::now();
  watcher.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
  watcher.Poke();  // after Stop: nothing happens, nothing crashes
  EXPECT_EQ(notices, 1);
}

}  // namespace
}  // namespace tavrin::lens::v4l2
