#include "dslink/shared_message_channel.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/text.h"

namespace tavrin {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic_ref<int32_t> StateOf(ChannelBlock* block) {
  return std::atomic_ref<int32_t>(block->state);
}

int32_t LoadState(ChannelBlock* block) {
  return StateOf(block).load(std::memory_order_acquire);
}

void StoreState(ChannelBlock* block, int32_t value) {
  StateOf(block).store(value, std::memory_order_release);
}

// The system error code of the message line; the platform layer reports a
// refused or absent block as missing.
int OpenErrorCode(platform::ShmStatus status) {
  return status == platform::ShmStatus::kMissing ? 2 : 5;
}

}  // namespace

std::u16string BlockText(const ChannelBlock& block) {
  const char16_t* begin = block.text;
  const char16_t* end = std::find(begin, begin + std::size(block.text), u'\0');
  return std::u16string(begin, end);
}

SharedMessageChannel::~SharedMessageChannel() {
  Close();
  if (receiver.joinable()) {
    if (receiver.get_id() == std::this_thread::get_id())
      receiver.detach();
    else
      receiver.join();
  }
}

void SharedMessageChannel::SleepPoll() const {
  std::this_thread::sleep_for(std::chrono::microseconds(std::max(1, timings.pollIntervalUs)));
}

int SharedMessageChannel::Start(const std::u16string& first, const std::u16string& second,
                                int flag) {
  if (receiver.joinable()) return 1;  // started once per channel
  firstName = first;
  secondName = second;
  createFlag = flag;
  closing = false;
  peerClosed = false;
  if (createFlag == 1)
    CreateBlocks();
  else
    OpenBlocks();
  // Set here, not on the new thread, so that IsReceiving is true as soon as
  // Start returns with a receive block.
  if (ReceiveSlot().active.load() != nullptr) receiverStopped = 0;
  receiver = std::thread([this] { ReceiverLoop(); });
  return 1;
}

bool SharedMessageChannel::CreateBlock(BlockSlot& slot, const std::u16string& name) {
  slot.active = nullptr;
  slot.view = nullptr;
  if (slot.mapping.Create(platform::Utf16ToUtf8(name), sizeof(ChannelBlock)) !=
      platform::ShmStatus::kOk)
    return false;
  slot.view = static_cast<ChannelBlock*>(slot.mapping.Data());
  slot.active = slot.view;
  StoreState(slot.view, kBlockFree);
  return true;
}

int SharedMessageChannel::CreateBlocks() {
  if (!CreateBlock(firstBlock, firstName)) return 0;
  if (!CreateBlock(secondBlock, secondName)) return 0;
  return 1;
}

int SharedMessageChannel::OpenBlocks() {
  for (BlockSlot* slot : {&firstBlock, &secondBlock}) {
    const std::u16string& name = slot == &firstBlock ? firstName : secondName;
    slot->active = nullptr;
    slot->view = nullptr;
    const platform::ShmStatus status =
        slot->mapping.Open(platform::Utf16ToUtf8(name), sizeof(ChannelBlock));
    if (status != platform::ShmStatus::kOk) {
      std::printf("Could not open file mapping object (%d).\n", OpenErrorCode(status));
      std::fflush(stdout);
      return 0;
    }
    slot->view = static_cast<ChannelBlock*>(slot->mapping.Data());
    slot->active = slot->view;
    // Opening resets the block: a message that waited in it is dropped.
    StoreState(slot->view, kBlockFree);
  }
  return 1;
}

void SharedMessageChannel::ReleaseSlot(BlockSlot& slot) {
  slot.active = nullptr;
  slot.view = nullptr;
  slot.mapping.Close();
}

void SharedMessageChannel::ReceiverLoop() {
  BlockSlot& slot = ReceiveSlot();
  if (slot.active.load() == nullptr) return;
  for (;;) {
    ChannelBlock* block = slot.active.load();
    if (block == nullptr) break;
    // A peer that shrank the block would make the next access fault.
    if (!slot.mapping.StillValid()) {
      peerClosed = true;
      break;
    }
    const int32_t state = LoadState(block);
    if (state < 0) {
      peerClosed = true;
      break;
    }
    if (state == kBlockWaiting) {
      if (callback != nullptr) callback->OnMessage(block);
      if (slot.active.load() == nullptr) break;
      if (!slot.mapping.StillValid()) {
        peerClosed = true;
        break;
      }
      // Only a message we handled is freed: a -1 that the peer wrote in the
      // meantime must survive, or we would never learn that it closed.
      int32_t expected = kBlockWaiting;
      if (!StateOf(block).compare_exchange_strong(expected, kBlockFree,
                                                  std::memory_order_acq_rel) &&
          expected < 0) {
        peerClosed = true;
        break;
      }
    }
    SleepPoll();
  }
  std::lock_guard lock(receiveMutex);
  receiverStopped = 1;
  ReleaseSlot(slot);
}

