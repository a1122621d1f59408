// The entry points of libsane-tavrin.so.1: one device, the camera the scan
// window would open, scanned through TavrinSource.ds.
//
// Threads: a frontend calls one handle from one thread at a time, except
// sane_cancel, which may come from another thread or from a signal handler
// (scanimage cancels on an interrupt). So it only counts itself: a call
// that waits sees the count change within 100 ms and returns, and the
// handle's closer thread ends the scan operation, which takes locks and
// memory that a signal handler must not touch.
//
// A cancel belongs to the sane_start called before it: each start notes
// the count as it was called, and its operation is cancelled once the
// count differs. A cancel from before that (the one after the previous
// page) only ends the window of that page. So a cancel racing a start
// gives SANE_STATUS_CANCELLED from the start or from a read, never a page
// taken away in the middle.
#include <sane/sane.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "datasource/sane/backend_config.h"
#include "datasource/sane/backend_options.h"
#include "datasource/sane/camera_list.h"
#include "datasource/sane/page_image.h"
#include "datasource/sane/page_stream.h"
#include "datasource/sane/scan_session.h"
#include "platform/network_peer.h"
#include "platform/paths.h"

namespace {

using namespace tavrin::sane;

constexpr SANE_Int kBuild = 1;
const char kVendor[] = "TavrinDesk";
// Frontends hide video and still cameras and virtual devices.
const char kType[] = "document camera";

int DebugLevel() {
  static const int level = std::atoi(tavrin::platform::Environment("SANE_DEBUG_TAVRIN").c_str());
  return level;
}

// Failures always reach standard error, so a person running scanimage sees
// why; the rest only with SANE_DEBUG_TAVRIN.
void Log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Log(int level, const char* format, ...) {
  if (level > 1 && level > DebugLevel()) return;
  std::va_list args;
  va_start(args, format);
  std::fputs("[tavrin] ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

// A read waiting for rows still being made looks for a cancel this often.
constexpr std::chrono::milliseconds kReadWait{100};

// sane_cancel relies on them.
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<uint32_t>::is_always_lock_free);

void EndScan(struct Handle& handle);

struct Handle {
  Handle(const SourceApi& api, const std::string& programFolder)
      : session(api, programFolder, [this] { return Cancelled() || FrontendStirred(); }),
        closer([this] { RunCloser(); }) {}

  ~Handle() {
    {
      std::lock_guard lock(closerWake);
      stopCloser.store(true, std::memory_order_release);
    }
    // Woken rather than left to its next look: sane_close, and with it the
    // frontend's end, would wait for that.
    closerStop.notify_all();
    closer.join();
  }

  bool Cancelled() const {
    return cancels.load(std::memory_order_acquire) != operation.load(std::memory_order_acquire);
  }
  bool Scanning() const { return scanning.load(std::memory_order_acquire) && !Cancelled(); }

  // Under saned, which reads nothing from its client while a start runs:
  // the client's cancel waits unread on the connection, or the client has
  // gone. Either is this start's cancel, so that saned can answer, and the
  // window ends rather than hold the camera for a client that is not there.
  bool FrontendStirred() {
    for (int fd : frontendConnections) {
      if (tavrin::platform::ConnectionStirred(fd)) {
        frontendConnections.clear();
        cancels.fetch_add(1, std::memory_order_acq_rel);
        Log(1, "the client of saned cancelled the scan or went away");
        return true;
      }
    }
    return false;
  }

  // Ends the scan operation soon after a cancel, on its own thread. A
  // hidden window that has delivered its page is kept a little, for a
  // frontend that cancels after each page and starts the next at once.
  void RunCloser() {
    // When the cancel not yet acted on was first seen; none: none waits.
    std::chrono::steady_clock::time_point seen{};
    bool cancelSeen = false;
    for (;;) {
      {
        // A cancel only counts itself (it may come from a signal handler),
        // so it is looked for now and then; only the stop wakes this.
        std::unique_lock lock(closerWake);
        if (closerStop.wait_for(lock, std::chrono::milliseconds(kCloserPollMs),
                                [this] { return stopCloser.load(std::memory_order_acquire); }))
          return;
      }
      if (cancels.load(std::memory_order_acquire) == endedCancels.load(std::memory_order_acquire)) {
        cancelSeen = false;
        continue;
      }
      const auto now = std::chrono::steady_clock::now();
      if (!cancelSeen) seen = now;
      cancelSeen = true;
      std::lock_guard lock(mutex);
      if (session.IdleForCapture() && now - seen < kIdleWindowKept) continue;
      EndCancelled();
      cancelSeen = false;
    }
  }

  // With the mutex held: the window of a cancelled operation ends.
  void EndCancelled() {
    const uint32_t seen = cancels.load(std::memory_order_acquire);
    if (seen == endedCancels.load(std::memory_order_acquire)) return;
    endedCancels.store(seen, std::memory_order_release);
    EndScan(*this);
  }

  static constexpr int kCloserPollMs = 100;
  static constexpr std::chrono::seconds kIdleWindowKept{2};

  std::mutex mutex;                       // held by every call but sane_cancel, and by the closer
  std::atomic<uint32_t> cancels{0};       // sane_cancel calls so far
  std::atomic<uint32_t> operation{0};     // cancels as the running sane_start was called
  std::atomic<uint32_t> endedCancels{0};  // cancels whose scan operation has ended
  std::atomic<bool> stopCloser{false};
  std::mutex closerWake;
  std::condition_variable closerStop;
  // From a good sane_start to sane_cancel: options stay as the scan began.
  std::atomic<bool> scanning{false};
  // The connections to saned's client, watched while a start runs in saned.
  std::vector<int> frontendConnections;
  // "The camera is busy" is said once per handle: some frontends try again
  // and again while it is.
  bool busyTold = false;
  // The last found page, whose size is the best guess for the next.
  PageSizeMm lastFound;
  // A flatbed has one page; a second sane_start of the same operation (a
  // frontend's feeder batch) finds no more.
  std::atomic<bool> flatbedPageGiven{false};
  OptionSet options;
  ScanSession session;
  bool havePage = false;
  Page page;
  // Makes the page's rows while the frontend reads those before them.
  PageStream stream;
  size_t readOffset = 0;
  std::thread closer;  // last: it uses the members above
};

struct Backend {
  bool initialised = false;
  BackendConfig config;
  std::vector<std::string> cameraNames;
  int cameraWidestPx = 0;  // the device's largest picture, 0 when unknown
  std::vector<SANE_Device> devices;
  std::vector<const SANE_Device*> deviceList{nullptr};
  Handle* open = nullptr;
};

Backend backend;

// The window opens the first camera, so that one is the device.
bool RefreshCameras() {
  std::string error;
  std::vector<std::string> names;
  std::vector<int> widest;
  if (!ListCameras(backend.config.programFolder, names, error, &widest)) {
    Log(1, "%s", error.c_str());
    return false;
  }
  if (names.empty()) {
    // Once per process: a frontend may ask for the list again and again.
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
      Log(1,
          "no camera found: the camera library sees none (is it plugged in, and may this "
          "user open /dev/video*?)");
  }
  if (names.size() > 1) names.resize(1);
  backend.cameraWidestPx = widest.empty() ? 0 : widest.front();
  backend.cameraNames = std::move(names);
  return true;
}

// saned serves its client from this very thread, one call at a time.
bool UnderSaned() {
  static const bool saned = [] {
    const std::string program = tavrin::platform::ProgramPath();
    return program.size() >= 6 && program.compare(program.size() - 6, 6, "/saned") == 0;
  }();
  return saned;
}

void ResetPage(Handle& handle) {
  handle.stream.Stop();
  handle.havePage = false;
  handle.page = Page{};
  handle.readOffset = 0;
}

// Stops the scan operation: the window ends, undelivered pages go.
void EndScan(Handle& handle) {
  handle.session.Close();
  ResetPage(handle);
}

void FillParameters(const Handle& handle, SANE_Parameters& parameters) {
  PixelKind kind = handle.options.Choice().kind;
  int widthPx = 0;
  int heightPx = 0;
  // A cancelled page is gone for the frontend, even while the closer has
  // yet to drop it.
  if (handle.havePage && !handle.Cancelled()) {
    kind = handle.page.kind;
    widthPx = handle.page.widthPx;
    heightPx = handle.page.heightPx;
  } else {
    handle.options.EstimateSize(widthPx, heightPx, handle.lastFound);
  }
  parameters.lines = heightPx;
  parameters.format = kind == PixelKind::kColor ? SANE_FRAME_RGB : SANE_FRAME_GRAY;
  parameters.last_frame = SANE_TRUE;
  parameters.depth = kind == PixelKind::kLineart ? 1 : 8;
  parameters.pixels_per_line = widthPx;
  parameters.bytes_per_line = kind == PixelKind::kLineart ? (widthPx + 7) / 8
                              : kind == PixelKind::kGray  ? widthPx
                                                          : widthPx * 3;
}

}  // namespace

#define TAVRIN_SANE_EXPORT extern "C" __attribute__((visibility("default")))

TAVRIN_SANE_EXPORT SANE_Status sane_tavrin_init(SANE_Int* version_code,
                                                SANE_Auth_Callback /*authorize*/) {
  if (version_code != nullptr)
    *version_code = SANE_VERSION_CODE(SANE_CURRENT_MAJOR, SANE_CURRENT_MINOR, kBuild);
  backend.config = ReadBackendConfig();
  backend.initialised = true;
  Log(2, "program folder %s (from %s)", backend.config.programFolder.c_str(),
      backend.config.source.c_str());
  return SANE_STATUS_GOOD;
}

TAVRIN_SANE_EXPORT SANE_Status sane_tavrin_open(SANE_String_Const name, SANE_Handle* handle);
TAVRIN_SANE_EXPORT void sane_tavrin_close(SANE_Handle handle);

TAVRIN_SANE_EXPORT void sane_tavrin_exit(void) {
  if (backend.open != nullptr) sane_tavrin_close(backend.open);
  backend = Backend{};
}

TAVRIN_SANE_EXPORT SANE_Status sane_tavrin_get_devices(const SANE_Device*** device_list,
                                                       SANE_Bool /*local_only*/) {
  if (device_list == nullptr) return SANE_STATUS_INVAL;
  if (!backend.initialised) return SANE_STATUS_INVAL;
  if (!RefreshCameras()) backend.cameraNames.clear();
  backend.devices.clear();
  for (const std::string& name : backend.cameraNames) {
    SANE_Device device{};
    device.name = name.c_str();
    device.vendor = kVendor;
    device.model = name.c_str();
    device.type = kType;
    backend.devices.push_back(device);
  }
  backend.deviceList.clear();
  for (const SANE_Device& device : backend.devices) backend.deviceList.push_back(&device);
  backend.deviceList.push_back(nullptr);
  *device_list = backend.deviceList.data();
  return SANE_STATUS_GOOD;
}

TAVRIN_SANE_EXPORT SANE_Status sane_tavrin_open(SANE_String_Const name, SANE_Handle* handle) {
  if (handle == nullptr || !backend.initialised) return SANE_STATUS_INVAL;
  *handle = nullptr;
  // One camera, one window: a second handle would fight over them.
  if (backend.open != nullptr) return SANE_STATUS_DEVICE_BUSY;
  const std::string wanted = name != nullptr ? name : "";
  const bool known =
      !backend.cameraNames.empty() && (wanted.empty() || wanted == backend.cameraNames.front());
  if (!known) {
    if (!RefreshCameras()) return SANE_STATUS_IO_ERROR;
    if (backend.cameraNames.empty()) {
      Log(1, "no camera found");
      return SANE_STATUS_INVAL;
    }
    if (!wanted.empty() && wanted != backend.cameraNames.front()) {
      Log(1, "no device named '%s'; the camera is '%s'", wanted.c_str(),
          backend.cameraNames.front().c_str());
      return SANE_STATUS_INVAL;
    }
  }
  std::string error;
  const SourceApi* api = LoadSourceApi(backend.config.programFolder, error);
  if (api == nullptr) {
    Log(1, "%s", error.c_str());
    return SANE_STATUS_IO_ERROR;
  }
  backend.open = new Handle(*api, backend.config.programFolder);
  backend.open->options.SetOpticalDpi(
      static_cast<int>(std::lround(backend.cameraWidestPx * 25.4 / kFieldWidthMm)));
  *handle = backend.open;
  return SANE_STATUS_GOOD;
}

TAVRIN_SANE_EXPORT void sane_tavrin_close(SANE_Handle handle) {
  auto* h = static_cast<Handle*>(handle);
  if (h == nullptr || h != backend.open) return;
  {
    std::lock_guard lock(h->mutex);
    EndScan(*h);
  }
  delete h;
  backend.open = nullptr;
}

TAVRIN_SANE_EXPORT const SANE_Option_Descriptor* sane_tavrin_get_option_descriptor(
    SANE_Handle handle, SANE_Int option) {
  auto* h = static_cast<Handle*>(handle);
  if (h == nullptr) return nullptr;
  return h->options.Descriptor(option);
}

TAVRIN_SANE_EXPORT SANE_Status sane_tavrin_control_option(SANE_Handle handle, SANE_Int option,
                                                          SANE_Action action, void* value,
                                                          SANE_Int* info) {
  auto* h = static_cast<Handle*>(handle);
  if (h == nullptr) return SANE_STATUS_INVAL;
  std::lock_guard lock(h->mutex);
  if (action != SANE_ACTION_GET_VALUE && h->Scanning()) {
    if (info != nullptr) *info = 0;
    return SANE_STATUS_DEVICE_BUSY;
  }
  return h->options.Control(option, action, value, info);
}

TAVRIN_SANE_EXPORT SANE_Status sane_tavrin_get_parameters(SANE_Handle handle,
                                                          SANE_Parameters* params) {
  auto* h = static_cast<Handle*>(handle);
  if (h == nullptr || params == nullptr) return SANE_STATUS_INVAL;
  std::lock_guard lock(h->mutex);
  FillParameters(*h, *params);
  return SANE_STATUS_GOOD;
}

TAVRIN_SANE_EXPORT SANE_Status sane_tavrin_start(SANE_Handle handle) {
  auto* h = static_cast<Handle*>(handle);
  if (h == nullptr) return SANE_STATUS_INVAL;
  // Before anything else: a cancel from here on is this start's.
  const uint32_t calledAt = h->cancels.load(std::memory_order_acquire);
  std::lock_guard lock(h->mutex);
  const ScanChoice choice = h->options.Choice();
  // A cancel before this start ends the operation it was meant for, even
  // when the closer has not come to it yet; a hidden window with nothing
  // asked of it takes the next flatbed capture.
  if (h->endedCancels.load(std::memory_order_acquire) != calledAt) {
    h->endedCancels.store(calledAt, std::memory_order_release);
    if (!(choice.source == SourceKind::kFlatbed && h->session.IdleForCapture())) EndScan(*h);
  }
  h->operation.store(calledAt, std::memory_order_release);
  ResetPage(*h);
  h->scanning.store(false, std::memory_order_release);
  if (choice.source == SourceKind::kFlatbed && h->flatbedPageGiven.exchange(false)) {
    EndScan(*h);
    Log(2, "a flatbed holds one page");
    return SANE_STATUS_NO_DOCS;
  }
  if (choice.source == SourceKind::kInteractive && !WindowCanBeSeen()) {
    Log(1,
        "the source \"%s\" needs a person at the scan window, and no window can be seen here "
        "(no display: over ssh or under saned); choose \"%s\" or \"%s\"",
        kSourceInteractive, kSourceFlatbed, kSourceFeeder);
    return SANE_STATUS_UNSUPPORTED;
  }
  if (UnderSaned()) h->frontendConnections = tavrin::platform::NetworkConnections();
  std::string file;
  SANE_Status got = SANE_STATUS_GOOD;
  switch (choice.source) {
    case SourceKind::kFlatbed:
      got = h->session.Capture(choice, file);
      break;
    case SourceKind::kFeeder:
      got = h->session.NextFeederPage(choice, file);
      break;
    case SourceKind::kInteractive:
      got = h->session.NextPage(choice, file);
      break;
  }
  h->frontendConnections.clear();
  if (got == SANE_STATUS_NO_DOCS) {
    if (!h->session.Error().empty()) Log(1, "%s", h->session.Error().c_str());
    Log(2, "no more pages");
    return got;
  }
  if (got == SANE_STATUS_DEVICE_BUSY) {
    if (!h->busyTold) Log(1, "%s", h->session.Error().c_str());
    h->busyTold = true;
    return got;
  }
  if (got == SANE_STATUS_CANCELLED) {
    if (!h->session.Error().empty()) Log(1, "%s", h->session.Error().c_str());
    return got;
  }
  if (got != SANE_STATUS_GOOD) {
    Log(1, "%s", h->session.Error().c_str());
    return got;
  }
  h->busyTold = false;
  PageRequest request;
  request.kind = choice.kind;
  request.dpi = choice.dpi;
  request.cut = !choice.findPage && !choice.preview;
  request.leftMm = choice.area.leftMm;
  request.topMm = choice.area.topMm;
  request.rightMm = choice.area.rightMm;
  request.bottomMm = choice.area.bottomMm;
  // A page looked for in a narrowed area, or the whole field.
  if (choice.findPage && choice.source != SourceKind::kInteractive &&
      SearchPercent(choice.area)[2] > 0)
    request.searchedFieldWidthMm = kFieldWidthMm;
  request.brightness = choice.brightness;
  request.contrast = choice.contrast;
  request.threshold = choice.threshold;
  std::string error;
  bool dpiGuessed = false;
  // The page's size is settled here (from the file's header, a JPEG's
  // rows are decoded later) and its rows are made while the frontend reads
  // the ones before them: its progress moves, and its own work on the rows
  // overlaps the decoding and resampling.
  std::unique_ptr<PageMaker> maker;
  bool begun = false;
  try {
    maker = std::make_unique<PageMaker>();
    begun = maker->Begin(file, request, h->page, error, &dpiGuessed);
  } catch (const std::bad_alloc&) {
    ResetPage(*h);
    Log(1, "the delivered page cannot be used: out of memory");
    return SANE_STATUS_NO_MEM;
  }
  if (!begun) {
    Log(1, "the delivered page cannot be used: %s", error.c_str());
    return SANE_STATUS_IO_ERROR;
  }
  if (dpiGuessed)
    Log(1, "the delivered page names no resolution; it is taken as %d DPI", choice.dpi);
  Log(2, "page %d x %d at %d DPI", h->page.widthPx, h->page.heightPx, h->page.dpiX);
  if (choice.findPage && h->page.dpiX > 0 && h->page.dpiY > 0)
    h->lastFound = {h->page.widthPx * 25.4 / h->page.dpiX, h->page.heightPx * 25.4 / h->page.dpiY};
  // A cancel while the page was made ready: it is not handed out.
  if (h->Cancelled()) {
    ResetPage(*h);
    return SANE_STATUS_CANCELLED;
  }
  file = {};  // the maker keeps what it still needs of it
  h->havePage = true;
  const int rows = h->page.heightPx;
  const int bytesPerLine = h->page.bytesPerLine;
  h->stream.Start(std::move(maker), h->page, [rows, bytesPerLine](size_t bytesRead) {
    Log(2, "all %d rows of the page made; the frontend had read %zu of them", rows,
        bytesRead / static_cast<size_t>(bytesPerLine));
  });
  h->scanning.store(true, std::memory_order_release);
  if (choice.source == SourceKind::kFlatbed) h->flatbedPageGiven.store(true);
  return SANE_STATUS_GOOD;
}

TAVRIN_SANE_EXPORT SANE_Status sane_tavrin_read(SANE_Handle handle, SANE_Byte* data,
                                                SANE_Int max_length, SANE_Int* length) {
  auto* h = static_cast<Handle*>(handle);
  if (length != nullptr) *length = 0;
  if (h == nullptr || data == nullptr || length == nullptr || max_length < 0)
    return SANE_STATUS_INVAL;
  std::lock_guard lock(h->mutex);
  if (h->Cancelled()) {
    ResetPage(*h);
    return SANE_STATUS_CANCELLED;
  }
  if (!h->havePage) return SANE_STATUS_INVAL;
  // The rows still being made are waited for, a cancel seen within this.
  for (;;) {
    const PageStream::Rows rows = h->stream.WaitFor(h->readOffset, kReadWait);
    if (rows == PageStream::Rows::kAllRead) return SANE_STATUS_EOF;
    if (rows == PageStream::Rows::kFailed) {
      // Never the rest of the page as zeros: the frontend would keep it.
      Log(1, "the delivered page cannot be used: %s", h->stream.Error().c_str());
      ResetPage(*h);
      return SANE_STATUS_IO_ERROR;
    }
    if (rows == PageStream::Rows::kReady) break;
    if (h->Cancelled()) {
      ResetPage(*h);
      return SANE_STATUS_CANCELLED;
    }
  }
  const size_t count =
      std::min(h->stream.BytesReady() - h->readOffset, static_cast<size_t>(max_length));
  std::memcpy(data, h->page.data.data() + h->readOffset, count);
  h->readOffset += count;
  h->stream.Read(h->readOffset);
  *length = static_cast<SANE_Int>(count);
  return SANE_STATUS_GOOD;
}

TAVRIN_SANE_EXPORT void sane_tavrin_cancel(SANE_Handle handle) {
  auto* h = static_cast<Handle*>(handle);
  if (h == nullptr) return;
  // Only lock-free atomics: this may run in a signal handler.
  h->cancels.fetch_add(1, std::memory_order_acq_rel);
  h->flatbedPageGiven.store(false, std::memory_order_release);
}

// Both belong to a scan that sane_start began.
TAVRIN_SANE_EXPORT SANE_Status sane_tavrin_set_io_mode(SANE_Handle handle, SANE_Bool non_blocking) {
  auto* h = static_cast<Handle*>(handle);
  if (h == nullptr || !h->Scanning()) return SANE_STATUS_INVAL;
  return non_blocking ? SANE_STATUS_UNSUPPORTED : SANE_STATUS_GOOD;
}

TAVRIN_SANE_EXPORT SANE_Status sane_tavrin_get_select_fd(SANE_Handle handle, SANE_Int* fd) {
  auto* h = static_cast<Handle*>(handle);
  if (h == nullptr || fd == nullptr || !h->Scanning()) return SANE_STATUS_INVAL;
  return SANE_STATUS_UNSUPPORTED;
}

// The plain names, for a frontend that links this backend alone.
#define TAVRIN_SANE_ALIAS(name) \
  TAVRIN_SANE_EXPORT __attribute__((alias("sane_tavrin_" #name))) decltype(sane_##name) sane_##name;
TAVRIN_SANE_ALIAS(init)
TAVRIN_SANE_ALIAS(exit)
TAVRIN_SANE_ALIAS(get_devices)
TAVRIN_SANE_ALIAS(open)
TAVRIN_SANE_ALIAS(close)
TAVRIN_SANE_ALIAS(get_option_descriptor)
TAVRIN_SANE_ALIAS(control_option)
TAVRIN_SANE_ALIAS(get_parameters)
TAVRIN_SANE_ALIAS(start)
TAVRIN_SANE_ALIAS(read)
TAVRIN_SANE_ALIAS(cancel)
TAVRIN_SANE_ALIAS(set_io_mode)
TAVRIN_SANE_ALIAS(get_select_fd)
