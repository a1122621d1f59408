// The data source's side of the link: creates the blocks, writes the files
// the scan window reads, starts it and collects what it delivers.
#include "datasource/include/TavrinSource.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "dslink/copied_data.h"
#include "dslink/shared_message_channel.h"
#include "dslink/twain_control.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "platform/text.h"
#include "platform/tick_count.h"
#include "recovery/undelivered_pages.h"
#include "xml/markup_document.h"

namespace {

using namespace tavrin;
using Clock = std::chrono::steady_clock;

// Name of a session's description in the private temporary folder:
// cfgInfo-<run>.xml.
constexpr std::string_view kCfgInfoStem = "cfgInfo-";

// A list larger than this is not a list the window wrote.
constexpr uintmax_t kMaxFileListBytes = 16u << 20;

thread_local std::string openError;

struct Event {
  int kind = TS_EVENT_TIMEOUT;
  std::string path;
};

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

constexpr char kBlockPrefix[] = "TavrinSource-";

// Blocks are named "TavrinSource-<creator's pid>-<run>-<1|2>". One whose
// creator has gone was left by a client that died before its window
// attached (after that the names are removed at once).
bool IsStaleBlockName(const std::string& name) {
  const std::string rest = name.substr(sizeof(kBlockPrefix) - 1);
  const size_t dash = rest.find('-');
  if (dash == 0 || dash == std::string::npos || dash > 9) return true;
  int pid = 0;
  for (size_t i = 0; i < dash; ++i) {
    if (rest[i] < '0' || rest[i] > '9') return true;
    pid = pid * 10 + (rest[i] - '0');
  }
  return pid != platform::CurrentProcessId() && !platform::ProcessRunning(pid);
}

std::string UniqueRunId() {
  std::random_device device;
  std::ostringstream out;
  out << std::hex << device() << device() << '-' << platform::TickCount();
  return out.str();
}

}  // namespace

struct TavrinSession final : public ITwainDsCallback {
  // The receiver uses the members below, so it must end before they go.
  ~TavrinSession() { channel.Close(); }

  // The user's scan-session lock; declared first, so it goes last.
  platform::FileLock sessionLock;

  int OnMessage(ChannelBlock* block) override {
    // Copy out first: the window may be broken and change the block.
    const int32_t code = block->code;
    const std::string text = platform::Utf16ToUtf8(BlockText(*block));
    std::lock_guard lock(mutex);
    if (code == kMsgImage) {
      Deliver(text);
    } else if (code == kMsgFileList) {
      ReadFileList(text);
      events.push_back({TS_EVENT_FINISHED, {}});
    } else if (code == kMsgClose) {
      // A 205 with a text: the window could not hand its pages on.
      if (!text.empty()) {
        lastError = text;
        pagesNotHandedOn = true;
      }
      events.push_back({TS_EVENT_FINISHED, {}});
    }
    changed.notify_all();
    return 1;
  }

  // Each path goes out once, however often a broken window repeats it.
  void Deliver(const std::string& path) {
    if (path.empty() || !delivered.insert(path).second) return;
    events.push_back({TS_EVENT_FILE, path});
  }

  void ReadFileList(const std::string& listPath) {
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(listPath, error);
    if (error || size > kMaxFileListBytes) {
      lastError = "unreadable file list " + listPath;
      return;
    }
    MarkupDocument doc;
    if (!doc.Load(platform::Utf8ToUtf16(listPath))) {
      lastError = "malformed file list " + listPath;
      return;
    }
    if (!doc.FindElem(u"FileList") || !doc.IntoElem()) {
      lastError = "file list without FileList: " + listPath;
      return;
    }
    while (doc.FindElem(u"FileName")) Deliver(platform::Utf16ToUtf8(doc.GetData()));
    // Read once: a list left behind must never be taken for a later run's.
    if (IsOwnListPath(listPath)) platform::DeleteFilePath(listPath);
  }

