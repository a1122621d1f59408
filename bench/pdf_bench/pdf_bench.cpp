// Seconds from the last page of a ten-page scan to its finished searchable
// PDF, through the real tavrin-scan, scan window and virtual document
// camera; then, on the very same page JPEGs, ocrmypdf (peer) against our
// PDF unit from nothing, and the PDF's size against img2pdf's.
// Run from the program folder (build-bench/bin); prints one "pdf ..." line.
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "document/pdf_builder.h"
#include "platform/paths.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kPages = 10;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool Have(const char* program) {
  return std::system(("command -v " + std::string(program) + " >/dev/null 2>&1").c_str()) == 0;
}

// Wall seconds of a shell command; negative when it failed.
double Timed(const std::string& command) {
  const auto start = Clock::now();
  const int status = std::system(command.c_str());
  return status == 0 ? SecondsSince(start) : -1.0;
}

std::string Quoted(const std::string& text) {
  return "'" + text + "'";
}

}  // namespace

int main(int, char** argv) {
  // As tavrin-scan does: tesseract's OpenMP threads are held to one from
  // the start, also for our unit run in this process.
  if (getenv("OMP_THREAD_LIMIT") == nullptr) {
    setenv("OMP_THREAD_LIMIT", "1", 1);
    execv("/proc/self/exe", argv);
  }
  const std::string bin = tavrin::platform::ProgramFolder();
  char pattern[] = "/tmp/tavrin-pdf-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const std::string root = pattern;
  // A private copy of the program folder, so that the bench's settings
  // stay out of the build's.
  for (const char* name : {"TavrinDesk", "libTavrinLens.so", "TavrinSource.ds", "tavrin-scan"})
    fs::copy(bin + "/" + name, root + "/" + name);
  fs::copy(bin + "/Language", root + "/Language", fs::copy_options::recursive);
  for (const char* folder : {"home", "tmp", "out"}) fs::create_directories(root + "/" + folder);
  fs::permissions(root + "/tmp", fs::perms::owner_all);
  std::FILE* settings = std::fopen((root + "/LastSetting.xml").c_str(), "w");
  std::fputs(
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Setting><cutType>1</cutType>"
      "<fileType>1</fileType><colorType>2</colorType></Setting>\n",
      settings);
  std::fclose(settings);
  setenv("HOME", (root + "/home").c_str(), 1);
  setenv("TMPDIR", (root + "/tmp").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (root + "/home/.config").c_str(), 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  setenv("TAVRIN_LENS_V4L2", "0", 1);
  // A reader who turns to the next page once each is taken.
  setenv("TAVRIN_LENS_VIRTUAL", "document?turn=1&wait=1", 1);

  // The session: one page per request, each delivered as it is taken.
  const std::string scan = Quoted(root + "/tavrin-scan") + " --mode 1 --count " +
                           std::to_string(kPages) + " --output " + Quoted(root + "/out") +
                           " --pdf " + Quoted(root + "/scan.pdf") + " --ocr eng 2>&1";
  const auto start = Clock::now();
  std::FILE* lines = popen(scan.c_str(), "r");
  if (lines == nullptr) return 1;
  char line[4096];
  int pages = 0;
  double lastPageAt = -1;
  double pdfAt = -1;
  while (std::fgets(line, sizeof line, lines) != nullptr) {
    const std::string text = line;
    if (text.rfind("wrote ", 0) != 0) continue;
    if (text.find(".pdf") != std::string::npos) {
      pdfAt = SecondsSince(start);
    } else if (++pages == kPages) {
      lastPageAt = SecondsSince(start);
    }
  }
  const int status = pclose(lines);
  if (status != 0 || pages != kPages || pdfAt < 0) {
    std::printf("pdf session failed: status %d, %d pages, PDF %s\n", status, pages,
                pdfAt < 0 ? "missing" : "written");
    return 1;
  }

  std::vector<std::string> jpegs;
  for (int i = 1; i <= kPages; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/out/page-%03d.jpg", i);
    jpegs.push_back(root + name);
  }
  std::string list;
  for (const std::string& jpeg : jpegs) list += " " + Quoted(jpeg);

  // Our unit on the same pictures from nothing, with and without text.
  auto build = [&](const std::string& languages, const std::string& path) {
    const auto begin = Clock::now();
    tavrin::document::PdfBuilder builder(languages);
    std::string error;
    std::string written;
    builder.Start("bench", &error);
    for (const std::string& jpeg : jpegs) builder.AddPage(jpeg, &error);
    return builder.Finish(path, written, &error) ? SecondsSince(begin) : -1.0;
  };
  const double oursAll = build("eng", root + "/ours.pdf");
  build("", root + "/ours-plain.pdf");

  const bool haveImg2pdf = Have("img2pdf");
  const bool haveOcrmypdf = Have("ocrmypdf");
  double img2pdfBytes = 0;
  double ocrmypdfSeconds = -1;
  if (haveImg2pdf) {
    Timed("img2pdf -o " + Quoted(root + "/img2pdf.pdf") + list);
    img2pdfBytes = static_cast<double>(fs::file_size(root + "/img2pdf.pdf"));
    if (haveOcrmypdf)
      ocrmypdfSeconds = Timed("ocrmypdf -q -l eng --output-type pdf " +
                              Quoted(root + "/img2pdf.pdf") + " " + Quoted(root + "/ocrmypdf.pdf"));
  }
  const double ours = static_cast<double>(fs::file_size(root + "/scan.pdf"));
  const double plain = static_cast<double>(fs::file_size(root + "/ours-plain.pdf"));
  std::printf(
      "pdf pages=%d session_s=%.1f last_page_to_pdf_s=%.1f ours_from_nothing_s=%.1f "
      "ocrmypdf_s=%s ours_bytes=%.0f ours_no_text_bytes=%.0f img2pdf_bytes=%s size_ratio=%s\n",
      kPages, pdfAt, pdfAt - lastPageAt, oursAll,
      ocrmypdfSeconds < 0 ? (haveOcrmypdf ? "failed" : "peer-not-installed")
                          : std::to_string(ocrmypdfSeconds).substr(0, 5).c_str(),
      ours, plain,
      haveImg2pdf ? std::to_string(static_cast<long>(img2pdfBytes)).c_str() : "peer-not-installed",
      haveImg2pdf ? std::to_string(ours / img2pdfBytes).substr(0, 5).c_str() : "-");
  fs::remove_all(root);
  return 0;
}
