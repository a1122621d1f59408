// Arbitrary contents of one 1052-byte block, handed to CTwainControl's
// OnMessage directly and pushed through a real pair of shared-memory blocks
// to the window's receiver loop, with a data source's channel on the other
// side. Each path must call the window exactly as the message code says,
// free only a waiting block, never write the payload, and stop on a
// negative state.
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dslink/shared_message_channel.h"
#include "dslink/twain_control.h"
#include "fuzz/fuzz_entries.h"
#include "platform/shared_memory.h"
#include "platform/text.h"

namespace tavrin::fuzzing {
namespace {

using Clock = std::chrono::steady_clock;

// A hang in the receiver or in a handler is a finding, not a slow input.
constexpr auto kHandleTimeout = std::chrono::seconds(5);
const std::u16string kCapturedFile = u"/nonexistent/1_1.jpg";

// Records the window calls in order, as single letters.
class RecordingWindow : public ITwainShowWindow {
 public:
  int Idle() override { return Record('i'); }
  int ShowTwainWindow(int show) override { return Record(show == 1 ? 's' : 'S'); }
  int CaptureImage() override {
    Record('c');
    // What the scan window does with a capture in mode 1: hand it on.
    if (control != nullptr && control->SendImage(kCapturedFile) != 1) Record('!');
    return 1;
  }
  int LockMerge(int) override { return Record('l'); }
  int CloseTwainWindow() override { return Record('x'); }
  int ApplyShowModel() override {
    Record('a');
    if (control != nullptr) control->ReadShowModel();
    return 1;
  }

  std::string Take() {
    std::lock_guard lock(mutex);
    std::string out;
    out.swap(calls);
    return out;
  }

  CTwainControl* control = nullptr;

