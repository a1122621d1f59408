// tavrin-scan: asks the scan window for scans through TavrinSource.ds and
// copies the delivered files into an output folder.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "datasource/client/source_api.h"
#include "datasource/include/TavrinSource.h"
#include "document/languages.h"
#include "document/pdf_builder.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "recovery/undelivered_pages.h"

namespace {

namespace platform = tavrin::platform;
namespace recovery = tavrin::recovery;
using tavrin::kSourcePathBytes;
using tavrin::kWindowEndMs;
using tavrin::LoadSourceModule;
using tavrin::SourceApi;

using Clock = std::chrono::steady_clock;

// Exit statuses; --help lists them.
constexpr int kExitDelivered = 0;
constexpr int kExitSetup = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoWindow = 3;
constexpr int kExitEndedEarly = 4;
constexpr int kExitTimeout = 5;
constexpr int kExitNothing = 6;
constexpr int kExitBusy = 7;
constexpr int kExitNotHandedOn = 8;
constexpr int kExitFewer = 9;

// Modes 1 and 3 give up after this unless told otherwise; in modes 0 and 2
// a person works at the window, for as long as they like.
constexpr int kUnattendedTimeoutSeconds = 300;
// Without a time-out, a window that never attaches is still given up.
constexpr int kAttachBoundMs = 120000;
// After a time-out the window is closed as Exit would, and what it hands on
// meanwhile is delivered.
constexpr int kDeliverAfterTimeoutMs = 15000;

const char kUsage[] =
    "usage: tavrin-scan [options]\n"
    "Asks the scan window TavrinDesk for scans and copies the delivered files\n"
    "into the output folder as page-001.<ext>, page-002.<ext>, ..., continuing\n"
    "after the highest page number already there. No file is ever overwritten.\n"
    "\n"
    "  --mode 0|1|2|3       0: the person captures and closes the window (default)\n"
    "                       1: one capture per request, delivered at once\n"
    "                       2: like 0, files delivered as a list at the end\n"
    "                       3: one capture per request, delivered at the end\n"
    "  --count N            number of requests in modes 1 and 3 (default 1)\n"
    "  --color color|gray|bw  colour mode (default color)\n"
    "  --rotate 0..3        0 none, 1 left, 2 half turn, 3 right (default 0)\n"
    "  --dpi N              resolution; 0 lets the window use 200 (default 0)\n"
    "  --output DIR         folder for the delivered files (default .)\n"
    "  --session-folder     put this session's files into a new folder of its\n"
    "                       own in DIR, named after the date and time\n"
    "  --timeout S          close the window after S seconds, delivering what\n"
    "                       was captured (default: none in modes 0 and 2,\n"
    "                       300 in modes 1 and 3)\n"
    "  --recover            deliver the pages of earlier sessions that were\n"
    "                       captured but never delivered (a window or client\n"
    "                       killed, a failed copy), then exit\n"
    "  --pdf FILE           also put the pages, in the order taken, into one PDF;\n"
    "                       an existing FILE gets a numbered name (FILE-2.pdf)\n"
    "  --pdf-only           the PDF alone: no page files in the output folder\n"
    "  --ocr LANG[+LANG]    give the PDF a text layer in these tesseract languages\n"
    "                       (eng, deu, ...); auto: the locale's language, else eng\n"
    "  --help               this text\n"
    "\n"
    "Pages a session could not deliver are kept in the private temporary\n"
    "folder; every run says so on standard error until --recover delivers them.\n"
    "\n"
    "exit status:\n"
    "  0  files were delivered\n"
    "  1  set-up failed (data source module, its files, the output folder), or\n"
    "     the PDF could not be made whole (the message says where its pages are)\n"
    "  2  bad command line\n"
    "  3  no scan window (missing, failed to start, or ended before attaching)\n"
    "  4  the scan window ended before the scan was complete\n"
    "  5  timeout (what was captured until then is delivered)\n"
    "  6  nothing delivered\n"
    "  7  busy: another scan of this user is running\n"
    "  8  the scan window could not hand on its pages (the message says where\n"
    "     they are)\n"
    "  9  fewer pages than --count arrived (the message says how many)\n";

struct Options {
  int mode = TS_SHOW_WINDOW;
  int count = 1;
  int colorType = TS_PIXEL_RGB;
  int rotate = 0;
  int dpi = 0;
  std::string output = ".";
  bool sessionFolder = false;
  int timeoutSeconds = 0;  // 0: none asked for
  bool recover = false;
  std::string pdf;
  bool pdfOnly = false;
  std::string ocr;
};

bool ParseInt(const std::string& text, int low, int high, int& value) {
  char* end = nullptr;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || parsed < low || parsed > high) return false;
  value = static_cast<int>(parsed);
  return true;
}