bool SharedMessageChannel::Send(int param, int code, std::u16string_view text) {
  if (text.size() > kMaxBlockTextUnits) return false;
  std::lock_guard lock(sendMutex);
  BlockSlot& slot = SendSlot();
  ChannelBlock* block = slot.active.load();
  if (block == nullptr) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timings.sendTimeoutMs);
  for (;;) {
    if (!slot.mapping.StillValid()) {
      slot.active = nullptr;  // never touch a shrunken block again
      return false;
    }
    if (LoadState(block) != kBlockWaiting) break;
    if (closing.load() || Clock::now() >= deadline) return false;
    SleepPoll();
  }
  block->code = code;
  block->param = param;
  std::memset(block->text, 0, sizeof(block->text));
  std::copy(text.begin(), text.end(), block->text);
  StoreState(block, kBlockWaiting);
  // Shrunk while we wrote: the message went into pages the peer never sees.
  if (!slot.mapping.StillValid()) {
    slot.active = nullptr;
    return false;
  }
  return true;
}

int SharedMessageChannel::Close() {
  closing = true;
  {
    std::lock_guard lock(sendMutex);
    BlockSlot& slot = SendSlot();
    if (ChannelBlock* block = slot.active.load(); block != nullptr) {
      // The last message of a run (the file list, the closing 205) must not
      // be overwritten before the peer took it.
      const auto deadline = Clock::now() + std::chrono::milliseconds(timings.closeGraceMs);
      while (slot.mapping.StillValid() && !peerClosed.load() && LoadState(block) == kBlockWaiting &&
             Clock::now() < deadline)
        SleepPoll();
      if (slot.mapping.StillValid()) StoreState(block, kBlockClosed);
      slot.active = nullptr;
    }
    // The receiver releases its own block; the send block is ours to release.
    if (slot.view != nullptr) ReleaseSlot(slot);
  }
  {
    std::lock_guard lock(receiveMutex);
    BlockSlot& slot = ReceiveSlot();
    if (ChannelBlock* block = slot.active.load(); block != nullptr) {
      if (slot.mapping.StillValid()) StoreState(block, kBlockClosed);
      slot.active = nullptr;
    }
  }
  if (receiver.joinable() && receiver.get_id() != std::this_thread::get_id()) receiver.join();
  return 1;
}

bool SharedMessageChannel::SendPending() const {
  std::lock_guard lock(sendMutex);
  const BlockSlot& slot = SendSlot();
  ChannelBlock* block = slot.active.load();
  return block != nullptr && slot.mapping.StillValid() && LoadState(block) == kBlockWaiting;
}

bool SharedMessageChannel::ReceivePending() const {
  std::lock_guard lock(receiveMutex);
  const BlockSlot& slot = ReceiveSlot();
  ChannelBlock* block = slot.active.load();
  return block != nullptr && slot.mapping.StillValid() && LoadState(block) == kBlockWaiting;
}

bool SharedMessageChannel::MarkBlocksUnopened() {
  std::scoped_lock lock(sendMutex, receiveMutex);
  bool marked = true;
  for (BlockSlot* slot : {&firstBlock, &secondBlock}) {
    ChannelBlock* block = slot->active.load();
    if (block == nullptr || !slot->mapping.StillValid()) {
      marked = false;
      continue;
    }
    StoreState(block, kBlockUnopened);
  }
  return marked;
}

bool SharedMessageChannel::PeerHasOpened() const {
  std::scoped_lock lock(sendMutex, receiveMutex);
  for (const BlockSlot* slot : {&firstBlock, &secondBlock}) {
    ChannelBlock* block = slot->active.load();
    if (block == nullptr || !slot->mapping.StillValid()) return false;
    if (LoadState(block) == kBlockUnopened) return false;
  }
  return true;
}

}  // namespace tavrin
