// The entry points of libsane-tavrin.so.1: one device, the camera the scan
// window would open, scanned through TavrinSource.ds.
//
// Threads: a frontend calls one handle from one thread at a time, except
// sane_cancel, which may come from another thread or from a signal handler
// (scanimage cancels on an interrupt). So it only raises two flags: a call
// that waits sees one within 100 ms, and the handle's closer thread ends
// the scan operation, which takes locks and memory that a signal handler
// must not touch.
#include <sane/sane.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "datasource/sane/backend_config.h"
#include "datasource/sane/backend_options.h"
#include "datasource/sane/camera_list.h"
#include "datasource/sane/page_image.h"
#include "datasource/sane/scan_session.h"
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

// sane_cancel relies on it.
static_assert(std::atomic<bool>::is_always_lock_free);

void EndScan(struct Handle& handle);

struct Handle {
  explicit Handle(const SourceApi& api)
      : session(api, [this] { return cancelled.load(std::memory_order_acquire); }),
        closer([this] { RunCloser(); }) {}

  ~Handle() {
    stopCloser.store(true, std::memory_order_release);
    closer.join();
  }

  // Ends the scan operation soon after a cancel, on its own thread.
  void RunCloser() {
    while (!stopCloser.load(std::memory_order_acquire)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kCloserPollMs));
      if (!closeRequested.load(std::memory_order_acquire)) continue;
      std::lock_guard lock(mutex);
      if (closeRequested.exchange(false, std::memory_order_acq_rel)) EndScan(*this);
    }
  }

  static constexpr int kCloserPollMs = 100;

  std::mutex mutex;                         // held by every call but sane_cancel, and by the closer
  std::atomic<bool> cancelled{false};       // the current call or page stops
  std::atomic<bool> closeRequested{false};  // the scan operation ends
  std::atomic<bool> stopCloser{false};
  // From a good sane_start to sane_cancel: options stay as the scan began.
  std::atomic<bool> scanning{false};
  // A flatbed has one page; a second sane_start of the same operation (a
  // frontend's feeder batch) finds no more.
  std::atomic<bool> flatbedPageGiven{false};
  OptionSet options;
  ScanSession session;
  bool havePage = false;
  Page page;
  size_t readOffset = 0;
  std::thread closer;  // last: it uses the members above
};

struct Backend {
  bool initialised = false;
  BackendConfig config;
  std::vector<std::string> cameraNames;
  std::vector<SANE_Device> devices;
  std::vector<const SANE_Device*> deviceList{nullptr};
  Handle* open = nullptr;
};

Backend backend;

// The window opens the first camera, so that one is the device.
bool RefreshCameras() {
  std::string error;
  std::vector<std::string> names;
  if (!ListCameras(backend.config.programFolder, names, error)) {
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
  backend.cameraNames = std::move(names);
  return true;
}

void ResetPage(Handle& handle) {
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
  if (handle.havePage) {
    kind = handle.page.kind;
    widthPx = handle.page.widthPx;
    heightPx = handle.page.heightPx;
  } else {
    handle.options.EstimateSize(widthPx, heightPx);
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
  backend.open = new Handle(*api);
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
  if (action != SANE_ACTION_GET_VALUE && h->scanning.load(std::memory_order_acquire)) {
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
  std::lock_guard lock(h->mutex);
  // A cancel ends the operation even when the closer has not come to it.
  if (h->closeRequested.exchange(false, std::memory_order_acq_rel)) EndScan(*h);
  h->cancelled.store(false, std::memory_order_release);
  ResetPage(*h);
  h->scanning.store(false, std::memory_order_release);
  const ScanChoice choice = h->options.Choice();
  if (choice.source == SourceKind::kFlatbed && h->flatbedPageGiven.exchange(false)) {
    EndScan(*h);
    Log(2, "a flatbed holds one page");
    return SANE_STATUS_NO_DOCS;
  }
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
  if (got == SANE_STATUS_NO_DOCS) {
    if (!h->session.Error().empty()) Log(1, "%s", h->session.Error().c_str());
    Log(2, "no more pages");
    return got;
  }
  if (got != SANE_STATUS_GOOD) {
    if (got != SANE_STATUS_CANCELLED) Log(1, "%s", h->session.Error().c_str());
    return got;
  }
  PageRequest request;
  request.kind = choice.kind;
  request.dpi = choice.dpi;
  request.cut = !choice.findPage && !choice.preview;
  request.leftMm = choice.area.leftMm;
  request.topMm = choice.area.topMm;
  request.rightMm = choice.area.rightMm;
  request.bottomMm = choice.area.bottomMm;
  std::string error;
  bool dpiGuessed = false;
  if (!PreparePage(file, request, h->page, error, &dpiGuessed)) {
    Log(1, "the delivered page cannot be used: %s", error.c_str());
    return SANE_STATUS_IO_ERROR;
  }
  if (dpiGuessed)
    Log(1, "the delivered page names no resolution; it is taken as %d DPI", choice.dpi);
  Log(2, "page %d x %d at %d DPI", h->page.widthPx, h->page.heightPx, h->page.dpiX);
  h->havePage = true;
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
  if (h->cancelled.load(std::memory_order_acquire)) {
    ResetPage(*h);
    return SANE_STATUS_CANCELLED;
  }
  if (!h->havePage) return SANE_STATUS_INVAL;
  const size_t left = h->page.data.size() - h->readOffset;
  if (left == 0) return SANE_STATUS_EOF;
  const size_t count = std::min(left, static_cast<size_t>(max_length));
  std::memcpy(data, h->page.data.data() + h->readOffset, count);
  h->readOffset += count;
  *length = static_cast<SANE_Int>(count);
  return SANE_STATUS_GOOD;
}

TAVRIN_SANE_EXPORT void sane_tavrin_cancel(SANE_Handle handle) {
  auto* h = static_cast<Handle*>(handle);
  if (h == nullptr) return;
  // Only lock-free stores: this may run in a signal handler.
  h->cancelled.store(true, std::memory_order_release);
  h->closeRequested.store(true, std::memory_order_release);
  h->scanning.store(false, std::memory_order_release);
  h->flatbedPageGiven.store(false, std::memory_order_release);
}

// Both belong to a scan that sane_start began.
TAVRIN_SANE_EXPORT SANE_Status sane_tavrin_set_io_mode(SANE_Handle handle, SANE_Bool non_blocking) {
  auto* h = static_cast<Handle*>(handle);
  if (h == nullptr || !h->scanning.load(std::memory_order_acquire)) return SANE_STATUS_INVAL;
  return non_blocking ? SANE_STATUS_UNSUPPORTED : SANE_STATUS_GOOD;
}

TAVRIN_SANE_EXPORT SANE_Status sane_tavrin_get_select_fd(SANE_Handle handle, SANE_Int* fd) {
  auto* h = static_cast<Handle*>(handle);
  if (h == nullptr || fd == nullptr || !h->scanning.load(std::memory_order_acquire))
    return SANE_STATUS_INVAL;
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
