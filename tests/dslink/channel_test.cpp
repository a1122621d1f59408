// The channel across two real processes: this test and tavrin_channel_peer.
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "dslink/twain_control.h"
#include "platform/shared_memory.h"
#include "test_support.h"

namespace tavrin::test {
namespace {

using Bytes = std::array<uint8_t, sizeof(ChannelBlock)>;
using Clock = std::chrono::steady_clock;

int32_t StateOf(ChannelBlock* block) {
  return std::atomic_ref<int32_t>(block->state).load(std::memory_order_acquire);
}

void SetState(ChannelBlock* block, int32_t value) {
  std::atomic_ref<int32_t>(block->state).store(value, std::memory_order_release);
}

int32_t Int32At(const Bytes& bytes, size_t offset) {
  return static_cast<int32_t>(bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
                              static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

// Two raw blocks owned by the test, standing in for the data source.
class RawBlocks {
 public:
  explicit RawBlocks(int32_t initialState = kBlockUnopened) {
    for (int i = 0; i < 2; ++i) {
      names[i] = "tavrin-test-" + RandomHex() + (i == 0 ? "-in" : "-out");
      EXPECT_EQ(mapping_[i].Create(names[i], sizeof(ChannelBlock)), platform::ShmStatus::kOk);
      SetState(Block(i), initialState);
    }
  }
  ChannelBlock* Block(int index) { return static_cast<ChannelBlock*>(mapping_[index].Data()); }
  // Waits for a message in the block and copies it out.
  bool TakeSnapshot(int index, Bytes& bytes) {
    if (!WaitFor([&] { return StateOf(Block(index)) == kBlockWaiting; }, 10000, 1)) return false;
    std::memcpy(bytes.data(), static_cast<const void*>(Block(index)), bytes.size());
    return true;
  }
  std::vector<std::string> Args() const { return {"--first", names[0], "--second", names[1]}; }
  std::u16string Name(int index) const { return platform::Utf8ToUtf16(names[index]); }

  std::string names[2];

 private:
  platform::SharedMemory mapping_[2];
};

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<std::string> PeerArgs(const std::string& role, const std::vector<std::string>& names,
                                  const std::vector<std::string>& steps,
                                  const std::string& pollUs = "1000") {
  std::vector<std::string> args = {"--role", role, "--poll-us", pollUs, "--close-grace-ms", "500"};
  return Join(Join(args, names), steps);
}

std::vector<std::string> NameArgs(const std::string& first, const std::string& second) {
  return {"--first", first, "--second", second};
}

TEST(ChannelLayout, BlocksWrittenByTheOpenerReadBackRaw) {
  ScratchFolder scratch;
  RawBlocks raw;
  std::memset(static_cast<void*>(raw.Block(1)), 0xAB, sizeof(ChannelBlock));
  SetState(raw.Block(1), kBlockUnopened);
  PeerProcess peer(scratch, PeerArgs("open", raw.Args(),
                                     {"start", "send:203:h\xC3\xA9llo",
                                      "send:205:", "send:203:#259", "send:203:#260", "quit"}));

  Bytes bytes{};
  ASSERT_TRUE(raw.TakeSnapshot(1, bytes));
  EXPECT_EQ(StateOf(raw.Block(0)), kBlockFree) << "opening frees the receive block";
  EXPECT_EQ(Int32At(bytes, 0), 203);
  EXPECT_EQ(Int32At(bytes, 4), 1);
  const uint8_t hello[] = {'h', 0, 0xE9, 0, 'l', 0, 'l', 0, 'o', 0};
  EXPECT_EQ(std::memcmp(bytes.data() + 8, hello, sizeof(hello)), 0);
  for (size_t i = 8 + sizeof(hello); i < 528; ++i) ASSERT_EQ(bytes[i], 0) << "offset " << i;
  for (size_t i = 528; i < 1048; ++i) ASSERT_EQ(bytes[i], 0xAB) << "reserved touched at " << i;
  EXPECT_EQ(Int32At(bytes, 1048), kBlockWaiting);
  SetState(raw.Block(1), kBlockFree);

  ASSERT_TRUE(raw.TakeSnapshot(1, bytes));
  EXPECT_EQ(Int32At(bytes, 0), 205);
  for (size_t i = 8; i < 528; ++i) ASSERT_EQ(bytes[i], 0) << "empty text, offset " << i;
  SetState(raw.Block(1), kBlockFree);

  ASSERT_TRUE(raw.TakeSnapshot(1, bytes));
  for (size_t unit = 0; unit < 259; ++unit) ASSERT_EQ(bytes[8 + 2 * unit], 'a') << unit;
  EXPECT_EQ(bytes[8 + 2 * 259], 0);
  EXPECT_EQ(bytes[9 + 2 * 259], 0);
  SetState(raw.Block(1), kBlockFree);

  EXPECT_EQ(peer.Wait(), 0);
  EXPECT_EQ(peer.Count("send 203 1"), 2);
  EXPECT_EQ(peer.Count("send 205 1"), 1);
  EXPECT_EQ(peer.Count("send 203 0"), 1) << "a 260-unit text is refused";
  EXPECT_EQ(StateOf(raw.Block(1)), kBlockFree) << "the refused text wrote nothing";
}

TEST(ChannelSend, BackToBackSendWaitsUntilThePeerFreesTheBlock) {
  ScratchFolder scratch;
  RecordingCallback received(/*holdFirst=*/true);
  SharedMessageChannel channel;
  channel.SetTimings(FastTimings());
  channel.SetCallback(&received);
  const std::string first = "tavrin-test-" + RandomHex() + "-a";
  const std::string second = "tavrin-test-" + RandomHex() + "-b";
  channel.Start(platform::Utf8ToUtf16(first), platform::Utf8ToUtf16(second), 1);
  PeerProcess peer(scratch, PeerArgs("open", NameArgs(first, second),
                                     {"start", "send:203:one", "send:203:two", "close"}));

  ASSERT_TRUE(received.WaitCount(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  // The first message is still being handled, so the block is not free.
  EXPECT_EQ(peer.Count("send 203 1"), 1);
  received.ReleaseFirst();
  ASSERT_TRUE(received.WaitCount(2));
  const auto messages = received.Messages();
  EXPECT_EQ(messages[0].text, u"one");
  EXPECT_EQ(messages[1].text, u"two");
  EXPECT_EQ(messages[1].param, 1);
  EXPECT_EQ(peer.Wait(), 0);
  EXPECT_EQ(peer.Count("send 203 1"), 2);
  EXPECT_TRUE(WaitFor([&] { return !channel.IsReceiving(); }, 2000, 1))
      << "the peer's close ends our receiver";
}

TEST(ChannelSend, SendIntoABlockThePeerClosedIsWritten) {
  ScratchFolder scratch;
  RawBlocks raw;
  PeerProcess peer(scratch, PeerArgs("open", raw.Args(),
                                     {"start", "raw-open", "wait:2:-1", "send:203:x", "quit"}));
  ASSERT_TRUE(WaitFor([&] { return StateOf(raw.Block(1)) == kBlockFree; }, 10000, 1));
  SetState(raw.Block(1), kBlockClosed);
  EXPECT_EQ(peer.Wait(), 0);
  EXPECT_EQ(peer.Count("send 203 1"), 1);
  EXPECT_EQ(StateOf(raw.Block(1)), kBlockWaiting);
  EXPECT_EQ(raw.Block(1)->code, kMsgImage);
  EXPECT_EQ(BlockText(*raw.Block(1)), u"x");
}

TEST(ChannelSend, SendAfterCloseFailsAndWritesNothing) {
  ScratchFolder scratch;
  RawBlocks raw;
  PeerProcess peer(scratch, PeerArgs("open", raw.Args(), {"start", "close", "send:203:x"}));
  EXPECT_EQ(peer.Wait(), 0);
  EXPECT_EQ(peer.Count("send 203 0"), 1);
  EXPECT_EQ(raw.Block(1)->code, 0);
  EXPECT_EQ(StateOf(raw.Block(0)), kBlockClosed);
  EXPECT_EQ(StateOf(raw.Block(1)), kBlockClosed);
}

TEST(ChannelClose, CloseWithoutStartReturnsAtOnce) {
  ScratchFolder scratch;
  // Default timings: a wait would show as 100 ms or more.
  PeerProcess peer(scratch, {"--role", "open", "close", "send:203:x"});
  EXPECT_EQ(peer.Wait(), 0);
  const auto lines = peer.Lines();
  ASSERT_FALSE(lines.empty());
  int result = 0;
  int elapsedMs = -1;
  ASSERT_EQ(std::sscanf(lines.front().c_str(), "close %d %d", &result, &elapsedMs), 2);
  EXPECT_EQ(result, 1);
  EXPECT_LT(elapsedMs, 50);
  EXPECT_EQ(peer.Count("send 203 0"), 1);
}

TEST(ChannelReceive, PeerMarkingTheBlockClosedEndsTheReceiverAndCloseDoesNotWait) {
  ScratchFolder scratch;
  const std::string first = "tavrin-test-" + RandomHex() + "-a";
  const std::string second = "tavrin-test-" + RandomHex() + "-b";
  PeerProcess peer(scratch, PeerArgs("none", NameArgs(first, second),
                                     {"raw-create", "set:1:2", "set:2:2", "wait:1:1", "wait:2:1",
                                      "set:1:-1", "hold"}));
  ASSERT_TRUE(peer.WaitLine("done set", 2));
  RecordingCallback received;
  SharedMessageChannel channel;  // the product's 100 ms polling
  channel.SetCallback(&received);
  channel.Start(platform::Utf8ToUtf16(first), platform::Utf8ToUtf16(second), 0);
  EXPECT_TRUE(channel.IsReceiving());
  ASSERT_TRUE(peer.WaitLine("done set", 3));
  const auto marked = Clock::now();
  ASSERT_TRUE(WaitFor([&] { return !channel.IsReceiving(); }, 2000, 1));
  EXPECT_LT(ElapsedMs(marked), 350);
  const auto closing = Clock::now();
  channel.Close();
  EXPECT_LT(ElapsedMs(closing), 100);
  EXPECT_TRUE(received.Messages().empty());
}

TEST(ChannelOpen, MissingFirstNamePrintsOneLineAndTriesNothingElse) {
  ScratchFolder scratch;
  const std::string second = "tavrin-test-" + RandomHex() + "-b";
  PeerProcess peer(scratch, PeerArgs("none", NameArgs("unused", second),
                                     {"raw-create-second", "set:2:2", "hold"}));
  ASSERT_TRUE(peer.WaitLine("done set"));
  RecordingCallback received;
  SharedMessageChannel channel;
  channel.SetTimings(FastTimings());
  channel.SetCallback(&received);
  testing::internal::CaptureStdout();
  const int started = channel.Start(u"tavrin-test-missing-" + platform::Utf8ToUtf16(RandomHex()),
                                    platform::Utf8ToUtf16(second), 0);
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(started, 1);
  EXPECT_EQ(printed, "Could not open file mapping object (2).\n");
  EXPECT_FALSE(channel.Send(1, kMsgImage, u"x"));
  EXPECT_TRUE(WaitFor([&] { return !channel.IsReceiving(); }, 1000, 1));

  platform::SharedMemory view;
  ASSERT_EQ(view.Open(second, sizeof(ChannelBlock)), platform::ShmStatus::kOk);
  EXPECT_EQ(StateOf(static_cast<ChannelBlock*>(view.Data())), kBlockUnopened)
      << "the second block must not have been opened";
  channel.Close();
  EXPECT_TRUE(received.Messages().empty());
}

TEST(ChannelOpen, MissingSecondNameStillReceivesButCannotSend) {
  ScratchFolder scratch;
  const std::string first = "tavrin-test-" + RandomHex() + "-a";
  PeerProcess peer(scratch,
                   PeerArgs("none", NameArgs(first, "unused"),
                            {"raw-create-first", "set:1:2", "wait:1:1", "raw-msg:1:202", "hold"}));
  ASSERT_TRUE(peer.WaitLine("done set"));
  RecordingCallback received;
  SharedMessageChannel channel;
  channel.SetTimings(FastTimings());
  channel.SetCallback(&received);
  testing::internal::CaptureStdout();
  channel.Start(platform::Utf8ToUtf16(first),
                u"tavrin-test-missing-" + platform::Utf8ToUtf16(RandomHex()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Could not open file mapping object (2).\n");
  ASSERT_TRUE(received.WaitCount(1));
  EXPECT_EQ(received.Messages()[0].code, kMsgShow);
  EXPECT_FALSE(channel.Send(1, kMsgImage, u"x"));
  channel.Close();
}

TEST(ChannelSend, PeerThatNeverFreesTheBlockMakesSendGiveUp) {
  ScratchFolder scratch;
  const std::string first = "tavrin-test-" + RandomHex() + "-a";
  const std::string second = "tavrin-test-" + RandomHex() + "-b";
  PeerProcess peer(scratch, PeerArgs("none", NameArgs(first, second),
                                     {"raw-create", "set:2:2", "wait:2:1", "hold"}));
  ASSERT_TRUE(peer.WaitLine("done set"));
  SharedMessageChannel channel;
  ChannelTimings timings = FastTimings();
  timings.sendTimeoutMs = 300;
  timings.closeGraceMs = 200;
  channel.SetTimings(timings);
  channel.Start(platform::Utf8ToUtf16(first), platform::Utf8ToUtf16(second), 0);
  ASSERT_TRUE(peer.WaitLine("done wait"));
  EXPECT_TRUE(channel.Send(1, kMsgImage, u"first"));
  auto begin = Clock::now();
  EXPECT_FALSE(channel.Send(1, kMsgImage, u"second"));
  EXPECT_GE(ElapsedMs(begin), 300);
  EXPECT_LT(ElapsedMs(begin), 3000);
  // Nobody takes the waiting message, so Close waits its grace and no more.
  begin = Clock::now();
  channel.Close();
  EXPECT_GE(ElapsedMs(begin), 190);
  EXPECT_LT(ElapsedMs(begin), 2000);
}

TEST(ChannelClose, MessageSentRightBeforeCloseStillReachesThePeer) {
  ScratchFolder scratch;
  const std::string first = "tavrin-test-" + RandomHex() + "-a";
  const std::string second = "tavrin-test-" + RandomHex() + "-b";
  // Both sides poll every 100 ms, as in the product.
  PeerProcess peer(scratch, PeerArgs("create", NameArgs(first, second),
                                     {"start", "expect:1", "sleep:300", "close"}, "100000"));
  ASSERT_TRUE(peer.WaitLine("done start"));
  SharedMessageChannel channel;
  channel.Start(platform::Utf8ToUtf16(first), platform::Utf8ToUtf16(second), 0);
  EXPECT_TRUE(channel.Send(1, kMsgFileList, u"/home/u/Documents/DSConfig//FileList.xml"));
  const auto begin = Clock::now();
  channel.Close();
  EXPECT_LT(ElapsedMs(begin), 1500);
  EXPECT_TRUE(peer.WaitLine("recv 207 1 /home/u/Documents/DSConfig//FileList.xml"));
  EXPECT_EQ(peer.Wait(), 0);
  EXPECT_EQ(peer.Count("done close"), 1);
}

class ChannelHostilePeer : public testing::Test {
 protected:
  void StartWith(const std::vector<std::string>& damage) {
    std::vector<std::string> steps = {"raw-create", "set:1:2", "set:2:2", "wait:1:1", "wait:2:1"};
    steps.insert(steps.end(), damage.begin(), damage.end());
    steps.push_back("hold");
    peer = std::make_unique<PeerProcess>(scratch, PeerArgs("none", NameArgs(first, second), steps));
    // Both blocks must read 2 before we open them, or the wait for 1 hangs.
    ASSERT_TRUE(peer->WaitLine("done set", 2));
    ChannelTimings timings = FastTimings();
    timings.pollIntervalUs = 20000;
    timings.sendTimeoutMs = 300;
    channel.SetTimings(timings);
    channel.SetCallback(&received);
    channel.Start(platform::Utf8ToUtf16(first), platform::Utf8ToUtf16(second), 0);
  }

  ScratchFolder scratch;
  std::string first = "tavrin-test-" + RandomHex() + "-a";
  std::string second = "tavrin-test-" + RandomHex() + "-b";
  std::unique_ptr<PeerProcess> peer;
  RecordingCallback received;
  SharedMessageChannel channel;
};

TEST_F(ChannelHostilePeer, TruncatedReceiveBlockEndsTheReceiverWithoutAMessage) {
  StartWith({"truncate:1:16"});
  ASSERT_TRUE(peer->WaitLine("done truncate"));
  EXPECT_TRUE(WaitFor([&] { return !channel.IsReceiving(); }, 2000, 1));
  EXPECT_TRUE(channel.Send(1, kMsgImage, u"still goes out"));
  channel.Close();
  EXPECT_TRUE(received.Messages().empty());
}

TEST_F(ChannelHostilePeer, TruncatedSendBlockMakesSendFail) {
  StartWith({"truncate:2:16"});
  ASSERT_TRUE(peer->WaitLine("done truncate"));
  EXPECT_FALSE(channel.Send(1, kMsgImage, u"x"));
  EXPECT_FALSE(channel.Send(1, kMsgImage, u"y"));
  EXPECT_TRUE(channel.IsReceiving());
  channel.Close();
  EXPECT_TRUE(received.Messages().empty());
}

TEST_F(ChannelHostilePeer, UnlinkedBlocksKeepTheMappingSound) {
  StartWith({"unlink:1", "unlink:2", "sleep:100", "raw-msg:1:202"});
  ASSERT_TRUE(peer->WaitLine("done raw-msg"));
  ASSERT_TRUE(received.WaitCount(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto messages = received.Messages();
  ASSERT_EQ(messages.size(), 1u) << "only the message the peer really wrote";
  EXPECT_EQ(messages[0].code, kMsgShow);
  EXPECT_TRUE(channel.Send(1, kMsgImage, u"x"));
  channel.Close();
}

TEST(ChannelRoundTrip, TenThousandMessagesWithoutLossOrDuplicate) {
  constexpr int kRounds = 10000;
  ScratchFolder scratch;
  const std::string first = "tavrin-test-" + RandomHex() + "-a";
  const std::string second = "tavrin-test-" + RandomHex() + "-b";
  RecordingCallback received;
  SharedMessageChannel channel;
  ChannelTimings timings;
  timings.pollIntervalUs = 100;
  channel.SetTimings(timings);
  channel.SetCallback(&received);
  channel.Start(platform::Utf8ToUtf16(first), platform::Utf8ToUtf16(second), 1);
  ASSERT_TRUE(channel.MarkBlocksUnopened());
  PeerProcess peer(scratch,
                   PeerArgs("open", Join(NameArgs(first, second), {"--echo", "1"}),
                            {"start", "expect:" + std::to_string(kRounds), "close"}, "100"));
  ASSERT_TRUE(WaitFor([&] { return channel.PeerHasOpened(); }, 10000, 1));

  const auto begin = Clock::now();
  for (int i = 0; i < kRounds; ++i)
    ASSERT_TRUE(channel.Send(1, 1000 + i % 7, platform::Utf8ToUtf16(std::to_string(i))));
  ASSERT_TRUE(received.WaitCount(kRounds, 30000));
  const long long elapsedMs = ElapsedMs(begin);
  std::printf("%d round trips in %lld ms\n", kRounds, elapsedMs);
  EXPECT_EQ(peer.Wait(), 0);
  const auto messages = received.Messages();
  ASSERT_EQ(messages.size(), static_cast<size_t>(kRounds));
  for (int i = 0; i < kRounds; ++i) {
    ASSERT_EQ(messages[i].text, platform::Utf8ToUtf16(std::to_string(i))) << "at " << i;
    ASSERT_EQ(messages[i].code, 1000 + i % 7);
  }
  EXPECT_TRUE(WaitFor([&] { return !channel.IsReceiving(); }, 2000, 1));
}

}  // namespace
}  // namespace tavrin::test
