#include "datasource/sane/scan_session.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "datasource/sane/camera_list.h"
#include "lens/include/TavrinLens.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "recovery/undelivered_pages.h"

namespace tavrin::sane {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAttachTimeoutMs = 30000;
constexpr int kSendTimeoutMs = 10000;
constexpr int kCaptureTimeoutMs = 60000;
// Short waits, so that a cancel is seen within this.
constexpr int kPollMs = 100;
constexpr int kCloseSendMs = 2000;
// No output folder is known here: the person names one.
constexpr char kRecoverCommand[] = "tavrin-scan --recover --output DIR";
constexpr uintmax_t kMaxFileBytes = 256u << 20;
// Less free room than this where the window writes its captures, and a
// failed capture is put down to the full disk: a page at 600 DPI takes
// several megabytes on its way.
constexpr uint64_t kFullDiskBytes = 32u << 20;

// No crop in the request: the window keeps the one the person chose.
constexpr int kKeepWindowCrop = -1;
// A page laid down is taken once it has lain still this long.
constexpr int kFeederStillSeconds = 2;

// Below this the window's pages carry a DPI their pixels do not have (the
// camera's picture at a low resolution is labelled as if it were resampled);
// the page is resampled here in any case, so the window never goes lower.
constexpr int kMinWindowDpi = 100;

int WindowDpi(const ScanChoice& choice) {
  return std::max(choice.dpi, kMinWindowDpi);
}

}  // namespace

const SourceApi* LoadSourceApi(const std::string& programFolder, std::string& error) {
  return LoadSourceModule(programFolder + "/TavrinSource.ds", error,
                          " (check the folder in tavrin.conf)");
}

bool WindowCanBeSeen() {
  const std::string platformName = platform::Environment("QT_QPA_PLATFORM");
  if (platformName.rfind("offscreen", 0) == 0 || platformName.rfind("minimal", 0) == 0)
    return false;
  return !platform::Environment("DISPLAY").empty() ||
         !platform::Environment("WAYLAND_DISPLAY").empty();
}

ScanSession::ScanSession(const SourceApi& api, std::string programFolder, CancelCheck cancelled)
    : api_(api), programFolder_(std::move(programFolder)), cancelled_(std::move(cancelled)) {}

ScanSession::~ScanSession() {
  Close();
}

SANE_Status ScanSession::Fail(SANE_Status status, const std::string& why) {
  error_ = why;
  Close();
  return status;
}

