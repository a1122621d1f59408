#include "tests/hostile/hostile_peer.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/text.h"

namespace tavrin::hostile {
namespace {

std::atomic_ref<int32_t> StateOf(ChannelBlock* block) {
  return std::atomic_ref<int32_t>(block->state);
}

std::string RandomHex() {
  static std::mt19937_64 generator{std::random_device{}()};
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(generator()));
  return text;
}

bool WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool CopyTree(const fs::path& from, const fs::path& to) {
  std::error_code error;
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing, error);
  return !error;
}

std::string ShmFile(const std::string& name) {
  return "/dev/shm" + platform::SharedMemory::PosixName(name);
}

uid_t OtherUser() {
  if (const passwd* nobody = getpwnam("nobody")) return nobody->pw_uid;
  return 65534;
}

int EnvInt(const char* name) {
  const std::string text = platform::Environment(name);
  return text.empty() ? 0 : std::atoi(text.c_str());
}

// Single crop, JPEG, colour: every request gives exactly one file.
const char kSettings[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Setting><cutType>1</cutType>"
    "<fileType>1</fileType><colorType>0</colorType></Setting>\n";

}  // namespace

int Loops() {
  if (const int loops = EnvInt("TAVRIN_HOSTILE_LOOPS"); loops > 0) return loops;
  return TAVRIN_HOSTILE_DEFAULT_LOOPS;
}

int SlackMs() {
  const int slack = EnvInt("TAVRIN_HOSTILE_SLACK_MS");
  return slack > 0 ? slack : 5000;
}

Layout::Layout() {
  root = fs::temp_directory_path() / ("tavrin-hostile-" + RandomHex());
  bin = root / "bin";
  home = root / "home";
  tmp = root / "tmp";
  configFolder = home / "Documents" / "DSConfig";
  std::error_code error;
  if (!fs::create_directories(bin, error) || !fs::create_directories(configFolder, error) ||
      !fs::create_directories(tmp, error))
    return;
  // Private, as a runtime folder must be; the programs' own folder in it is
  // made here too, so that a case can plant things there before they start.
  fs::permissions(tmp, fs::perms::owner_all, error);
  if (!fs::create_directories(PrivateTmp(), error)) return;
  fs::permissions(PrivateTmp(), fs::perms::owner_all, error);
  const fs::path from = TAVRIN_PROGRAM_FOLDER;
  for (const char* name : {"TavrinDesk", "libTavrinLens.so", "TavrinSource.ds", "tavrin-scan"}) {
    fs::copy_file(from / name, bin / name, error);
    if (error) return;
  }
  if (!CopyTree(from / "Language", bin / "Language")) return;
  ok = WriteFile(bin / "LastSetting.xml", kSettings);
}

Layout::~Layout() {
  platform::DeleteFolderTree(root.string());
}

std::vector<fs::path> Layout::WorkFiles() const {
  std::vector<fs::path> files;
  std::error_code error;
  for (auto it = fs::directory_iterator(WorkFolder(), error); !error && it != fs::end(it);
       it.increment(error))
    if (it->is_regular_file() && it->path().extension() == ".jpg") files.push_back(it->path());
  return files;
}

std::vector<std::string> Layout::Environment() const {
  return {"HOME=" + home.string(), "TMPDIR=" + tmp.string(),
          "XDG_CONFIG_HOME=" + (home / ".config").string(), "XDG_RUNTIME_DIR=" + tmp.string(),
          "QT_QPA_PLATFORM=offscreen", "TAVRIN_LENS_V4L2=0",
          // Small frames keep two hundred captures per case short.
          "TAVRIN_LENS_VIRTUAL=document?sizes=640x480", "TAVRIN_LENS_VIRTUAL_FILE="};
}

HostilePeer::HostilePeer(const Layout& where) : layout(where) {
  const std::string stem = "TavrinHostile-" + std::to_string(getpid()) + "-" + RandomHex();
  names[0] = stem + "-1";
  names[1] = stem + "-2";
}

HostilePeer::~HostilePeer() {
  stopTaker = true;
  if (taker.joinable()) taker.join();
  if (WindowRunning()) KillWindow();
  std::lock_guard lock(blockMutex);
  for (int i = 0; i < 2; ++i) {
    recreated[i].Close();
    blocks[i].Close();
  }
}

