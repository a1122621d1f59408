// Scanned pages to one PDF: each page at its true size from the DPI in its
// file, JPEG pages embedded as they are, 1-bit pages as CCITT G4, others
// lossless; with languages, tesseract's invisible text layer over each.
//
// Threads: AddPage and Finish from one thread, the caller's. Recognition
// runs on workers of its own, started by Start, so that pages are read
// while the scan goes on.
#pragma once

#include <memory>
#include <string>

namespace tavrin::document {

class PdfBuilder {
 public:
  // languages: tesseract's names joined by '+' ("eng+deu"); empty for no
  // text layer. Checked beforehand (CheckLanguages).
  explicit PdfBuilder(std::string languages);
  ~PdfBuilder();
  PdfBuilder(const PdfBuilder&) = delete;
  PdfBuilder& operator=(const PdfBuilder&) = delete;

  // Makes the private folder the pages wait in and starts the workers.
  // title: the document's title in its properties.
  bool Start(const std::string& title, std::string* error);
  // Takes a copy of the page, so that its file may go, and queues it for
  // recognition. False when the copy cannot be made.
  bool AddPage(const std::string& path, std::string* error);
  int PageCount() const;
  // Waits for the pages and writes them, in the order they were added, to
  // path, or when path exists to path with -2, -3, ... before its
  // extension: never over a file. written is the name used (empty when
  // nothing was written). False when the PDF or a page is missing; then
  // the private folder with the PDF and the pages stays, and error says
  // what went wrong and where they are.
  bool Finish(const std::string& path, std::string& written, std::string* error);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// path with -number before its extension ("a/doc.pdf", 2 -> "a/doc-2.pdf");
// path itself for 1.
std::string NumberedPath(const std::string& path, int number);

}  // namespace tavrin::document