SANE_Status ScanSession::Open(int showMode, const ScanChoice& choice, bool feeder) {
  error_.clear();
  pending_.clear();
  listed_.clear();
  finished_ = false;
  feederPages_ = 0;
  FinishOpening();
  opening_ = std::make_shared<Opening>();
  // The thread keeps its own reference: a cancel may leave it running.
  opener_ = std::thread([api = &api_, opening = opening_, showMode, feeder,
                         color = choice.colorType, dpi = WindowDpi(choice)] {
    // A flatbed's window only ever takes single pages unseen: it need not
    // build the controls nobody will see.
    opening->result = api->openWith != nullptr && showMode == TS_SHOW_CAPTURE_SEND && !feeder
                          ? api->openWith(&opening->session, showMode, color, 0, dpi,
                                          kAttachTimeoutMs, TS_OPEN_HIDDEN_FLATBED)
                          : api->open(&opening->session, showMode, color, 0, dpi, kAttachTimeoutMs);
    // The reason of a failed open is kept per thread.
    if (opening->result != TS_OK) opening->error = api->lastError(nullptr);
    opening->done.store(true, std::memory_order_release);
  });
  while (!opening_->done.load(std::memory_order_acquire)) {
    if (cancelled_()) return SANE_STATUS_CANCELLED;
    // The request follows at once: each millisecond here is the page's.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  opener_.join();
  const std::shared_ptr<Opening> opening = std::move(opening_);
  if (opening->result == TS_BUSY) {
    error_ =
        "the camera is busy: another scan of this user is running; try again when it has ended (" +
        opening->error + ")";
    return SANE_STATUS_DEVICE_BUSY;
  }
  if (opening->result != TS_OK) {
    error_ = "cannot start the scan window: " + opening->error;
    return SANE_STATUS_IO_ERROR;
  }
  session_ = opening->session;
  showMode_ = showMode;
  TellOfWaitingPages();
  return SANE_STATUS_GOOD;
}

void ScanSession::TellOfWaitingPages() {
  if (waitingTold_) return;
  waitingTold_ = true;
  const std::string temp = platform::PrivateTempFolder();
  if (temp.empty()) return;
  const std::string waiting = recovery::WaitingNotice(recovery::ListWaiting(temp));
  if (!waiting.empty()) std::fprintf(stderr, "[tavrin] %s: %s\n", waiting.c_str(), kRecoverCommand);
}

void ScanSession::KeepLeftovers() {
  const std::string temp = platform::PrivateTempFolder();
  if (temp.empty()) return;
  platform::FileLock lock;
  // A window started meanwhile sets them aside itself at its start.
  if (lock.TryLock(recovery::SessionLockPath(temp)) != platform::FileLock::Result::kLocked) return;
  const recovery::WaitingPages kept = recovery::KeepUndelivered(temp);
  if (!kept.pages.empty())
    std::fprintf(stderr, "[tavrin] %s: %s\n", recovery::KeptNotice(kept).c_str(), kRecoverCommand);
}

void ScanSession::FinishOpening() {
  if (!opener_.joinable()) return;
  opener_.join();
  const std::shared_ptr<Opening> opening = std::move(opening_);
  if (opening->result == TS_OK && opening->session != nullptr) {
    if (api_.windowRunning(opening->session))
      api_.send(opening->session, TS_MSG_CLOSE, kCloseSendMs);
    api_.close(opening->session, kWindowEndMs);
    KeepLeftovers();
  }
}

void ScanSession::Close() {
  FinishOpening();
  if (session_ == nullptr) return;
  if (api_.windowRunning(session_)) api_.send(session_, TS_MSG_CLOSE, kCloseSendMs);
  api_.close(session_, kWindowEndMs);
  KeepLeftovers();
  session_ = nullptr;
  showMode_ = -1;
  feederRun_ = false;
  feederPages_ = 0;
  captureAsked_ = false;
  pending_.clear();
  listed_.clear();
  finished_ = false;
}

bool ScanSession::ReadPageFile(const std::string& path, std::string& bytes) {
  std::error_code failed;
  const uintmax_t size = std::filesystem::file_size(path, failed);
  if (failed) {
    error_ = "cannot read the delivered file " + path + ": " + failed.message();
    return false;
  }
  if (size > kMaxFileBytes) {
    error_ = "the delivered file " + path + " is too large";
    return false;
  }
  if (!platform::ReadWholeFile(path, bytes)) {
    error_ = "cannot read the delivered file " + path;
    return false;
  }
  // Taken: it leaves the private temporary folder, and so does the
  // working folder's original of a one-by-one copy, or the next window
  // would keep it as a page never delivered.
  recovery::PageDelivered(platform::PrivateTempFolder(), path);
  return true;
}

std::string ScanSession::FailureCause() {
  if (session_ != nullptr && api_.pagesNotHandedOn(session_) != 0) return api_.lastError(session_);
  const std::string folder = platform::PrivateTempFolder();
  uint64_t freeBytes = 0;
  if (!folder.empty() && platform::FreeSpaceOf(folder, freeBytes) && freeBytes < kFullDiskBytes)
    return "the disk of the window's working folder " + folder + " is full (" +
           std::to_string(freeBytes >> 10) + " kB free)";
  std::vector<std::string> cameras;
  std::string error;
  if (ListCameras(programFolder_, cameras, error) && cameras.empty())
    return "the camera is gone (the camera library sees none)";
  return {};
}

SANE_Status ScanSession::Send(int code) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kSendTimeoutMs);
  for (;;) {
    const int sent = api_.send(session_, code, kPollMs);
    if (sent == TS_OK) return SANE_STATUS_GOOD;
    if (sent != TS_TIMEOUT || Clock::now() >= deadline)
      return Fail(SANE_STATUS_IO_ERROR, api_.lastError(session_));
    if (cancelled_()) return SANE_STATUS_CANCELLED;
  }
}