bool HostilePeer::CreateBlock(int which, BlockTrap trap) {
  if (blocks[which].Create(names[which], sizeof(ChannelBlock)) != platform::ShmStatus::kOk)
    return false;
  ChannelBlock* block = static_cast<ChannelBlock*>(blocks[which].Data());
  std::memset(static_cast<void*>(block), 0, sizeof(ChannelBlock));
  StateOf(block).store(kBlockUnopened);
  const std::string file = ShmFile(names[which]);
  if (trap == BlockTrap::kOpenToOthers) return chmod(file.c_str(), 0666) == 0;
  if (trap == BlockTrap::kOtherOwner) return chown(file.c_str(), OtherUser(), OtherUser()) == 0;
  return true;
}

bool HostilePeer::Prepare(int showMode, BlockTrap trap, bool trapFirst, bool trapSecond) {
  if (!CreateBlock(0, trapFirst ? trap : BlockTrap::kNone) ||
      !CreateBlock(1, trapSecond ? trap : BlockTrap::kNone))
    return false;
  std::ostringstream cfg;
  cfg << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<cfg>\r\n<Name>" << names[0]
      << "</Name>\r\n<m_strImgExe>" << names[1] << "</m_strImgExe>\r\n</cfg>\r\n";
  return WriteFile(layout.bin / "cfgInfo.xml", cfg.str()) && WriteShowModel(showMode);
}

bool HostilePeer::WriteShowModel(int showMode) {
  return WriteShowModelBytes("<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<cfg>\r\n<ShowMode>" +
                             std::to_string(showMode) +
                             "</ShowMode>\r\n<ColorType>2</ColorType>\r\n<RotateMode>0</"
                             "RotateMode>\r\n<DPIMode>0</DPIMode>\r\n</cfg>\r\n");
}

bool HostilePeer::WriteShowModelBytes(const std::string& bytes) {
  // Replaced in one step, as a data source should: the window may read the
  // file at any moment.
  const fs::path target = layout.configFolder / "ShowModel.xml";
  const fs::path scratch = layout.configFolder / "ShowModel.xml.new";
  if (!WriteFile(scratch, bytes)) return false;
  std::error_code error;
  fs::rename(scratch, target, error);
  return !error;
}

bool HostilePeer::StartWindowOnly() {
  std::string error;
  pid = platform::SpawnProcess((layout.bin / "TavrinDesk").string(), {}, layout.Environment(),
                               &error);
  if (pid <= 0) return false;
  taker = std::thread([this] { TakerLoop(); });
  return true;
}