 private:
  int Record(char call) {
    std::lock_guard lock(mutex);
    calls += call;
    return 1;
  }
  std::mutex mutex;
  std::string calls;
};

// Held in an optional, which destroys it by its own type.
class LinkedControl final : public CTwainControl {
 public:
  using CTwainControl::CTwainControl;
};

// The data source's side: takes what the window sends.
class DataSourceSide : public ITwainDsCallback {
 public:
  int OnMessage(ChannelBlock* block) override {
    if (block->code != kMsgImage || BlockText(*block) != kCapturedFile) __builtin_trap();
    return 1;
  }
};

std::string ExpectedCalls(int32_t code) {
  switch (code) {
    case kMsgShow:
      return "s";
    case kMsgClose:
      return "x";
    case kMsgRequest:
      return "ac";  // ShowModel.xml holds mode 1
    default:
      return "";
  }
}

ChannelTimings FastTimings() {
  ChannelTimings timings;
  timings.pollIntervalUs = 1;
  timings.sendTimeoutMs = 5000;
  timings.closeGraceMs = 0;
  return timings;
}

// Scratch folder with the data source's files; removed at exit.
class Scratch {
 public:
  Scratch() {
    std::random_device random;
    folder = std::filesystem::temp_directory_path() /
             ("tavrin-fuzz-channel-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "TavrinSource.ds") << "";
    std::ofstream(folder / "ShowModel.xml")
        << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<cfg><ShowMode>1</ShowMode>"
           "<ColorType>2</ColorType><RotateMode>0</RotateMode><DPIMode>200</DPIMode></cfg>\n";
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  std::filesystem::path folder;
};

// One linked pair: the data source's creator channel and the window's
// control, which opens the blocks through cfgInfo.xml as in the product.
struct Link {
  explicit Link(const Scratch& scratch) {
    static int generation = 0;
    static const std::string run = std::to_string(std::random_device{}());
    const std::string stem = "tavrin-fuzz-" + run + "-" + std::to_string(++generation);
    const std::string first = stem + "-a";
    const std::string second = stem + "-b";
    dataSource.SetTimings(FastTimings());
    dataSource.SetCallback(&dataSourceSide);
    dataSource.Start(platform::Utf8ToUtf16(first), platform::Utf8ToUtf16(second), 1);
    std::ofstream(scratch.folder / "cfgInfo.xml")
        << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<cfg><Name>" << first
        << "</Name><m_strImgExe>" << second << "</m_strImgExe></cfg>\n";
    TwainLocations where;
    where.dataSourcePath = platform::Utf8ToUtf16((scratch.folder / "TavrinSource.ds").string());
    where.configFolder = platform::Utf8ToUtf16(scratch.folder.string() + "/");
    where.tempFolder = where.configFolder;
    control.emplace(where);
    control->Channel().SetTimings(FastTimings());
    window.control = &*control;
    if (control->Attach(&window) != 1 || !control->Channel().IsReceiving()) __builtin_trap();
    // The window's receive block is the data source's first block, mapped
    // here a second time as the raw peer that writes arbitrary contents.
    if (raw.Open(first, sizeof(ChannelBlock)) != platform::ShmStatus::kOk) __builtin_trap();
    window.Take();  // Attach reads ShowModel.xml but calls nothing
  }
  ~Link() {
    control->Finish();
    control.reset();
    dataSource.Close();
  }

  ChannelBlock* Block() const { return static_cast<ChannelBlock*>(raw.Data()); }

  DataSourceSide dataSourceSide;
  SharedMessageChannel dataSource;
  RecordingWindow window;
  std::optional<LinkedControl> control;
  platform::SharedMemory raw;
};

int32_t LoadState(ChannelBlock* block) {
  return std::atomic_ref<int32_t>(block->state).load(std::memory_order_acquire);
}

void StoreState(ChannelBlock* block, int32_t value) {
  std::atomic_ref<int32_t>(block->state).store(value, std::memory_order_release);
}

void CheckBlockText(const ChannelBlock& block) {
  const std::u16string text = BlockText(block);
  if (text.size() > std::size(block.text)) __builtin_trap();
  if (text.find(u'\0') != std::u16string::npos) __builtin_trap();
  if (std::memcmp(text.data(), block.text, text.size() * sizeof(char16_t)) != 0) __builtin_trap();
  if (text.size() < std::size(block.text) && block.text[text.size()] != u'\0') __builtin_trap();
}

// Straight into OnMessage, as the receiver thread would call it.
void ThroughOnMessage(Link& link, const ChannelBlock& contents) {
  ChannelBlock block = contents;
  CheckBlockText(block);
  if (link.control->OnMessage(&block) != 1) __builtin_trap();
  if (link.window.Take() != ExpectedCalls(contents.code)) __builtin_trap();
  if (std::memcmp(&block, &contents, sizeof block) != 0) __builtin_trap();
}

// Through the shared block and the window's receiver loop. Returns false
// when the input ended the receiver, so the link must be made anew.
bool ThroughReceiver(Link& link, const ChannelBlock& contents) {
  ChannelBlock* block = link.Block();
  std::memcpy(static_cast<void*>(block), &contents, offsetof(ChannelBlock, state));
  StoreState(block, contents.state);
  const auto deadline = Clock::now() + kHandleTimeout;
  if (contents.state == kBlockWaiting) {
    // Freed only after the handler has returned, so the calls are complete.
    while (LoadState(block) == kBlockWaiting) {
      if (Clock::now() >= deadline) __builtin_trap();
      std::this_thread::yield();
    }
    if (LoadState(block) != kBlockFree) __builtin_trap();
    if (link.window.Take() != ExpectedCalls(contents.code)) __builtin_trap();
  } else if (contents.state < 0) {
    while (link.control->Channel().IsReceiving()) {
      if (Clock::now() >= deadline) __builtin_trap();
      std::this_thread::yield();
    }
    if (!link.window.Take().empty()) __builtin_trap();
  }
  // The receiver writes nothing but the state word.
  if (std::memcmp(block, &contents, offsetof(ChannelBlock, state)) != 0) __builtin_trap();
  if (contents.state != kBlockWaiting && LoadState(block) != contents.state) __builtin_trap();
  return contents.state >= 0;
}

}  // namespace

int ChannelBlockFuzzOne(const uint8_t* data, size_t size) {
  static Scratch scratch;
  static std::unique_ptr<Link> link;
  if (!link) link = std::make_unique<Link>(scratch);

  ChannelBlock contents;
  std::memcpy(static_cast<void*>(&contents), data, std::min(size, sizeof contents));
  ThroughOnMessage(*link, contents);
  if (!ThroughReceiver(*link, contents)) link.reset();
  // The next input is written as a peer writes: into a free block.
  if (link) StoreState(link->Block(), kBlockFree);
  return 0;
}

}  // namespace tavrin::fuzzing
