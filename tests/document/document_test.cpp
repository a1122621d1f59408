// The PDF unit without the scan window: pictures of known size, DPI and
// kind go in, and the PDF is read back with poppler's tools.
#include <allheaders.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "document/languages.h"
#include "document/pdf_builder.h"

namespace tavrin::document {
namespace {

namespace fs = std::filesystem;

std::string Output(const std::string& command) {
  std::string text;
  if (std::FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    pclose(pipe);
  }
  return text;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// A picture of width x height at depth bits with some ink, written as
// format at dpi.
void WritePicture(const std::string& path, int width, int height, int depth, int dpi, int format) {
  Pix* pix = pixCreate(width, height, depth);
  pixSetAll(pix);
  const Box box{width / 4, height / 4, width / 2, height / 8, 0};
  pixClearInRect(pix, const_cast<Box*>(&box));
  pixSetResolution(pix, dpi, dpi);
  ASSERT_EQ(pixWrite(path.c_str(), pix, format), 0) << path;
  pixDestroy(&pix);
}

class DocumentTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tavrin-document-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
  }
  void TearDown() override { fs::remove_all(folder); }
  std::string folder;
};

TEST_F(DocumentTest, PagesKeepTheirSizeAndKindInOrderAndNoFileIsReplaced) {
  // A colour JPEG at 150 dpi, a 1-bit PNG at 300 dpi and a grey BMP at
  // 100 dpi: 2 x 2.667, 2 x 2.667 and 2 x 1 inches.
  const std::vector<std::string> pages = {folder + "/a.jpg", folder + "/b.png", folder + "/c.bmp"};
  ASSERT_NO_FATAL_FAILURE(WritePicture(pages[0], 300, 400, 32, 150, IFF_JFIF_JPEG));
  ASSERT_NO_FATAL_FAILURE(WritePicture(pages[1], 600, 800, 1, 300, IFF_PNG));
  ASSERT_NO_FATAL_FAILURE(WritePicture(pages[2], 200, 100, 8, 100, IFF_BMP));
  const std::string jpeg = ReadAll(pages[0]);
  const std::string taken = folder + "/doc.pdf";
  std::ofstream(taken) << "someone else's";

  PdfBuilder builder("");
  std::string error;
  ASSERT_TRUE(builder.Start("doc", &error)) << error;
  for (const std::string& page : pages) ASSERT_TRUE(builder.AddPage(page, &error)) << error;
  // The builder has its own copies.
  for (const std::string& page : pages) fs::remove(page);
  std::string written;
  ASSERT_TRUE(builder.Finish(taken, written, &error)) << error;
  EXPECT_EQ(written, folder + "/doc-2.pdf");
  EXPECT_EQ(ReadAll(taken), "someone else's");

  EXPECT_EQ(std::system(("qpdf --check '" + written + "' >/dev/null").c_str()), 0);
  const std::string info = Output("pdfinfo -f 1 -l 3 '" + written + "'");
  const std::regex size(R"(Page\s+\d+ size:\s+([\d.]+) x ([\d.]+) pts)");
  std::vector<std::pair<double, double>> sizes;
  for (auto it = std::sregex_iterator(info.begin(), info.end(), size); it != std::sregex_iterator();
       ++it)
    sizes.emplace_back(std::stod((*it)[1]), std::stod((*it)[2]));
  ASSERT_EQ(sizes.size(), 3u) << info;
  const std::vector<std::pair<double, double>> inches = {
      {2, 400 / 150.0}, {2, 800 / 300.0}, {2, 1}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_NEAR(sizes[i].first, inches[i].first * 72, 0.72 * inches[i].first) << i;
    EXPECT_NEAR(sizes[i].second, inches[i].second * 72, 0.72 * inches[i].second) << i;
  }
  const std::string list = Output("pdfimages -list '" + written + "'");
  const std::regex row(R"(^\s*(\d)\s+\d+\s+\w+\s+(\d+)\s+(\d+)\s+\S+\s+\d\s+\d\s+(\w+))",
                       std::regex::multiline);
  std::vector<std::string> rows;
  for (auto it = std::sregex_iterator(list.begin(), list.end(), row); it != std::sregex_iterator();
       ++it)
    rows.push_back((*it)[1].str() + " " + (*it)[2].str() + "x" + (*it)[3].str() + " " +
                   (*it)[4].str());
  EXPECT_EQ(rows,
            (std::vector<std::string>{"1 300x400 jpeg", "2 600x800 ccitt", "3 200x100 image"}))
      << list;
  // Nothing was asked to be read, so there is no text to find.
  EXPECT_EQ(Output("pdftotext '" + written + "' - | tr -d ' \\n\\f'"), "");
  // The JPEG's own bytes, not a second compression.
  Output("pdfimages -f 1 -l 1 -j '" + written + "' '" + folder + "/x'");
  EXPECT_TRUE(ReadAll(folder + "/x-000.jpg") == jpeg);
}

TEST_F(DocumentTest, APageThatCannotBeReadIsNamedAndKeptWhileTheOthersAreWritten) {
  ASSERT_NO_FATAL_FAILURE(WritePicture(folder + "/a.jpg", 300, 400, 32, 150, IFF_JFIF_JPEG));
  std::ofstream(folder + "/b.jpg") << "not a picture";
  PdfBuilder builder("");
  std::string error;
  ASSERT_TRUE(builder.Start("doc", &error)) << error;
  ASSERT_TRUE(builder.AddPage(folder + "/a.jpg", &error)) << error;
  ASSERT_TRUE(builder.AddPage(folder + "/b.jpg", &error)) << error;
  fs::remove(folder + "/b.jpg");
  std::string written;
  EXPECT_FALSE(builder.Finish(folder + "/doc.pdf", written, &error));
  EXPECT_EQ(written, folder + "/doc.pdf");
  EXPECT_NE(error.find("page 2"), std::string::npos) << error;
  // The unreadable page is still there, where the message says.
  const std::string kept = " kept in ";
  ASSERT_NE(error.find(kept), std::string::npos) << error;
  const fs::path keptFolder = error.substr(error.find(kept) + kept.size());
  EXPECT_EQ(ReadAll((keptFolder / "page-2.jpg").string()), "not a picture") << error;
  fs::remove_all(keptFolder);
  EXPECT_NE(Output("pdfinfo '" + written + "'").find("Pages:           1"), std::string::npos);
}

TEST(Languages, AMissingLanguageIsNamedWithItsPackageAndTheLocaleFallsBackToEnglish) {
  EXPECT_EQ(CheckLanguages("eng"), "");
  const std::string missing = CheckLanguages("eng+xyz");
  EXPECT_NE(missing.find("'xyz'"), std::string::npos) << missing;
  EXPECT_NE(missing.find("tesseract-ocr-xyz"), std::string::npos) << missing;
  EXPECT_NE(missing.find("eng"), std::string::npos) << "names what is installed: " << missing;
  EXPECT_NE(CheckLanguages("../eng"), "");
  EXPECT_NE(CheckLanguages("eng+"), "");

  EXPECT_EQ(LanguageOfLocale("de_DE.UTF-8", {"deu", "eng"}), "deu");
  EXPECT_EQ(LanguageOfLocale("de_AT@euro", {"deu", "eng"}), "deu");
  EXPECT_EQ(LanguageOfLocale("fr_FR.UTF-8", {"deu", "eng"}), "eng");
  EXPECT_EQ(LanguageOfLocale("C", {"deu", "eng"}), "eng");
  EXPECT_EQ(LanguageOfLocale("", {"deu", "eng"}), "eng");
}

TEST(NumberedPath, TheNumberGoesBeforeTheExtension) {
  EXPECT_EQ(NumberedPath("a/doc.pdf", 1), "a/doc.pdf");
  EXPECT_EQ(NumberedPath("a/doc.pdf", 2), "a/doc-2.pdf");
  EXPECT_EQ(NumberedPath("Scan 2026-12-09 04.33.pdf", 3), "Scan 2026-12-09 04.33-3.pdf");
  EXPECT_EQ(NumberedPath("a.b/doc", 2), "a.b/doc-2");
  EXPECT_EQ(NumberedPath(".pdf", 2), ".pdf-2");
}

}  // namespace
}  // namespace tavrin::document