bool HostilePeer::Launch(bool expectSecond, int timeoutMs) {
  if (!StartWindowOnly()) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (State(0) == kBlockUnopened || (expectSecond && State(1) == kBlockUnopened)) {
    if (!WindowRunning() || Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

ChannelBlock* HostilePeer::Block(int which) {
  if (gone[which] || !blocks[which].IsOpen()) return nullptr;
  return static_cast<ChannelBlock*>(blocks[which].Data());
}

int32_t HostilePeer::State(int which) {
  std::lock_guard lock(blockMutex);
  ChannelBlock* block = Block(which);
  return block != nullptr ? StateOf(block).load() : INT32_MIN;
}

void HostilePeer::SetState(int which, int32_t value) {
  std::lock_guard lock(blockMutex);
  if (ChannelBlock* block = Block(which)) StateOf(block).store(value);
}

std::optional<int> HostilePeer::WaitFreed(int timeoutMs) {
  const auto begin = Clock::now();
  const auto deadline = begin + std::chrono::milliseconds(timeoutMs);
  while (State(0) == kBlockWaiting) {
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count());
}

bool HostilePeer::Send(int32_t code, int timeoutMs) {
  if (!WaitFreed(timeoutMs)) return false;
  Overwrite(code);
  return true;
}

void HostilePeer::Overwrite(int32_t code) {
  std::lock_guard lock(blockMutex);
  ChannelBlock* block = Block(0);
  if (block == nullptr) return;
  block->code = code;
  block->param = 1;
  std::memset(block->text, 0, sizeof block->text);
  StateOf(block).store(kBlockWaiting, std::memory_order_release);
}

void HostilePeer::WriteGarbage(int32_t code, uint32_t seed, int32_t state) {
  std::mt19937 random(seed);
  std::lock_guard lock(blockMutex);
  ChannelBlock* block = Block(0);
  if (block == nullptr) return;
  auto* bytes = reinterpret_cast<unsigned char*>(block);
  for (size_t i = 0; i < offsetof(ChannelBlock, state); ++i)
    bytes[i] = static_cast<unsigned char>(random());
  block->code = code;
  StateOf(block).store(state, std::memory_order_release);
}

void HostilePeer::TakerLoop() {
  while (!stopTaker.load()) {
    {
      std::lock_guard lock(blockMutex);
      ChannelBlock* block = Block(1);
      if (block != nullptr && takeMessages.load() &&
          StateOf(block).load(std::memory_order_acquire) == kBlockWaiting) {
        Received message{block->code, platform::Utf16ToUtf8(BlockText(*block))};
        StateOf(block).store(kBlockFree, std::memory_order_release);
        std::lock_guard messagesLock(messagesMutex);
        messages.push_back(std::move(message));
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
}

std::vector<Received> HostilePeer::Messages() {
  std::lock_guard lock(messagesMutex);
  return messages;
}

bool HostilePeer::WaitMessages(size_t count, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Messages().size() < count) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::optional<Received> HostilePeer::Pending() {
  std::lock_guard lock(blockMutex);
  ChannelBlock* block = Block(1);
  if (block == nullptr || StateOf(block).load(std::memory_order_acquire) != kBlockWaiting)
    return std::nullopt;
  return Received{block->code, platform::Utf16ToUtf8(BlockText(*block))};
}

bool HostilePeer::Truncate(int which, off_t size) {
  std::lock_guard lock(blockMutex);
  // Our own mapping would fault past the new end just like the window's.
  gone[which] = true;
  return truncate(ShmFile(names[which]).c_str(), size) == 0;
}

long HostilePeer::FlapSize(int which, int durationMs) {
  std::lock_guard lock(blockMutex);
  const std::string file = ShmFile(names[which]);
  const auto deadline = Clock::now() + std::chrono::milliseconds(durationMs);
  long flaps = 0;
  while (Clock::now() < deadline) {
    for (int i = 0; i < 64; ++i, ++flaps) {
      if (truncate(file.c_str(), 0) != 0 ||
          truncate(file.c_str(), static_cast<off_t>(sizeof(ChannelBlock))) != 0)
        return -1;
    }
  }
  // Grown back, the block is all zeros, which reads as a waiting message;
  // a peer would make it free again.
  StateOf(static_cast<ChannelBlock*>(blocks[which].Data())).store(kBlockFree);
  return flaps;
}

bool HostilePeer::UnlinkBoth() {
  std::lock_guard lock(blockMutex);
  bool ok = true;
  for (const std::string& name : names) ok = unlink(ShmFile(name).c_str()) == 0 && ok;
  return ok;
}

bool HostilePeer::RecreateOpenToOthers(int which) {
  std::lock_guard lock(blockMutex);
  if (unlink(ShmFile(names[which]).c_str()) != 0) return false;
  if (recreated[which].Create(names[which], sizeof(ChannelBlock)) != platform::ShmStatus::kOk)
    return false;
  auto* block = static_cast<ChannelBlock*>(recreated[which].Data());
  StateOf(block).store(kBlockUnopened);
  return chmod(ShmFile(names[which]).c_str(), 0666) == 0;
}

int32_t HostilePeer::RecreatedState(int which) {
  std::lock_guard lock(blockMutex);
  if (!recreated[which].IsOpen()) return INT32_MIN;
  return StateOf(static_cast<ChannelBlock*>(recreated[which].Data())).load();
}

bool HostilePeer::WindowMapsBlocks() const {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  const std::string text((std::istreambuf_iterator<char>(maps)), {});
  return text.find(names[0]) != std::string::npos || text.find(names[1]) != std::string::npos;
}

bool HostilePeer::WindowRunning() {
  if (pid <= 0 || exitStatus) return false;
  int status = 0;
  const pid_t done = waitpid(pid, &status, WNOHANG);
  if (done == 0) return true;
  exitStatus =
      done == pid ? (WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) : -1;
  return false;
}

std::optional<int> HostilePeer::WaitWindowExit(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (WindowRunning()) {
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return exitStatus;
}

void HostilePeer::KillWindow() {
  if (!WindowRunning()) return;
  platform::KillProcess(pid);
  WaitWindowExit(10000);
}

}  // namespace tavrin::hostile
