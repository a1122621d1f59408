// SharedMessageChannel: two named 1052-byte shared-memory blocks, one per
// direction, each holding at most one message, with a polling receiver.
// Threads: Start and Close on the owner's thread; Send on the owner's thread
// and on the receiver thread (inside OnMessage); OnMessage on the receiver
// thread only.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/shared_memory.h"

namespace tavrin {

// Wire format shared with another process: little-endian, no gaps.
struct ChannelBlock {
  int32_t code = 0;
  int32_t param = 0;
  char16_t text[260] = {};
  char16_t reserved[260] = {};
  int32_t state = 0;
};

static_assert(std::endian::native == std::endian::little);
static_assert(sizeof(ChannelBlock) == 1052);
static_assert(offsetof(ChannelBlock, code) == 0);
static_assert(offsetof(ChannelBlock, param) == 4);
static_assert(offsetof(ChannelBlock, text) == 8);
static_assert(offsetof(ChannelBlock, reserved) == 528);
static_assert(offsetof(ChannelBlock, state) == 1048);
static_assert(std::atomic_ref<int32_t>::is_always_lock_free);

// Values of ChannelBlock::state.
inline constexpr int32_t kBlockWaiting = 0;
inline constexpr int32_t kBlockFree = 1;
inline constexpr int32_t kBlockClosed = -1;
// Set by the data source after creating a block; a receiver leaves it alone
// and the window's open turns it into kBlockFree, which tells the data
// source that the window has attached.
inline constexpr int32_t kBlockUnopened = 2;

// A text longer than this does not fit with its terminating zero unit.
inline constexpr size_t kMaxBlockTextUnits = 259;

// The text of a block up to its first zero unit, never past the field even
// when a broken peer left no zero in it.
std::u16string BlockText(const ChannelBlock& block);

class ITwainDsCallback {
 public:
  // Runs on the receiver thread while the block is in state 0; the pointer
  // must not be kept after the call. The result is ignored.
  virtual int OnMessage(ChannelBlock* block) = 0;

 protected:
  ~ITwainDsCallback() = default;
};

// Timings; the product always uses the defaults. Tests and benchmarks shorten
// them so that thousands of messages pass in seconds.
struct ChannelTimings {
  // Receiver poll, sender wait, close wait. A page from a scanning
  // application crosses the channel three times (request, file, close), each
  // waiting up to one poll: at 10 ms that is a few hundredths of a second of
  // a page instead of a few tenths at 100 ms, for about 0.2 % of a core on
  // each side while a window is open (5 ms would cost twice that).
  int pollIntervalUs = 10000;
  int sendTimeoutMs = 10000;  // Send gives up on a peer that never frees the block
  int closeGraceMs = 2000;    // Close lets a waiting message be taken first
};

class SharedMessageChannel {
 public:
  SharedMessageChannel() = default;
  ~SharedMessageChannel();
  SharedMessageChannel(const SharedMessageChannel&) = delete;
  SharedMessageChannel& operator=(const SharedMessageChannel&) = delete;

  void SetCallback(ITwainDsCallback* cb) { callback = cb; }
  // Before Start.
  void SetTimings(const ChannelTimings& value) { timings = value; }
  const ChannelTimings& Timings() const { return timings; }

  // createFlag 1: create both blocks (the data source); 0: open them (the
  // scan window). Returns 1 whether or not the blocks could be had.
  int Start(const std::u16string& first, const std::u16string& second, int createFlag);
  // False when there is no send block, the text is over 259 units, the peer
  // did not free the block within the send timeout, or the channel closes.
  bool Send(int param, int code, std::u16string_view text);
  // Marks both blocks closed and waits for the receiver. Always 1.
  int Close();

  // True while the receiver loop runs.
  bool IsReceiving() const { return receiverStopped.load() == 0; }
  // True while a message waits in the send block for the peer.
  bool SendPending() const;
  // True while a message waits in the receive block (not yet handled).
  bool ReceivePending() const;
  // Creator side: stores kBlockUnopened into both blocks. PeerHasOpened is
  // true once neither block holds that value any more.
  bool MarkBlocksUnopened();
  bool PeerHasOpened() const;
  // The peer's process is known to have ended: Close then does not wait for
  // it to take a message.
  void MarkPeerGone() { peerClosed = true; }
  // Creator side, once the peer has opened both blocks: their names are
  // not needed any more and go, so that a crash of either side leaves no
  // object behind.
  void UnlinkBlockNames() {
    firstBlock.mapping.UnlinkName();
    secondBlock.mapping.UnlinkName();
  }

 private:
  struct BlockSlot {
    platform::SharedMemory mapping;
    std::atomic<ChannelBlock*> active = nullptr;
    ChannelBlock* view = nullptr;
  };

  int CreateBlocks();
  int OpenBlocks();
  bool CreateBlock(BlockSlot& slot, const std::u16string& name);
  void ReceiverLoop();
  BlockSlot& SendSlot() { return createFlag == 1 ? firstBlock : secondBlock; }
  BlockSlot& ReceiveSlot() { return createFlag == 1 ? secondBlock : firstBlock; }
  const BlockSlot& SendSlot() const { return createFlag == 1 ? firstBlock : secondBlock; }
  const BlockSlot& ReceiveSlot() const { return createFlag == 1 ? secondBlock : firstBlock; }
  void SleepPoll() const;
  void ReleaseSlot(BlockSlot& slot);

  std::u16string firstName;
  std::u16string secondName;
  ITwainDsCallback* callback = nullptr;
  int createFlag = 0;
  std::atomic<int> receiverStopped = 1;
  BlockSlot firstBlock;
  BlockSlot secondBlock;
  std::thread receiver;

  ChannelTimings timings;
  std::atomic<bool> closing = false;
  // Set when the peer closed our receive block (or it shrank): nobody will
  // take a waiting message any more.
  std::atomic<bool> peerClosed = false;
  // Serialises senders and keeps Close from unmapping the send block under
  // a Send.
  mutable std::mutex sendMutex;
  // Keeps Close's -1 and the receiver's unmapping of the receive block apart.
  mutable std::mutex receiveMutex;
};

}  // namespace tavrin