// 0: go on; otherwise the exit status.
int ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return -1;
    }
    if (option == "--session-folder") {
      options.sessionFolder = true;
      continue;
    }
    if (option == "--pdf-only") {
      options.pdfOnly = true;
      continue;
    }
    if (option == "--recover") {
      options.recover = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "tavrin-scan: %s needs a value (see --help)\n", option.c_str());
      return kExitUsage;
    }
    const std::string value = argv[++i];
    bool good = true;
    if (option == "--mode") {
      good = ParseInt(value, 0, 3, options.mode);
    } else if (option == "--count") {
      good = ParseInt(value, 1, 10000, options.count);
    } else if (option == "--color") {
      good = value == "color" || value == "gray" || value == "bw";
      options.colorType = value == "bw"     ? TS_PIXEL_BW
                          : value == "gray" ? TS_PIXEL_GREY
                                            : TS_PIXEL_RGB;
    } else if (option == "--rotate") {
      good = ParseInt(value, 0, 3, options.rotate);
    } else if (option == "--dpi") {
      good = ParseInt(value, 0, 100000, options.dpi);
    } else if (option == "--output") {
      good = !value.empty();
      options.output = value;
    } else if (option == "--timeout") {
      good = ParseInt(value, 1, 86400, options.timeoutSeconds);
    } else if (option == "--pdf") {
      good = !value.empty();
      options.pdf = value;
    } else if (option == "--ocr") {
      good = !value.empty();
      options.ocr = value;
    } else {
      std::fprintf(stderr, "tavrin-scan: unknown option %s (see --help)\n", option.c_str());
      return kExitUsage;
    }
    if (!good) {
      std::fprintf(stderr, "tavrin-scan: bad value '%s' for %s (see --help)\n", value.c_str(),
                   option.c_str());
      return kExitUsage;
    }
  }
  if ((options.pdfOnly || !options.ocr.empty()) && options.pdf.empty()) {
    std::fprintf(stderr, "tavrin-scan: --pdf-only and --ocr need --pdf FILE (see --help)\n");
    return kExitUsage;
  }
  return 0;
}

bool IsUnattendedMode(int mode) {
  return mode == TS_SHOW_CAPTURE_SEND || mode == TS_SHOW_CAPTURE_LIST;
}

std::string Pages(int count) {
  return std::to_string(count) + (count == 1 ? " page" : " pages");
}

int Fail(int status, const std::string& why) {
  std::fprintf(stderr, "tavrin-scan: %s\n", why.c_str());
  return status;
}

std::string RecoverCommand(const std::string& output) {
  return "tavrin-scan --recover --output '" + output + "'";
}

// Makes the output folder, and the session's folder in it when asked for.
bool PrepareOutput(Options& options, bool makeSessionFolder, std::string& error) {
  if (!makeSessionFolder) {
    if (platform::IsFolder(options.output) || platform::CreateFolders(options.output)) return true;
    error = "cannot create the output folder " + options.output;
    return false;
  }
  const std::string folder = platform::CreateDatedFolder(options.output);
  if (folder.empty()) {
    error = "cannot create a session folder in " + options.output;
    return false;
  }
  options.output = folder;
  return true;
}

// --recover: what earlier sessions left undelivered goes out like the pages
// of any session. No window is started; the session lock keeps a scan of
// this user from starting meanwhile.
int Recover(Options options) {
  const std::string temp = platform::PrivateTempFolder();
  if (temp.empty()) return Fail(kExitSetup, "no private temporary folder");
  platform::FileLock lock;
  std::string error;
  switch (lock.TryLock(recovery::SessionLockPath(temp), &error)) {
    case platform::FileLock::Result::kLocked:
      break;
    case platform::FileLock::Result::kBusy:
      return Fail(kExitBusy, "busy: another scan of this user is running");
    case platform::FileLock::Result::kFailed:
      return Fail(kExitSetup, "cannot take the session lock: " + error);
  }
  recovery::KeepUndelivered(temp);
  const std::vector<recovery::WaitingPages> waiting = recovery::ListWaiting(temp);
  if (waiting.empty()) {
    std::printf("no pages are waiting to be delivered\n");
    return kExitDelivered;
  }
  if (!PrepareOutput(options, false, error) ||
      (options.sessionFolder && !PrepareOutput(options, true, error)))
    return Fail(kExitSetup, error);
  recovery::PageDelivery delivery(temp, options.output);
  int failed = 0;
  for (const recovery::WaitingPages& set : waiting) {
    for (const std::string& page : set.pages) {
      std::string placed;
      if (!delivery.Deliver(page, placed, error)) {
        std::fprintf(stderr, "tavrin-scan: page not written: %s\n", error.c_str());
        ++failed;
        continue;
      }
      std::printf("wrote %s\n", placed.c_str());
      std::fflush(stdout);
    }
  }
  if (failed > 0) {
    const std::vector<recovery::WaitingPages> left = recovery::ListWaiting(temp);
    return Fail(kExitSetup, Pages(failed) + " not delivered; they stay in " +
                                (left.empty() ? temp : left.front().folder));
  }
  std::printf("%d file%s delivered to %s\n", delivery.Delivered(),
              delivery.Delivered() == 1 ? "" : "s", options.output.c_str());
  return kExitDelivered;
}

