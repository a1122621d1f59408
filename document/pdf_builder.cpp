#include "document/pdf_builder.h"

#include <allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/renderer.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "document/languages.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace tavrin::document {
namespace {

// A page file without a credible resolution is taken at the scan window's
// own default, which is what it would have been scanned at.
constexpr int kAssumedDpi = 200;
constexpr int kLowestDpi = 50;
constexpr int kHighestDpi = 2400;
// Two recognisers keep two cores busy; tesseract's own threads add little
// on top of that and each recogniser holds its language data.
constexpr unsigned kMostWorkers = 2;

struct PixDeleter {
  void operator()(Pix* pix) const { pixDestroy(&pix); }
};
using PixPtr = std::unique_ptr<Pix, PixDeleter>;

// A page read for the PDF: the picture, and the file whose bytes become the
// page's image. Leptonica embeds a JPEG file as it is, a PNG file's
// deflated data losslessly, and encodes any other file from the picture:
// 1-bit as G4, more bits as JPEG. So a 1-bit PNG goes in through a BMP
// copy, and a grey or colour BMP through a PNG copy.
struct PreparedPage {
  PixPtr pix;
  std::string embed;
  int dpi = 0;
  std::string error;
};

PreparedPage Prepare(const std::string& path) {
  PreparedPage page;
  page.pix.reset(pixRead(path.c_str()));
  if (!page.pix) {
    page.error = "cannot read the picture " + path;
    return page;
  }
  int format = IFF_UNKNOWN;
  findFileFormat(path.c_str(), &format);
  page.dpi = pixGetYRes(page.pix.get());
  if (page.dpi < kLowestDpi || page.dpi > kHighestDpi) page.dpi = kAssumedDpi;
  pixSetResolution(page.pix.get(), page.dpi, page.dpi);
  page.embed = path;
  const int depth = pixGetDepth(page.pix.get());
  std::string copy;
  int copyFormat = IFF_UNKNOWN;
  if (depth == 1 && format == IFF_PNG) {
    copy = path + ".bmp";
    copyFormat = IFF_BMP;
  } else if (depth != 1 && format != IFF_JFIF_JPEG && format != IFF_PNG) {
    copy = path + ".png";
    copyFormat = IFF_PNG;
  }
  if (!copy.empty()) {
    if (pixWrite(copy.c_str(), page.pix.get(), copyFormat) != 0) {
      page.error = "cannot write " + copy;
      page.pix.reset();
      return page;
    }
    page.embed = copy;
    // Tesseract deflates any picture read from a PNG file instead of
    // asking leptonica, which would make a 1-bit page G4.
    pixSetInputFormat(page.pix.get(), copyFormat);
  }
  return page;
}

}  // namespace

std::string NumberedPath(const std::string& path, int number) {
  if (number <= 1) return path;
  const std::filesystem::path whole(path);
  const std::string name = whole.filename().string();
  const size_t dot = name.rfind('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  const std::string extension = stem.size() == name.size() ? "" : name.substr(dot);
  return (whole.parent_path() / (stem + "-" + std::to_string(number) + extension)).string();
}

struct PdfBuilder::State {
  std::string languages;
  std::string title;
  std::string folder;  // private: the page copies and the document being written
  bool keepFolder = false;

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> pages;     // the copies, in the order added
  std::vector<std::string> problems;  // a page that did not make it, by number
  size_t nextToRecognise = 0;
  size_t nextToRender = 0;
  bool closing = false;  // no more pages come
  bool stopping = false;
  std::unique_ptr<tesseract::TessPDFRenderer> renderer;
  bool rendererFailed = false;
  std::vector<std::thread> workers;

  std::string DocumentPath() const { return folder + "/document.pdf"; }

  void Problem(size_t index, const std::string& what) {
    problems.push_back("page " + std::to_string(index + 1) + ": " + what);
  }

  // Recognises pages as they come; the pages go into the document in the
  // order they were added, each worker waiting for its turn with the
  // recognised page.
  void Work() {
    tesseract::TessBaseAPI api;
    // Without a text layer tesseract still writes the PDF, from the result
    // of reading nothing: any language it has will do.
    const bool text = !languages.empty();
    std::string load = languages;
    if (!text) {
      const std::vector<std::string> installed = InstalledLanguages();
      load = installed.empty() ? "osd" : installed.front();
    }
    const bool ready = api.Init(nullptr, load.c_str()) == 0;
    std::vector<std::string> available;
    api.GetAvailableLanguagesAsVector(&available);
    // Orientation detection turns a page lying on its side or upside down
    // the right way for reading; the text layer follows its lines.
    const bool orientation =
        text && std::find(available.begin(), available.end(), "osd") != available.end();
    api.SetPageSegMode(orientation ? tesseract::PSM_AUTO_OSD : tesseract::PSM_AUTO);
    while (true) {
      size_t index = 0;
      std::string path;
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return stopping || closing || nextToRecognise < pages.size(); });
        if (stopping || nextToRecognise == pages.size()) return;
        index = nextToRecognise++;
        path = pages[index];
      }
      PreparedPage page = Prepare(path);
      bool recognised = false;
      if (ready && page.pix) {
        api.SetInputName(page.embed.c_str());
        api.SetImage(page.pix.get());
        api.SetSourceResolution(page.dpi);
        if (!text) api.SetRectangle(0, 0, 1, 1);
        recognised = api.Recognize(nullptr) == 0;
      }
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return stopping || nextToRender == index; });
      if (stopping) return;
      if (!ready) {
        Problem(index, "tesseract could not load " + load);
      } else if (!page.pix) {
        Problem(index, page.error);
      } else if (!recognised) {
        Problem(index, "recognition failed");
      } else {
        if (!renderer && !rendererFailed) {
          renderer = std::make_unique<tesseract::TessPDFRenderer>((folder + "/document").c_str(),
                                                                  api.GetDatapath(), false);
          rendererFailed = !renderer->BeginDocument(title.c_str());
        }
        if (rendererFailed || !renderer->AddImage(&api)) Problem(index, "cannot add it to the PDF");
      }
      ++nextToRender;
      changed.notify_all();
      lock.unlock();
      api.Clear();
    }
  }
};

