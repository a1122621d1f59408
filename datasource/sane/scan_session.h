// One scan operation of a frontend: the scan window started through
// TavrinSource.ds, asked for pages, and ended again.
// Threads: the frontend's calling thread; the cancel check may turn true
// from any thread or a signal handler. Every wait looks at it at least
// every 100 ms; a cancelled call returns SANE_STATUS_CANCELLED at once and
// leaves the window to Close, which may take seconds.
#pragma once

#include <sane/sane.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "datasource/client/source_api.h"
#include "datasource/include/TavrinSource.h"
#include "datasource/sane/backend_options.h"

namespace tavrin::sane {

using tavrin::SourceApi;

// TavrinSource.ds from the program folder. Null with error set when the
// module is missing or lacks its functions.
const SourceApi* LoadSourceApi(const std::string& programFolder, std::string& error);

// Whether a person could see the window: a display, and a Qt platform
// that shows on it. Under saned or over ssh there is none.
bool WindowCanBeSeen();

class ScanSession {
 public:
  using CancelCheck = std::function<bool()>;

  // programFolder holds tavrin-cameras, asked when a capture fails.
  ScanSession(const SourceApi& api, std::string programFolder, CancelCheck cancelled);
  ~ScanSession();
  ScanSession(const ScanSession&) = delete;
  ScanSession& operator=(const ScanSession&) = delete;

  // "Flatbed": one capture with the window hidden; the file's bytes go
  // into file. The window stays up for the next page until Close.
  SANE_Status Capture(const ScanChoice& choice, std::string& file);
  // "Automatic Document Feeder": the next page the window's automatic run
  // took. The first call shows the window and starts the run (first taking
  // the page lying there when the choice says so). When no page comes
  // within the wait (the longer first-page wait for the first), the window
  // closes and SANE_STATUS_NO_DOCS comes; a run the person ended at the
  // window is SANE_STATUS_CANCELLED, and a failed capture
  // SANE_STATUS_IO_ERROR with its cause in Error(). The call after any of
  // them starts anew.
  SANE_Status NextFeederPage(const ScanChoice& choice, std::string& file);
  // "Camera (interactive)": the next page the person captured. The first
  // call shows the window and waits until pages arrive; after the last one
  // comes SANE_STATUS_NO_DOCS, and the call after that starts anew.
  SANE_Status NextPage(const ScanChoice& choice, std::string& file);
  // Ends the window, if one runs or is still starting; the pages it
  // captured and the frontend did not read are kept for --recover.
  void Close();

  bool IsOpen() const { return session_ != nullptr; }
  // A hidden window that has delivered the page asked of it and may take
  // the next flatbed capture.
  bool IdleForCapture() const {
    return session_ != nullptr && showMode_ == TS_SHOW_CAPTURE_SEND && !feederRun_ &&
           !captureAsked_ && !opener_.joinable();
  }
  const std::string& Error() const { return error_; }

 private:
  // The window's start runs on a thread of its own, so that a cancel need
  // not wait for it to attach.
  struct Opening {
    TavrinSession* session = nullptr;
    int result = TS_ERROR;
    std::string error;
    std::atomic<bool> done{false};
  };
  // A feeder's window shows itself; a flatbed's (mode 1 otherwise) never
  // does, and is started without its controls.
  SANE_Status Open(int showMode, const ScanChoice& choice, bool feeder);
  // Waits for a start left behind by a cancel and ends its window.
  void FinishOpening();
  // Once per handle, after a window started: pages of earlier sessions
  // wait (the window set aside what the last one left).
  void TellOfWaitingPages();
  // After a window ended: what it captured and the frontend never read is
  // set aside for tavrin-scan --recover, and the person is told where.
  void KeepLeftovers();
  // Writes the request for the next 206 and sends it.
  SANE_Status Request(int showMode, const ScanChoice& choice, int cropMode, int autoSeconds);
  SANE_Status Send(int code);
  SANE_Status Fail(SANE_Status status, const std::string& why);
  // Why the window ended a run or a capture without a page: pages it could
  // not hand on, a full disk, a camera gone; empty when none of these.
  std::string FailureCause();
  // A file's bytes, read at once, and the file removed: once handed on,
  // the page is the frontend's, and the window's folder keeps no copy.
  bool ReadPageFile(const std::string& path, std::string& bytes);
  void TakeReadyEvents();
  enum class PageWait { kPage, kUnreadable, kCancelled, kFinished, kEnded, kLate };
  // Waits for the window's next file until deadline; kPage puts its bytes
  // into file.
  PageWait WaitForPage(std::chrono::steady_clock::time_point deadline, std::string& file);

  const SourceApi& api_;
  std::string programFolder_;
  CancelCheck cancelled_;
  TavrinSession* session_ = nullptr;
  std::thread opener_;
  std::shared_ptr<Opening> opening_;
  int showMode_ = -1;
  bool feederRun_ = false;
  int feederPages_ = 0;
  // A flatbed capture was asked for and its page has not come: a window
  // left so would deliver it to the next capture.
  bool captureAsked_ = false;
  std::deque<std::string> pending_;  // pages' bytes
  // The files of the window's list, read one at a time as the frontend
  // asks: those it never asks for stay in the window's folder, and Close
  // keeps them for --recover.
  std::deque<std::string> listed_;
  bool finished_ = false;
  bool waitingTold_ = false;
  std::string error_;
};

}  // namespace tavrin::sane
