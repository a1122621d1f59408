// One scan operation of a frontend: the scan window started through
// TavrinSource.ds, asked for pages, and ended again.
// Threads: the frontend's calling thread; the cancel check may turn true
// from any thread or a signal handler.
#pragma once

#include <sane/sane.h>

#include <chrono>
#include <deque>
#include <functional>
#include <string>

#include "datasource/client/source_api.h"
#include "datasource/include/TavrinSource.h"
#include "datasource/sane/backend_options.h"

namespace tavrin::sane {

using tavrin::SourceApi;

// TavrinSource.ds from the program folder. Null with error set when the
// module is missing or lacks its functions.
const SourceApi* LoadSourceApi(const std::string& programFolder, std::string& error);

class ScanSession {
 public:
  using CancelCheck = std::function<bool()>;

  ScanSession(const SourceApi& api, CancelCheck cancelled);
  ~ScanSession();
  ScanSession(const ScanSession&) = delete;
  ScanSession& operator=(const ScanSession&) = delete;

  // "Flatbed": one capture with the window hidden; the file's bytes go
  // into file. The window stays up for the next page until Close.
  SANE_Status Capture(const ScanChoice& choice, std::string& file);
  // "Automatic Document Feeder": the next page the window's automatic run
  // took. The first call shows the window and starts the run; when no page
  // comes within the choice's wait, or the person ends the run, the window
  // closes and SANE_STATUS_NO_DOCS comes; the call after that starts anew.
  SANE_Status NextFeederPage(const ScanChoice& choice, std::string& file);
  // "Camera (interactive)": the next page the person captured. The first
  // call shows the window and waits until pages arrive; after the last one
  // comes SANE_STATUS_NO_DOCS, and the call after that starts anew.
  SANE_Status NextPage(const ScanChoice& choice, std::string& file);
  // Ends the window, if one runs, and forgets undelivered pages.
  void Close();

  bool IsOpen() const { return session_ != nullptr; }
  const std::string& Error() const { return error_; }

 private:
  SANE_Status Open(int showMode, const ScanChoice& choice);
  // Writes the request for the next 206 and sends it.
  SANE_Status Request(int showMode, const ScanChoice& choice, int cropMode, int autoSeconds);
  SANE_Status Fail(SANE_Status status, const std::string& why);
  // A file's bytes, read at once, and the file removed: once handed on,
  // the page is the frontend's, and the window's folder keeps no copy.
  bool ReadPageFile(const std::string& path, std::string& bytes);
  void TakeReadyEvents();
  enum class PageWait { kPage, kUnreadable, kCancelled, kFinished, kEnded, kLate };
  // Waits for the window's next file until deadline; kPage puts its bytes
  // into file.
  PageWait WaitForPage(std::chrono::steady_clock::time_point deadline, std::string& file);

  const SourceApi& api_;
  CancelCheck cancelled_;
  TavrinSession* session_ = nullptr;
  int showMode_ = -1;
  bool feederRun_ = false;
  std::deque<std::string> pending_;
  bool finished_ = false;
  std::string error_;
};

}  // namespace tavrin::sane
