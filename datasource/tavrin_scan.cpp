// tavrin-scan: asks the scan window for scans through TavrinSource.ds and
// copies the delivered files into an output folder.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "datasource/client/source_api.h"
#include "datasource/include/TavrinSource.h"
#include "document/languages.h"
#include "document/pdf_builder.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace {

namespace platform = tavrin::platform;
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
    "  --timeout S          give up after S seconds (default 300)\n"
    "  --pdf FILE           also put the pages, in the order taken, into one PDF;\n"
    "                       an existing FILE gets a numbered name (FILE-2.pdf)\n"
    "  --pdf-only           the PDF alone: no page files in the output folder\n"
    "  --ocr LANG[+LANG]    give the PDF a text layer in these tesseract languages\n"
    "                       (eng, deu, ...); auto: the locale's language, else eng\n"
    "  --help               this text\n"
    "\n"
    "exit status:\n"
    "  0  files were delivered\n"
    "  1  set-up failed (data source module, its files, the output folder), or\n"
    "     the PDF could not be made whole (the message says where its pages are)\n"
    "  2  bad command line\n"
    "  3  no scan window (missing, failed to start, or ended before attaching)\n"
    "  4  the scan window ended before the scan was complete\n"
    "  5  timeout\n"
    "  6  nothing delivered\n"
    "  7  busy: another scan of this user is running\n"
    "  8  the scan window could not hand on its pages (the message says where\n"
    "     they are)\n";

struct Options {
  int mode = TS_SHOW_WINDOW;
  int count = 1;
  int colorType = TS_PIXEL_RGB;
  int rotate = 0;
  int dpi = 0;
  std::string output = ".";
  bool sessionFolder = false;
  int timeoutSeconds = 300;
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

std::string ExtensionOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return path.substr(dot);
}

// The number of a name page-NNN or page-NNN.<ext>; 0 for any other name.
int PageNumber(const std::string& name) {
  if (name.rfind("page-", 0) != 0) return 0;
  size_t at = 5;
  long number = 0;
  while (at < name.size() && name[at] >= '0' && name[at] <= '9' && number < 100000000)
    number = number * 10 + (name[at++] - '0');
  if (at == 5 || (at < name.size() && name[at] != '.')) return 0;
  return static_cast<int>(number);
}

// A new folder named after the local date and time, with -2, -3, ... when
// a session of the same second has one.
std::string NewSessionFolder(const std::string& parent) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof(stamp), "%Y-%m-%d_%H-%M-%S", &local);
  for (int i = 1; i < 100; ++i) {
    const std::string folder =
        parent + "/" + stamp + (i == 1 ? std::string() : "-" + std::to_string(i));
    if (platform::CreateNewFolder(folder)) return folder;
  }
  return {};
}

class Scan {
 public:
  Scan(const SourceApi& api, const Options& options, tavrin::document::PdfBuilder* document)
      : api_(api), options_(options), document_(document) {
    deadline_ = Clock::now() + std::chrono::seconds(options.timeoutSeconds);
  }

  int Run() {
    if (!platform::IsFolder(options_.output) && !platform::CreateFolders(options_.output))
      return Fail(kExitSetup, "cannot create the output folder " + options_.output);
    const int opened = api_.open(&session_, options_.mode, options_.colorType, options_.rotate,
                                 options_.dpi, RemainingMs());
    if (opened != TS_OK) return Fail(StatusOf(opened), api_.lastError(nullptr));
    // Made once the scan is ours, so that a busy scan leaves no empty folder.
    if (options_.sessionFolder) {
      const std::string folder = NewSessionFolder(options_.output);
      if (folder.empty()) {
        api_.send(session_, TS_MSG_CLOSE, 1000);
        api_.close(session_, kWindowEndMs);
        return Fail(kExitSetup, "cannot create a session folder in " + options_.output);
      }
      options_.output = folder;
    }
    for (const std::string& name : platform::ListFolder(options_.output))
      nextPage_ = std::max(nextPage_, PageNumber(name) + 1);
    const int result =
        options_.mode == TS_SHOW_CAPTURE_SEND || options_.mode == TS_SHOW_CAPTURE_LIST
            ? RunRequests()
            : RunPerson();
    if (api_.pagesNotHandedOn(session_) != 0) {
      Fail(kExitNotHandedOn, api_.lastError(session_));
      // The window tells the person the same in a box: it ends when they
      // have read it, not when we stop waiting.
      api_.close(session_, std::max(kWindowEndMs, RemainingMs()));
      return copyError_.empty() ? kExitNotHandedOn : Fail(kExitSetup, copyError_);
    }
    api_.close(session_, result == kExitTimeout ? 3000 : kWindowEndMs);
    if (!copyError_.empty()) return Fail(kExitSetup, copyError_);
    if (result != 0) return result;
    if (files_ == 0) return Fail(kExitNothing, "nothing delivered");
    if (!options_.pdfOnly)
      std::printf("%d file%s delivered to %s\n", files_, files_ == 1 ? "" : "s",
                  options_.output.c_str());
    return kExitDelivered;
  }

 private:
  int RemainingMs() const {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  }

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

  int Fail(int status, const std::string& why) {
    std::fprintf(stderr, "tavrin-scan: %s\n", why.c_str());
    return status;
  }

  // Never over an existing file: the numbers go on after the highest page
  // found at the start, and a name taken meanwhile is an error.
  void Copy(const std::string& path) {
    char name[32];
    std::snprintf(name, sizeof(name), "page-%03d", nextPage_);
    const std::string target = options_.output + "/" + name + ExtensionOf(path);
    std::string error;
    bool exists = false;
    if (!platform::CopyFileToNew(path, target, &error, &exists)) {
      const std::string why = exists ? target + " already exists and was left alone" : error;
      const std::string at = std::filesystem::path(path).lexically_normal().string();
      std::fprintf(stderr, "tavrin-scan: page not written: %s; it is still at %s\n", why.c_str(),
                   at.c_str());
      if (copyError_.empty()) copyError_ = "not every page was written to " + options_.output;
      return;
    }
    std::printf("wrote %s\n", target.c_str());
    std::fflush(stdout);
    ++nextPage_;
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
    } else {
      ++files_;
    }
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

  int TimedOut() {
    api_.send(session_, TS_MSG_CLOSE, 1000);
    return Fail(kExitTimeout, "timed out after " + std::to_string(options_.timeoutSeconds) + " s");
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
      if (RemainingMs() == 0) return TimedOut();
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
      if (RemainingMs() == 0) return TimedOut();
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
  TavrinSession* session_ = nullptr;
  Clock::time_point deadline_;
  int files_ = 0;
  int nextPage_ = 1;
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