class Scan {
 public:
  Scan(const SourceApi& api, const Options& options, tavrin::document::PdfBuilder* document)
      : api_(api),
        options_(options),
        document_(document),
        tempFolder_(platform::PrivateTempFolder()) {
    if (options_.timeoutSeconds == 0 && IsUnattendedMode(options_.mode))
      options_.timeoutSeconds = kUnattendedTimeoutSeconds;
    if (options_.timeoutSeconds > 0)
      deadline_ = Clock::now() + std::chrono::seconds(options_.timeoutSeconds);
  }

  int Run() {
    std::string error;
    if (!PrepareOutput(options_, false, error)) return Fail(kExitSetup, error);
    const int attachMs = options_.timeoutSeconds > 0 ? RemainingMs() : kAttachBoundMs;
    const int opened = api_.open(&session_, options_.mode, options_.colorType, options_.rotate,
                                 options_.dpi, attachMs);
    if (opened != TS_OK) return Fail(StatusOf(opened), api_.lastError(nullptr));
    // The window has set aside what an earlier session left in its
    // working folder by the time it attached.
    TellOfWaitingPages();
    // Made once the scan is ours, so that a busy scan leaves no empty folder.
    if (!PrepareOutput(options_, options_.sessionFolder, error)) {
      api_.send(session_, TS_MSG_CLOSE, 1000);
      api_.close(session_, kWindowEndMs);
      KeepLeftovers();
      return Fail(kExitSetup, error);
    }
    delivery_.emplace(tempFolder_, options_.output);
    int status = IsUnattendedMode(options_.mode) ? RunRequests() : RunPerson();
    if (api_.pagesNotHandedOn(session_) != 0) {
      Fail(kExitNotHandedOn, api_.lastError(session_));
      // The window tells the person the same in a box: it ends when they
      // have read it, not when we stop waiting.
      api_.close(session_, std::max(kWindowEndMs, RemainingMs()));
      KeepLeftovers();
      return copyError_.empty() ? kExitNotHandedOn : Fail(kExitSetup, copyError_);
    }
    api_.close(session_, kWindowEndMs);
    if (status == 0 && !copyError_.empty()) status = Fail(kExitSetup, copyError_);
    if (status == 0 && files_ == 0) status = Fail(kExitNothing, "nothing delivered");
    if (IsUnattendedMode(options_.mode) && files_ < options_.count && files_ > 0) {
      const std::string arrived = "only " + std::to_string(files_) + " of " +
                                  Pages(options_.count) + " arrived in " + options_.output;
      status = Fail(status == 0 ? kExitFewer : status, arrived);
    }
    KeepLeftovers();
    if (status != 0) return status;
    if (!options_.pdfOnly)
      std::printf("%d file%s delivered to %s\n", files_, files_ == 1 ? "" : "s",
                  options_.output.c_str());
    return kExitDelivered;
  }

 private:
  int RemainingMs() const {
    if (options_.timeoutSeconds == 0) return 3600 * 1000;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  }

  bool Expired() const { return options_.timeoutSeconds > 0 && Clock::now() >= deadline_; }

  static int StatusOf(int result) {
    switch (result) {
      case TS_NO_WINDOW:
        return kExitNoWindow;
      case TS_WINDOW_ENDED:
        return kExitEndedEarly;
      case TS_TIMEOUT:
        return kExitTimeout;
      case TS_BUSY:
        return kExitBusy;
      default:
        return kExitSetup;
    }
  }

  // One line, whatever the mode: pages of earlier sessions are waiting.
  void TellOfWaitingPages() {
    if (tempFolder_.empty()) return;
    const std::string waiting = recovery::WaitingNotice(recovery::ListWaiting(tempFolder_));
    if (waiting.empty()) return;
    std::fprintf(stderr, "tavrin-scan: %s: %s\n", waiting.c_str(),
                 RecoverCommand(options_.output).c_str());
  }

