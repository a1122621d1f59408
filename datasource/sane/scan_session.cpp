#include "datasource/sane/scan_session.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

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
constexpr uintmax_t kMaxFileBytes = 256u << 20;

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

ScanSession::ScanSession(const SourceApi& api, CancelCheck cancelled)
    : api_(api), cancelled_(std::move(cancelled)) {}

ScanSession::~ScanSession() {
  Close();
}

SANE_Status ScanSession::Fail(SANE_Status status, const std::string& why) {
  error_ = why;
  Close();
  return status;
}

SANE_Status ScanSession::Open(int showMode, const ScanChoice& choice) {
  error_.clear();
  pending_.clear();
  finished_ = false;
  const int opened =
      api_.open(&session_, showMode, choice.colorType, 0, WindowDpi(choice), kAttachTimeoutMs);
  if (opened == TS_BUSY) {
    session_ = nullptr;
    error_ = std::string(
                 "the camera is busy: another scan of this user is running; try again "
                 "when it has ended (") +
             api_.lastError(nullptr) + ")";
    return SANE_STATUS_DEVICE_BUSY;
  }
  if (opened != TS_OK) {
    session_ = nullptr;
    error_ = std::string("cannot start the scan window: ") + api_.lastError(nullptr);
    return SANE_STATUS_IO_ERROR;
  }
  showMode_ = showMode;
  return SANE_STATUS_GOOD;
}

void ScanSession::Close() {
  if (session_ == nullptr) return;
  if (api_.windowRunning(session_)) api_.send(session_, TS_MSG_CLOSE, kCloseSendMs);
  api_.close(session_, kWindowEndMs);
  session_ = nullptr;
  showMode_ = -1;
  feederRun_ = false;
  pending_.clear();
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

SANE_Status ScanSession::Request(int showMode, const ScanChoice& choice, int cropMode,
                                 int autoSeconds) {
  if (api_.writeScanRequest(session_, showMode, choice.colorType, 0, WindowDpi(choice), cropMode,
                            autoSeconds) != TS_OK)
    return Fail(SANE_STATUS_IO_ERROR, api_.lastError(session_));
  if (api_.send(session_, TS_MSG_REQUEST, kSendTimeoutMs) != TS_OK)
    return Fail(SANE_STATUS_IO_ERROR, api_.lastError(session_));
  return SANE_STATUS_GOOD;
}

SANE_Status ScanSession::Capture(const ScanChoice& choice, std::string& file) {
  if (session_ != nullptr && (showMode_ != 1 || feederRun_)) Close();
  if (session_ == nullptr) {
    const SANE_Status opened = Open(TS_SHOW_CAPTURE_SEND, choice);
    if (opened != SANE_STATUS_GOOD) return opened;
  }
  // The whole field when the frontend's scan area is to be cut from it.
  const SANE_Status requested = Request(
      TS_SHOW_CAPTURE_SEND, choice, choice.findPage ? kTavrinCropSinglePage : kTavrinCropNone, 0);
  if (requested != SANE_STATUS_GOOD) return requested;

  switch (WaitForPage(Clock::now() + std::chrono::milliseconds(kCaptureTimeoutMs), file)) {
    case PageWait::kPage:
      return SANE_STATUS_GOOD;
    case PageWait::kUnreadable:
      return SANE_STATUS_IO_ERROR;
    case PageWait::kCancelled:
      return Fail(SANE_STATUS_CANCELLED, "cancelled");
    case PageWait::kFinished:
      return Fail(SANE_STATUS_IO_ERROR, "the scan window closed without a page");
    case PageWait::kEnded:
      return Fail(SANE_STATUS_IO_ERROR, "the scan window ended: the capture failed");
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

// A list arrives all at once; take every file of it while it is there.
void ScanSession::TakeReadyEvents() {
  char path[kSourcePathBytes];
  for (;;) {
    const int event = api_.nextEvent(session_, 0, path, sizeof(path));
    if (event == TS_EVENT_FILE) {
      std::string bytes;
      if (ReadPageFile(path, bytes)) pending_.push_back(std::move(bytes));
      // An unreadable file is skipped; the others still come.
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
  if (session_ == nullptr) {
    const SANE_Status opened = Open(TS_SHOW_CAPTURE_SEND, choice);
    if (opened != SANE_STATUS_GOOD) return opened;
    feederRun_ = true;
    // A book's spread is taken once and comes as two files, each of which
    // is a page of the batch.
    const int crop = choice.book       ? kTavrinCropBook
                     : choice.findPage ? kTavrinCropSinglePage
                                       : kTavrinCropNone;
    const SANE_Status requested = Request(TS_SHOW_CAPTURE_SEND, choice, crop, kFeederStillSeconds);
    if (requested != SANE_STATUS_GOOD) return requested;
  }
  switch (WaitForPage(Clock::now() + std::chrono::seconds(choice.feederWaitSeconds), file)) {
    case PageWait::kPage:
      return SANE_STATUS_GOOD;
    case PageWait::kUnreadable:
      return SANE_STATUS_IO_ERROR;
    case PageWait::kCancelled:
      return Fail(SANE_STATUS_CANCELLED, "cancelled");
    case PageWait::kFinished:
    case PageWait::kEnded:
    case PageWait::kLate:
      break;
  }
  // The person ended the run, or no new page came in time: the feeder is
  // empty.
  Close();
  error_.clear();
  return SANE_STATUS_NO_DOCS;
}

SANE_Status ScanSession::NextPage(const ScanChoice& choice, std::string& file) {
  if (session_ != nullptr && showMode_ != 2) Close();
  if (session_ == nullptr) {
    // Mode 2 shows the window with the frontend's colour and resolution,
    // and delivers the pages as a list when the person closes it.
    const SANE_Status opened = Open(TS_SHOW_LIST, choice);
    if (opened != SANE_STATUS_GOOD) return opened;
    const SANE_Status requested = Request(TS_SHOW_LIST, choice, kKeepWindowCrop, 0);
    if (requested != SANE_STATUS_GOOD) return requested;
  }
  // The person may take as long as they need.
  for (;;) {
    if (!pending_.empty()) {
      file = std::move(pending_.front());
      pending_.pop_front();
      return SANE_STATUS_GOOD;
    }
    if (finished_) {
      const std::string skipped = error_;
      Close();
      error_ = skipped;
      return SANE_STATUS_NO_DOCS;
    }
    if (cancelled_()) return Fail(SANE_STATUS_CANCELLED, "cancelled");
    char path[kSourcePathBytes];
    const int event = api_.nextEvent(session_, kPollMs, path, sizeof(path));
    if (event == TS_EVENT_FILE) {
      std::string bytes;
      if (ReadPageFile(path, bytes)) pending_.push_back(std::move(bytes));
      TakeReadyEvents();
    } else if (event == TS_EVENT_FINISHED) {
      finished_ = true;
    } else if (event == TS_EVENT_ENDED) {
      return Fail(SANE_STATUS_IO_ERROR, "the scan window ended without closing the scan");
    }
  }
}

}  // namespace tavrin::sane