SANE_Status ScanSession::Request(int showMode, const ScanChoice& choice, int cropMode,
                                 int autoSeconds) {
  // A page looked for in a narrowed area is looked for there alone.
  const std::array<int, 4> search = SearchPercent(choice.area);
  const bool narrowed = choice.findPage && cropMode != kKeepWindowCrop && search[2] > 0;
  if (api_.writeScanRequest(session_, showMode, choice.colorType, 0, WindowDpi(choice), cropMode,
                            autoSeconds, choice.evenLight ? 1 : 0,
                            narrowed ? search.data() : nullptr) != TS_OK)
    return Fail(SANE_STATUS_IO_ERROR, api_.lastError(session_));
  return Send(TS_MSG_REQUEST);
}

SANE_Status ScanSession::Capture(const ScanChoice& choice, std::string& file) {
  if (session_ != nullptr && (showMode_ != 1 || feederRun_)) Close();
  if (session_ == nullptr) {
    const SANE_Status opened = Open(TS_SHOW_CAPTURE_SEND, choice, /*feeder=*/false);
    if (opened != SANE_STATUS_GOOD) return opened;
  }
  // The whole field when the frontend's scan area is to be cut from it.
  captureAsked_ = true;
  const SANE_Status requested = Request(
      TS_SHOW_CAPTURE_SEND, choice, choice.findPage ? kTavrinCropSinglePage : kTavrinCropNone, 0);
  if (requested != SANE_STATUS_GOOD) return requested;

  const PageWait waited =
      WaitForPage(Clock::now() + std::chrono::milliseconds(kCaptureTimeoutMs), file);
  switch (waited) {
    case PageWait::kPage:
      captureAsked_ = false;
      return SANE_STATUS_GOOD;
    case PageWait::kUnreadable:
      return SANE_STATUS_IO_ERROR;
    case PageWait::kCancelled:
      return SANE_STATUS_CANCELLED;
    case PageWait::kFinished:
    case PageWait::kEnded: {
      const std::string cause = FailureCause();
      return Fail(SANE_STATUS_IO_ERROR,
                  "the capture failed: " +
                      (cause.empty() ? waited == PageWait::kEnded
                                           ? std::string("the scan window ended")
                                           : std::string("the scan window closed without a page")
                                     : cause));
    }
    case PageWait::kLate:
      break;
  }
  return Fail(SANE_STATUS_IO_ERROR, "no page from the scan window in time");
}

ScanSession::PageWait ScanSession::WaitForPage(Clock::time_point deadline, std::string& file) {
  char path[kSourcePathBytes];
  for (;;) {
    if (cancelled_()) return PageWait::kCancelled;
    const int event = api_.nextEvent(session_, kPollMs, path, sizeof(path));
    if (event == TS_EVENT_FILE)
      return ReadPageFile(path, file) ? PageWait::kPage : PageWait::kUnreadable;
    if (event == TS_EVENT_FINISHED) return PageWait::kFinished;
    if (event == TS_EVENT_ENDED) return PageWait::kEnded;
    if (Clock::now() >= deadline) return PageWait::kLate;
  }
}

// A list arrives all at once; take every path of it while it is there.
void ScanSession::TakeReadyEvents() {
  char path[kSourcePathBytes];
  for (;;) {
    const int event = api_.nextEvent(session_, 0, path, sizeof(path));
    if (event == TS_EVENT_FILE) {
      listed_.emplace_back(path);
    } else {
      if (event == TS_EVENT_FINISHED || event == TS_EVENT_ENDED) finished_ = true;
      return;
    }
  }
}

