// A data source that misbehaves on purpose. It creates the two blocks
// itself, writes cfgInfo.xml and ShowModel.xml, starts the real TavrinDesk
// from a private copy of the program folder (own HOME and TMPDIR, a virtual
// document camera) and then talks to it through raw block access, so that
// each case can break the handshake in its own way.
// Threads: the test thread drives; one taker thread reads the block the
// window sends on.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dslink/shared_message_channel.h"
#include "platform/shared_memory.h"

namespace tavrin::hostile {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The window's own bounds; the cases allow a margin on top for a loaded
// machine and a sanitizer build.
inline constexpr int kWindowPollMs = 100;
inline constexpr int kWindowSendBoundMs = 10000;
inline constexpr int kWindowCloseGraceMs = 2000;

// Loops per case: TAVRIN_HOSTILE_LOOPS, else the build's default (10 under
// the sanitizers, 3 otherwise).
int Loops();
// A margin for the time a sanitizer build and a busy machine add.
int SlackMs();

// One message the window sent.
struct Received {
  int32_t code = 0;
  std::string text;
};

// The private program folder and the per-user folders of one test.
class Layout {
 public:
  Layout();
  ~Layout();
  Layout(const Layout&) = delete;
  Layout& operator=(const Layout&) = delete;

  bool ok = false;
  fs::path root;
  fs::path bin;
  fs::path home;
  fs::path tmp;
  fs::path configFolder;  // Documents/DSConfig
  // The programs' private folder under tmp, which they make themselves.
  fs::path PrivateTmp() const { return tmp / ("tavrin-" + std::to_string(getuid())); }
  fs::path WorkFolder() const { return PrivateTmp() / "Tavrin"; }
  // Captured files now in the working folder.
  std::vector<fs::path> WorkFiles() const;
  std::vector<std::string> Environment() const;
};

enum class BlockTrap { kNone, kOpenToOthers, kOtherOwner };

class HostilePeer {
 public:
  explicit HostilePeer(const Layout& layout);
  ~HostilePeer();
  HostilePeer(const HostilePeer&) = delete;
  HostilePeer& operator=(const HostilePeer&) = delete;

  // Creates both blocks (state 2, "not yet opened") and the files; a trap
  // applies to the blocks given by trapFirst / trapSecond.
  bool Prepare(int showMode, BlockTrap trap = BlockTrap::kNone, bool trapFirst = true,
               bool trapSecond = true);
  bool WriteShowModel(int showMode);
  bool WriteShowModelBytes(const std::string& bytes);
  // Starts the window and waits until it has opened the first block (and
  // the second, when expected).
  bool Launch(bool expectSecond = true, int timeoutMs = 60000);
  bool StartWindowOnly();

  // Raw state of a block (1: the window receives, 2: it sends).
  int32_t State(int which);
  void SetState(int which, int32_t value);
  // Waits until the window freed the first block; the time it took, or
  // nothing when it did not within timeoutMs.
  std::optional<int> WaitFreed(int timeoutMs);
  // Writes a message into the first block once it is free.
  bool Send(int32_t code, int timeoutMs);
  // Writes a message whatever the block's state, as a broken peer would.
  void Overwrite(int32_t code);
  // Garbage code, param, text and reserved, then state.
  void WriteGarbage(int32_t code, uint32_t seed, int32_t state);

  // The taker frees the block the window sends on unless told not to.
  void SetTakeMessages(bool take) { takeMessages = take; }
  std::vector<Received> Messages();
  // Waits until count messages arrived.
  bool WaitMessages(size_t count, int timeoutMs);
  // The text of a message waiting unread in the window's send block.
  std::optional<Received> Pending();

  // Truncates a block (the taker and sender leave it alone from then on).
  bool Truncate(int which, off_t size);
  // Shrinks the block to nothing and grows it back, over and over, for
  // durationMs; it ends at its full size (and zeroed). The number of flaps.
  long FlapSize(int which, int durationMs);
  bool UnlinkBoth();
  // Unlinks a block's name and creates another block under it, open to
  // others; the window keeps the one it mapped. The new block stays 2.
  bool RecreateOpenToOthers(int which);
  int32_t RecreatedState(int which);

  // True when the window's process has either block mapped.
  bool WindowMapsBlocks() const;
  bool WindowRunning();
  // Waits for the window to end; its exit status, or nothing.
  std::optional<int> WaitWindowExit(int timeoutMs);
  void KillWindow();
  int Pid() const { return pid; }

 private:
  ChannelBlock* Block(int which);
  void TakerLoop();
  bool CreateBlock(int which, BlockTrap trap);

  const Layout& layout;
  std::string names[2];
  platform::SharedMemory blocks[2];
  platform::SharedMemory recreated[2];
  bool gone[2] = {false, false};
  std::mutex blockMutex;  // held over every access to the blocks
  int pid = -1;
  std::optional<int> exitStatus;

  std::atomic<bool> takeMessages = true;
  std::atomic<bool> stopTaker = false;
  std::thread taker;
  std::mutex messagesMutex;
  std::vector<Received> messages;
};

}  // namespace tavrin::hostile