PdfBuilder::PdfBuilder(std::string languages) : state_(std::make_unique<State>()) {
  state_->languages = std::move(languages);
}

PdfBuilder::~PdfBuilder() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->changed.notify_all();
  for (std::thread& worker : state_->workers) worker.join();
  state_->renderer.reset();
  if (!state_->folder.empty() && !state_->keepFolder) platform::DeleteFolderTree(state_->folder);
}

bool PdfBuilder::Start(const std::string& title, std::string* error) {
  state_->title = title;
  const std::string temp = platform::PrivateTempFolder();
  static std::atomic<int> counter{0};
  for (int attempt = 0; attempt < 100 && state_->folder.empty(); ++attempt) {
    const std::string folder =
        temp + "pdf-" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
    if (!temp.empty() && platform::CreateNewFolder(folder)) state_->folder = folder;
  }
  if (state_->folder.empty()) {
    if (error) *error = "cannot make a private folder for the PDF's pages";
    return false;
  }
  QuietTesseract();
  const unsigned workers = std::clamp(std::thread::hardware_concurrency(), 1U, kMostWorkers);
  for (unsigned i = 0; i < workers; ++i) state_->workers.emplace_back([this] { state_->Work(); });
  return true;
}

bool PdfBuilder::AddPage(const std::string& path, std::string* error) {
  const std::filesystem::path source(path);
  const std::string copy =
      state_->folder + "/page-" + std::to_string(PageCount() + 1) + source.extension().string();
  if (!platform::CopyFileToNew(path, copy, error)) return false;
  {
    std::lock_guard lock(state_->mutex);
    state_->pages.push_back(copy);
  }
  state_->changed.notify_all();
  return true;
}

int PdfBuilder::PageCount() const {
  std::lock_guard lock(state_->mutex);
  return static_cast<int>(state_->pages.size());
}

bool PdfBuilder::Finish(const std::string& path, std::string& written, std::string* error) {
  written.clear();
  State& state = *state_;
  std::string why;
  bool made = false;
  if (PageCount() == 0) {
    why = "no pages";
  } else {
    {
      std::unique_lock lock(state.mutex);
      state.closing = true;
      state.changed.notify_all();
      state.changed.wait(lock, [&] { return state.nextToRender == state.pages.size(); });
    }
    for (std::thread& worker : state.workers) worker.join();
    state.workers.clear();
    made = state.renderer && !state.rendererFailed && state.renderer->EndDocument();
    state.renderer.reset();
    if (!made) why = "tesseract could not write the PDF";
  }
  if (made) {
    for (int number = 1; number < 10000; ++number) {
      const std::string candidate = NumberedPath(path, number);
      bool exists = false;
      std::string failure;
      if (platform::PublishFileAsNew(state.DocumentPath(), candidate, &failure, &exists)) {
        written = candidate;
        break;
      }
      if (!exists) {
        why = failure;
        break;
      }
    }
    if (written.empty()) {
      if (why.empty()) why = "every numbered name beside " + path + " is taken";
      state.keepFolder = true;
      why += "; the PDF is still at " + state.DocumentPath();
    }
  }
  for (const std::string& problem : state.problems) why += (why.empty() ? "" : "; ") + problem;
  // The copies are all that is left of the pages when they were not
  // delivered as files too.
  if (!state.problems.empty()) {
    state.keepFolder = true;
    why += "; the pages are kept in " + state.folder;
  }
  if (error) *error = why;
  return !written.empty() && state.problems.empty();
}

}  // namespace tavrin::document