  // Only the lists the window writes, never another file a broken window names.
  bool IsOwnListPath(const std::string& path) const {
    namespace fs = std::filesystem;
    const fs::path given = fs::path(path).lexically_normal();
    const FileListPlaces places = FileListPlacesFor(
        platform::Utf8ToUtf16(configFolder), platform::Utf8ToUtf16(platform::PrivateTempFolder()));
    // A folder left unknown makes a relative name, which is never ours.
    for (const std::u16string& own : {places.inConfig, places.fallback})
      if (own.front() == u'/' && given == fs::path(platform::Utf16ToUtf8(own)).lexically_normal())
        return true;
    return false;
  }

  SharedMessageChannel channel;
  int windowPid = -1;
  std::string moduleFolder;
  std::string configFolder;  // ends in '/'
  std::string cfgInfoPath;   // this session's, in the private temporary folder
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Event> events;
  std::set<std::string> delivered;
  // Paths given to the client, in order.
  std::vector<std::string> handedOut;
  bool ended = false;
  bool pagesNotHandedOn = false;
  std::string lastError;
};

namespace {

void SetError(TavrinSession& session, const std::string& text) {
  std::lock_guard lock(session.mutex);
  session.lastError = text;
}

bool WriteShowModel(TavrinSession& session, int showMode, int colorType, int rotateMode, int dpi,
                    int cropMode = -1, int autoCaptureSeconds = 0, int evenLight = -1,
                    const int* searchArea = nullptr) {
  if (!platform::IsFolder(session.configFolder) && !platform::CreateFolders(session.configFolder)) {
    SetError(session, "cannot create " + session.configFolder);
    return false;
  }
  // The window looks for the four in this order, each after the last found.
  MarkupDocument doc;
  doc.SetDoc(u"<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n");
  doc.AddElem(u"cfg");
  doc.IntoElem();
  doc.AddElem(u"ShowMode", platform::Utf8ToUtf16(std::to_string(showMode)));
  doc.AddElem(u"ColorType", platform::Utf8ToUtf16(std::to_string(colorType)));
  doc.AddElem(u"RotateMode", platform::Utf8ToUtf16(std::to_string(rotateMode)));
  doc.AddElem(u"DPIMode", platform::Utf8ToUtf16(std::to_string(dpi)));
  // Optional, after the four: a window that does not know them stops there.
  if (cropMode >= 0) doc.AddElem(u"CropMode", platform::Utf8ToUtf16(std::to_string(cropMode)));
  if (autoCaptureSeconds > 0)
    doc.AddElem(u"AutoCapture", platform::Utf8ToUtf16(std::to_string(autoCaptureSeconds)));
  if (evenLight >= 0) doc.AddElem(u"EvenLight", evenLight != 0 ? u"1" : u"0");
  if (searchArea != nullptr) {
    std::string area;
    for (int i = 0; i < 4; ++i) area += (i > 0 ? " " : "") + std::to_string(searchArea[i]);
    doc.AddElem(u"SearchArea", platform::Utf8ToUtf16(area));
  }
  const std::string path = session.configFolder + "/ShowModel.xml";
  // Read by the window at once and written anew for every request and
  // session: it must never be seen half written, but a flush to disk would
  // only lengthen each page.
  if (!doc.Save(platform::Utf8ToUtf16(path), platform::Durability::kReadersOnly)) {
    SetError(session, "cannot write " + path);
    return false;
  }
  return true;
}

// The window reads the copy in the private folder, named on its command
// line: that one is this session's whatever else lies in shared folders.
// The usual one beside the module (or in the per-user configuration
// folder) is still written for whoever looks there.
bool WriteCfgInfo(TavrinSession& session, const std::u16string& first,
                  const std::u16string& second) {
  MarkupDocument doc;
  doc.SetDoc(u"<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n");
  doc.AddElem(u"cfg");
  doc.IntoElem();
  doc.AddElem(u"Name", first);
  doc.AddElem(u"m_strImgExe", second);
  if (!doc.Save(platform::Utf8ToUtf16(session.cfgInfoPath), platform::Durability::kReadersOnly)) {
    SetError(session, "cannot write " + session.cfgInfoPath);
    return false;
  }
  const std::string config = platform::ConfigurationFolder(session.moduleFolder);
  if (!config.empty())
    doc.Save(platform::Utf8ToUtf16(config + "/cfgInfo.xml"), platform::Durability::kReadersOnly);
  return true;
}

// Session descriptions of this user's earlier sessions whose client died
// before its window attached. Called under the session lock, so none of
// them belongs to a session still running.
void RemoveStaleCfgInfo(const std::string& tempFolder) {
  for (const std::string& name : platform::ListFolder(tempFolder))
    if (name.starts_with(kCfgInfoStem) && name.ends_with(".xml"))
      platform::DeleteFilePath(tempFolder + name);
}

ChannelTimings HiddenFlatbedTimings() {
  ChannelTimings timings;
  timings.pollIntervalUs = TS_HIDDEN_FLATBED_POLL_US;
  return timings;
}

// Without a display (ssh, a network scan daemon) the window runs on the
// offscreen platform instead of dying at start; there nobody sees it, and
// Qt's warnings about what that platform cannot do would only reach the
// client's terminal.
std::vector<std::string> WindowEnvironment() {
  std::vector<std::string> extra;
  std::string platformName = platform::Environment("QT_QPA_PLATFORM");
  if (platformName.empty() && platform::Environment("DISPLAY").empty() &&
      platform::Environment("WAYLAND_DISPLAY").empty()) {
    platformName = "offscreen";
    extra.push_back("QT_QPA_PLATFORM=offscreen");
  }
  if (platformName == "offscreen" && platform::Environment("QT_LOGGING_RULES").empty())
    extra.push_back("QT_LOGGING_RULES=default.warning=false;qt.qpa.*=false");
  return extra;
}

// One-by-one delivery hands the client copies the window made in the
// private temporary folder; the client has taken them once it closes, and
// left there they would pile up session after session. The window's own
// originals stay in its working folder.
void RemoveDeliveredCopies(TavrinSession& session) {
  namespace fs = std::filesystem;
  const std::string tempFolder = platform::PrivateTempFolder();
  if (tempFolder.empty()) return;
  const fs::path own = fs::path(tempFolder).lexically_normal().parent_path();
  const fs::path lock = fs::path(recovery::SessionLockPath(tempFolder)).lexically_normal();
  for (const std::string& path : session.handedOut) {
    const fs::path given = fs::path(path).lexically_normal();
    if (given.parent_path() != own || given == lock) continue;
    if (platform::IsOwnRegularFile(given.string())) platform::DeleteFilePath(given.string());
  }
}

int FailOpen(TavrinSession* session, int result) {
  openError = session->lastError;
  if (!session->cfgInfoPath.empty()) platform::DeleteFilePath(session->cfgInfoPath);
  if (session->windowPid > 0) {
    platform::KillProcess(session->windowPid);
    platform::WaitProcess(session->windowPid, 2000, nullptr);
  }
  delete session;
  return result;
}

}  // namespace