  // Once the window has ended: whatever it captured and nobody delivered
  // is set aside for --recover, and the person is told where.
  void KeepLeftovers() {
    if (tempFolder_.empty()) return;
    platform::FileLock lock;
    // A scan started meanwhile sets them aside itself at its start.
    if (lock.TryLock(recovery::SessionLockPath(tempFolder_)) != platform::FileLock::Result::kLocked)
      return;
    const recovery::WaitingPages kept = recovery::KeepUndelivered(tempFolder_);
    if (kept.pages.empty()) return;
    std::fprintf(stderr, "tavrin-scan: %s: %s\n", recovery::KeptNotice(kept).c_str(),
                 RecoverCommand(options_.output).c_str());
  }

  // Never over an existing file: a name taken meanwhile moves the page on
  // to the next free number.
  void Copy(const std::string& path) {
    std::string placed;
    std::string error;
    if (!delivery_->Deliver(path, placed, error)) {
      std::fprintf(stderr, "tavrin-scan: page not written: %s\n", error.c_str());
      if (copyError_.empty()) copyError_ = "not every page was written to " + options_.output;
      return;
    }
    std::printf("wrote %s\n", placed.c_str());
    std::fflush(stdout);
    ++files_;
  }

  // A page goes to the document as it arrives, so that it is recognised
  // while the scan goes on.
  void Deliver(const std::string& path) {
    std::string error;
    const bool added = document_ == nullptr || document_->AddPage(path, &error);
    if (!added) {
      std::fprintf(stderr, "tavrin-scan: page not added to the PDF: %s\n", error.c_str());
      if (copyError_.empty()) copyError_ = "not every page went into the PDF";
    }
    // A page the PDF could not take is kept as a file all the same.
    if (!options_.pdfOnly || !added) {
      Copy(path);
      return;
    }
    // The document holds its own copy, kept should the PDF fail: the
    // window's original is delivered and must not be offered again.
    recovery::PageDelivered(tempFolder_, path);
    ++files_;
  }

  // Takes events for up to waitMs; returns the last event seen.
  int Collect(int waitMs) {
    char path[kSourcePathBytes];
    int event = api_.nextEvent(session_, waitMs, path, sizeof(path));
    while (event == TS_EVENT_FILE) {
      Deliver(path);
      event = api_.nextEvent(session_, 0, path, sizeof(path));
    }
    if (event == TS_EVENT_FINISHED) finished_ = true;
    if (event == TS_EVENT_ENDED) ended_ = true;
    return event;
  }

  // What the window delivered before it ended is still copied.
  void DrainAfterEnd() {
    const auto endBy = Clock::now() + std::chrono::milliseconds(1000);
    while (!ended_ && Clock::now() < endBy) Collect(100);
  }

  // Closes the window as Exit would and delivers what it hands on.
  int TimedOut() {
    api_.send(session_, TS_MSG_CLOSE, 1000);
    const auto endBy = Clock::now() + std::chrono::milliseconds(kDeliverAfterTimeoutMs);
    while (!ended_ && Clock::now() < endBy) Collect(100);
    return Fail(kExitTimeout, "timed out after " + std::to_string(options_.timeoutSeconds) +
                                  " s; " + Pages(files_) + " delivered to " + options_.output);
  }

  // Modes 1 and 3: each request is taken once the window has finished the
  // capture of the one before.
  int RunRequests() {
    for (int i = 0; i < options_.count; ++i) {
      api_.writeShowModel(session_, options_.mode, options_.colorType, options_.rotate,
                          options_.dpi);
      const int sent = api_.send(session_, TS_MSG_REQUEST, RemainingMs());
      if (sent == TS_TIMEOUT) return TimedOut();
      if (sent != TS_OK) {
        const int status = StatusOf(sent);
        const std::string why = api_.lastError(session_);
        if (status == kExitEndedEarly) DrainAfterEnd();
        return Fail(status, why);
      }
      Collect(0);
      if (ended_) return Fail(kExitEndedEarly, "the scan window ended during the scan");
    }
    const int sent = api_.send(session_, TS_MSG_CLOSE, RemainingMs());
    if (sent == TS_TIMEOUT) return TimedOut();
    // The last capture ran before the window took the 205; its end is ours.
    while (!ended_) {
      if (Expired()) return TimedOut();
      Collect(RemainingMs());
    }
    return 0;
  }