SANE_Status ScanSession::NextFeederPage(const ScanChoice& choice, std::string& file) {
  // Mode 1 sends each page as it is taken; the feeder's run is told apart
  // from a flatbed's window by feederRun_.
  if (session_ != nullptr && !feederRun_) Close();
  // A book's spread is taken once and comes as two files, each of which
  // is a page of the batch.
  const int crop = choice.book       ? kTavrinCropBook
                   : choice.findPage ? kTavrinCropSinglePage
                                     : kTavrinCropNone;
  if (session_ == nullptr) {
    const SANE_Status opened = Open(TS_SHOW_CAPTURE_SEND, choice, /*feeder=*/true);
    if (opened != SANE_STATUS_GOOD) return opened;
    feederRun_ = true;
    if (choice.feederFirstPageLying) {
      // The page lying there is taken at once, as a flatbed would, and the
      // run starts after it, so that it is not new to the run.
      const SANE_Status requested = Request(TS_SHOW_CAPTURE_SEND, choice, crop, 0);
      if (requested != SANE_STATUS_GOOD) return requested;
      std::string first;
      const PageWait waited =
          WaitForPage(Clock::now() + std::chrono::milliseconds(kCaptureTimeoutMs), first);
      if (waited == PageWait::kCancelled) return SANE_STATUS_CANCELLED;
      if (waited == PageWait::kPage) pending_.push_back(std::move(first));
      if (waited == PageWait::kUnreadable) return Fail(SANE_STATUS_IO_ERROR, error_);
      if (waited != PageWait::kPage) {
        const std::string cause = FailureCause();
        return Fail(SANE_STATUS_IO_ERROR, "the capture of the page lying there failed" +
                                              (cause.empty() ? std::string() : ": " + cause));
      }
    }
    const SANE_Status requested = Request(TS_SHOW_CAPTURE_SEND, choice, crop, kFeederStillSeconds);
    if (requested != SANE_STATUS_GOOD) return requested;
  }
  if (!pending_.empty()) {
    file = std::move(pending_.front());
    pending_.pop_front();
    ++feederPages_;
    return SANE_STATUS_GOOD;
  }
  // The person has only just pressed Scan when the first page is awaited.
  const int waitSeconds = feederPages_ == 0
                              ? std::max(kFeederFirstPageSeconds, choice.feederWaitSeconds)
                              : choice.feederWaitSeconds;
  const PageWait waited = WaitForPage(Clock::now() + std::chrono::seconds(waitSeconds), file);
  switch (waited) {
    case PageWait::kPage:
      ++feederPages_;
      return SANE_STATUS_GOOD;
    case PageWait::kUnreadable:
      return SANE_STATUS_IO_ERROR;
    case PageWait::kCancelled:
      return SANE_STATUS_CANCELLED;
    case PageWait::kFinished:
    case PageWait::kEnded: {
      // Either the person ended the run at the window (which, before its
      // first page, just ends), or the window ended it because a capture
      // failed; only the second has a cause to find.
      const std::string cause = FailureCause();
      if (!cause.empty()) return Fail(SANE_STATUS_IO_ERROR, "the capture failed: " + cause);
      Close();
      error_ = "the batch was ended at the scan window";
      return SANE_STATUS_CANCELLED;
    }
    case PageWait::kLate:
      break;
  }
  // No new page came in time: the feeder is empty.
  Close();
  error_.clear();
  return SANE_STATUS_NO_DOCS;
}

SANE_Status ScanSession::NextPage(const ScanChoice& choice, std::string& file) {
  if (session_ != nullptr && showMode_ != 2) Close();
  if (session_ == nullptr) {
    // Mode 2 shows the window with the frontend's colour and resolution,
    // and delivers the pages as a list when the person closes it.
    const SANE_Status opened = Open(TS_SHOW_LIST, choice, /*feeder=*/false);
    if (opened != SANE_STATUS_GOOD) return opened;
    const SANE_Status requested = Request(TS_SHOW_LIST, choice, kKeepWindowCrop, 0);
    if (requested != SANE_STATUS_GOOD) return requested;
  }
  // The person may take as long as they need.
  for (;;) {
    while (!listed_.empty()) {
      const std::string path = std::move(listed_.front());
      listed_.pop_front();
      if (ReadPageFile(path, file)) return SANE_STATUS_GOOD;
      // An unreadable file is skipped; the others still come.
    }
    if (finished_) {
      const std::string cause =
          api_.pagesNotHandedOn(session_) != 0 ? api_.lastError(session_) : error_;
      Close();
      // Logged with the end of the batch: pages it had, and where others are.
      error_ = cause;
      return SANE_STATUS_NO_DOCS;
    }
    if (cancelled_()) return SANE_STATUS_CANCELLED;
    char path[kSourcePathBytes];
    const int event = api_.nextEvent(session_, kPollMs, path, sizeof(path));
    if (event == TS_EVENT_FILE) {
      listed_.emplace_back(path);
      TakeReadyEvents();
    } else if (event == TS_EVENT_FINISHED) {
      finished_ = true;
    } else if (event == TS_EVENT_ENDED) {
      return Fail(SANE_STATUS_IO_ERROR, "the scan window ended without closing the scan");
    }
  }
}

}  // namespace tavrin::sane