extern "C" {

int tsOpen(TavrinSession** out, int showMode, int colorType, int rotateMode, int dpi,
           int attachTimeoutMs) {
  return tsOpenWith(out, showMode, colorType, rotateMode, dpi, attachTimeoutMs, 0);
}

int tsOpenWith(TavrinSession** out, int showMode, int colorType, int rotateMode, int dpi,
               int attachTimeoutMs, int flags) {
  openError.clear();
  if (out == nullptr) {
    openError = "no session pointer";
    return TS_ERROR;
  }
  *out = nullptr;
  auto* session = new TavrinSession;
  session->moduleFolder = FolderOf(platform::ModulePathOf(reinterpret_cast<void*>(&tsOpen)));
  session->configFolder = platform::DocumentsFolder() + "/DSConfig/";
  if (session->moduleFolder.empty()) {
    SetError(*session, "cannot find the data source's own folder");
    return FailOpen(session, TS_ERROR);
  }

  // One session per user: a second would rewrite the files the first
  // window reads and take its requests.
  const std::string tempFolder = platform::PrivateTempFolder();
  if (tempFolder.empty()) {
    SetError(*session, "no private temporary folder for the session lock");
    return FailOpen(session, TS_ERROR);
  }
  std::string lockError;
  switch (session->sessionLock.TryLock(recovery::SessionLockPath(tempFolder), &lockError)) {
    case platform::FileLock::Result::kLocked:
      break;
    case platform::FileLock::Result::kBusy:
      SetError(*session, "busy: another scan of this user is running");
      return FailOpen(session, TS_BUSY);
    case platform::FileLock::Result::kFailed:
      SetError(*session, "cannot take the session lock: " + lockError);
      return FailOpen(session, TS_ERROR);
  }

  RemoveStaleCfgInfo(tempFolder);
  platform::RemoveSharedMemoryOf(kBlockPrefix, &IsStaleBlockName);

  const std::string runId = std::to_string(platform::CurrentProcessId()) + "-" + UniqueRunId();
  session->cfgInfoPath = tempFolder + std::string(kCfgInfoStem) + runId + ".xml";
  const std::u16string first = platform::Utf8ToUtf16(kBlockPrefix + runId + "-1");
  const std::u16string second = platform::Utf8ToUtf16(kBlockPrefix + runId + "-2");
  session->channel.SetCallback(session);
  const bool hiddenFlatbed =
      (flags & TS_OPEN_HIDDEN_FLATBED) != 0 && showMode == TS_SHOW_CAPTURE_SEND;
  if (hiddenFlatbed) session->channel.SetTimings(HiddenFlatbedTimings());
  session->channel.Start(first, second, 1);
  // A receiver leaves 2 alone; the window's open turns both into 1.
  if (!session->channel.MarkBlocksUnopened()) {
    SetError(*session, "cannot create the shared-memory blocks");
    return FailOpen(session, TS_ERROR);
  }
  if (!WriteCfgInfo(*session, first, second) ||
      !WriteShowModel(*session, showMode, colorType, rotateMode, dpi))
    return FailOpen(session, TS_ERROR);

  const std::string program = session->moduleFolder + "/TavrinDesk";
  if (!platform::PathExists(program)) {
    SetError(*session, "no scan window at " + program);
    return FailOpen(session, TS_NO_WINDOW);
  }
  std::string error;
  // What the window prints is for the person reading diagnostics, never
  // part of the client's own output.
  std::vector<std::string> arguments = {kCfgInfoOption, session->cfgInfoPath};
  // Only a window of a single capture without the person may leave out
  // its controls; any other would have to show them.
  if (hiddenFlatbed) arguments.emplace_back(TS_HIDDEN_FLATBED_ARGUMENT);
  session->windowPid = platform::SpawnProcess(program, arguments, WindowEnvironment(), &error,
                                              /*outputToErrors=*/true);
  if (session->windowPid < 0) {
    SetError(*session, error);
    return FailOpen(session, TS_NO_WINDOW);
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(0, attachTimeoutMs));
  while (!session->channel.PeerHasOpened()) {
    int status = 0;
    // Looked for often: the client's request can go only once it is there,
    // and the wait lasts a few hundredths of a second.
    if (platform::WaitProcess(session->windowPid, 0, &status)) {
      session->windowPid = -1;
      SetError(*session,
               "the scan window ended before attaching (status " + std::to_string(status) + ")");
      return FailOpen(session, TS_NO_WINDOW);
    }
    if (Clock::now() >= deadline) {
      SetError(*session, "the scan window did not attach in time");
      return FailOpen(session, TS_TIMEOUT);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // The window has read it: it opened the blocks it names.
  platform::DeleteFilePath(session->cfgInfoPath);
  session->channel.UnlinkBlockNames();
  *out = session;
  return TS_OK;
}

int tsWriteShowModel(TavrinSession* session, int showMode, int colorType, int rotateMode, int dpi) {
  if (session == nullptr) return TS_ERROR;
  return WriteShowModel(*session, showMode, colorType, rotateMode, dpi) ? TS_OK : TS_ERROR;
}

int tsWriteScanRequest(TavrinSession* session, int showMode, int colorType, int rotateMode, int dpi,
                       int cropMode, int autoCaptureSeconds, int evenLight, const int* searchArea) {
  if (session == nullptr) return TS_ERROR;
  return WriteShowModel(*session, showMode, colorType, rotateMode, dpi, cropMode,
                        autoCaptureSeconds, evenLight, searchArea)
             ? TS_OK
             : TS_ERROR;
}

int tsSend(TavrinSession* session, int code, int timeoutMs) {
  if (session == nullptr) return TS_ERROR;
  if (code != kMsgShow && code != kMsgClose && code != kMsgRequest) {
    SetError(*session, "not a data-source message: " + std::to_string(code));
    return TS_ERROR;
  }
  // Wait here rather than in Send, so that a window that dies meanwhile is
  // noticed at once instead of after the send bound.
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
  while (session->channel.SendPending()) {
    if (!platform::ProcessRunning(session->windowPid)) {
      SetError(*session, "the scan window ended");
      return TS_WINDOW_ENDED;
    }
    if (Clock::now() >= deadline) {
      SetError(*session, "the scan window did not take message " + std::to_string(code));
      return TS_TIMEOUT;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!platform::ProcessRunning(session->windowPid)) {
    SetError(*session, "the scan window ended");
    return TS_WINDOW_ENDED;
  }
  if (!session->channel.Send(1, code, u"")) {
    SetError(*session, "cannot send message " + std::to_string(code));
    return TS_ERROR;
  }
  return TS_OK;
}

int tsSendCopiedData(TavrinSession* session, int code, int timeoutMs) {
  if (session == nullptr) return TS_ERROR;
  if (code != kMsgShow && code != kMsgClose && code != kMsgRequest) {
    SetError(*session, "not a data-source message: " + std::to_string(code));
    return TS_ERROR;
  }
  std::string error;
  if (!SendCopiedDataMessage(code, std::max(0, timeoutMs), &error)) {
    SetError(*session, error);
    return TS_NO_WINDOW;
  }
  return TS_OK;
}

int tsNextEvent(TavrinSession* session, int timeoutMs, char* path, int pathSize) {
  if (session == nullptr) return TS_EVENT_ENDED;
  if (path != nullptr && pathSize > 0) path[0] = '\0';
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
  std::unique_lock lock(session->mutex);
  for (;;) {
    if (!session->events.empty()) {
      Event event = std::move(session->events.front());
      session->events.pop_front();
      if (event.kind == TS_EVENT_FILE) session->handedOut.push_back(event.path);
      if (event.kind == TS_EVENT_FILE && path != nullptr && pathSize > 0) {
        const std::string cut = platform::CutUtf8(event.path, static_cast<size_t>(pathSize) - 1);
        std::memcpy(path, cut.data(), cut.size());
        path[cut.size()] = '\0';
      }
      return event.kind;
    }
    if (session->ended) return TS_EVENT_ENDED;
    lock.unlock();
    // A message the window left just before it ended is still taken.
    const bool gone =
        !platform::ProcessRunning(session->windowPid) && !session->channel.ReceivePending();
    lock.lock();
    if (gone && session->events.empty()) {
      session->ended = true;
      return TS_EVENT_ENDED;
    }
    if (Clock::now() >= deadline) return TS_EVENT_TIMEOUT;
    session->changed.wait_for(lock, std::chrono::milliseconds(20));
  }
}

int tsWindowRunning(TavrinSession* session) {
  return session != nullptr && platform::ProcessRunning(session->windowPid) ? 1 : 0;
}

int tsPagesNotHandedOn(TavrinSession* session) {
  if (session == nullptr) return 0;
  std::lock_guard lock(session->mutex);
  return session->pagesNotHandedOn ? 1 : 0;
}

const char* tsLastError(TavrinSession* session) {
  if (session == nullptr) return openError.c_str();
  std::lock_guard lock(session->mutex);
  return session->lastError.c_str();
}

void tsClose(TavrinSession* session, int waitMs) {
  if (session == nullptr) return;
  if (!platform::ProcessRunning(session->windowPid)) session->channel.MarkPeerGone();
  session->channel.Close();
  if (session->windowPid > 0 &&
      !platform::WaitProcess(session->windowPid, std::max(0, waitMs), nullptr)) {
    platform::KillProcess(session->windowPid);
    platform::WaitProcess(session->windowPid, 2000, nullptr);
  }
  RemoveDeliveredCopies(*session);
  delete session;
}

}  // extern "C"