  // Modes 0 and 2: the person at the window captures and closes it.
  int RunPerson() {
    const int sent = api_.send(session_, TS_MSG_REQUEST, RemainingMs());
    if (sent == TS_TIMEOUT) return TimedOut();
    if (sent != TS_OK) return Fail(StatusOf(sent), api_.lastError(session_));
    while (!finished_ && !ended_) {
      if (Expired()) return TimedOut();
      Collect(RemainingMs());
    }
    if (!finished_) return Fail(kExitEndedEarly, "the scan window ended without closing the scan");
    const auto endBy = Clock::now() + std::chrono::milliseconds(kWindowEndMs);
    while (!ended_ && Clock::now() < endBy) Collect(kWindowEndMs);
    return 0;
  }

  SourceApi api_;
  Options options_;
  tavrin::document::PdfBuilder* document_ = nullptr;
  std::string tempFolder_;
  std::optional<recovery::PageDelivery> delivery_;
  TavrinSession* session_ = nullptr;
  Clock::time_point deadline_;
  int files_ = 0;
  bool finished_ = false;
  bool ended_ = false;
  std::string copyError_;
};

// Tesseract runs parts of each page on OpenMP threads that busy-wait for
// each other; beside our own recognisers, on a busy machine, that makes a
// page several times slower. The limit only takes effect when the program
// starts, hence the new start.
void LimitRecognitionThreads(const Options& options, char** argv) {
  if (options.ocr.empty() || platform::HasEnvironment("OMP_THREAD_LIMIT")) return;
  if (!platform::SetEnvironment("OMP_THREAD_LIMIT", "1")) return;
  platform::ReplaceProcess(platform::ProgramPath(), argv);
}

// The document is ready before the scan starts, so that a missing language
// or folder is said before anyone lays down a page; null without --pdf.
std::unique_ptr<tavrin::document::PdfBuilder> StartDocument(Options& options, int& status) {
  namespace document = tavrin::document;
  status = 0;
  if (options.pdf.empty()) return nullptr;
  if (options.ocr == "auto") {
    std::string locale = platform::Environment("LC_ALL");
    if (locale.empty()) locale = platform::Environment("LC_MESSAGES");
    if (locale.empty()) locale = platform::Environment("LANG");
    options.ocr = document::LanguageOfLocale(locale, document::InstalledLanguages());
  }
  std::string error = options.ocr.empty() ? "" : document::CheckLanguages(options.ocr);
  const std::filesystem::path target(options.pdf);
  const std::string folder = target.has_parent_path() ? target.parent_path().string() : ".";
  if (error.empty() && !platform::IsFolder(folder)) error = "no folder " + folder + " for the PDF";
  if (error.empty() && target.filename().empty()) error = "--pdf needs a file name";
  auto builder = std::make_unique<document::PdfBuilder>(options.ocr);
  if (error.empty()) builder->Start(target.stem().string(), &error);
  if (!error.empty()) {
    std::fprintf(stderr, "tavrin-scan: %s\n", error.c_str());
    status = kExitSetup;
    return nullptr;
  }
  return builder;
}

// Whatever pages arrived become the PDF, also after a scan that ended
// early: with --pdf-only they are nowhere else.
int FinishDocument(tavrin::document::PdfBuilder& document, const Options& options, int status) {
  if (document.PageCount() == 0) return status;
  std::string written;
  std::string error;
  const bool whole = document.Finish(options.pdf, written, &error);
  if (!written.empty()) std::printf("wrote %s\n", written.c_str());
  std::fflush(stdout);
  if (whole) return status;
  std::fprintf(stderr, "tavrin-scan: PDF %s: %s\n", written.empty() ? "not written" : "incomplete",
               error.c_str());
  return status == kExitDelivered ? kExitSetup : status;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int parsed = ParseOptions(argc, argv, options);
  if (parsed < 0) return kExitDelivered;
  if (parsed > 0) return parsed;
  if (options.recover) return Recover(options);
  LimitRecognitionThreads(options, argv);

  // Loaded from our own folder, as an application loads its data source.
  const std::string modulePath = platform::ProgramFolder() + "/TavrinSource.ds";
  std::string error;
  const SourceApi* api = LoadSourceModule(modulePath, error);
  if (api == nullptr) {
    std::fprintf(stderr, "tavrin-scan: %s\n", error.c_str());
    return kExitSetup;
  }
  int status = 0;
  const std::unique_ptr<tavrin::document::PdfBuilder> document = StartDocument(options, status);
  if (status != 0) return status;
  status = Scan(*api, options, document.get()).Run();
  if (document) status = FinishDocument(*document, options, status);
  // The module's threads have ended with the session; it stays loaded until exit.
  return status;
}
