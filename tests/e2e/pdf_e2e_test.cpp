// tavrin-scan --pdf end to end: the real scan window and camera library
// with a virtual camera, and the PDF looked at by qpdf and poppler's tools
// as a person's viewer would see it.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/process.h"
#include "tests/support/book_page_number.h"
#include "tests/support/program_copy_test.h"

namespace tavrin {
namespace {

struct Tool {
  int status = -1;
  QString out;
};

// A tool of the system, its standard output.
Tool RunTool(const QString& program, const QStringList& args) {
  QProcess process;
  process.start(program, args);
  Tool tool;
  if (!process.waitForFinished(30000)) return tool;
  tool.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  tool.out = QString::fromUtf8(process.readAllStandardOutput());
  return tool;
}

// One row of pdfimages -list.
struct Embedded {
  int width = 0;
  int height = 0;
  QString encoding;
};

class PdfEndToEnd : public test::ProgramCopyTest {
 protected:
  PdfEndToEnd() : ProgramCopyTest("tavrin-pdf") {}

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(
        CopyProgramFolder(QStringLiteral(TAVRIN_PROGRAM_FOLDER),
                          {"TavrinDesk", "libTavrinLens.so", "TavrinSource.ds", "tavrin-scan"}));
  }

  void WriteSettings(int cutType, int fileType) {
    QFile file(Bin("LastSetting.xml"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QString("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Setting><cutType>%1</cutType>"
                       "<fileType>%2</fileType><colorType>2</colorType></Setting>\n")
                   .arg(cutType)
                   .arg(fileType)
                   .toUtf8());
  }

  // tavrin-scan's exit status (-1: it did not end in time); its standard
  // output goes to out.txt, its standard error with the window's to
  // errors.txt.
  int Scan(const std::string& cameras, std::vector<std::string> args) {
    args.insert(args.end(), {"--output", Path("out").toStdString(), "--timeout", "50"});
    args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" >>\"$OUT\" 2>>\"$ERRORS\"",
                               Bin("tavrin-scan").toStdString()});
    std::vector<std::string> env = PrivateEnvironment(cameras);
    env.push_back("OUT=" + Path("out.txt").toStdString());
    env.push_back("ERRORS=" + Path("errors.txt").toStdString());
    std::string error;
    const int pid = platform::SpawnProcess("/bin/sh", args, env, &error);
    EXPECT_GT(pid, 0) << error;
    int status = -1;
    if (pid > 0 && !platform::WaitProcess(pid, 60000, &status)) {
      platform::KillProcess(pid);
      platform::WaitProcess(pid, 1000, nullptr);
    }
    return status;
  }

  QString Text(const QString& name) const {
    QFile file(Path(name));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
  }

  QStringList Delivered() const { return QDir(Path("out")).entryList(QDir::Files, QDir::Name); }

  // The PDF is sound and has pages pages, each the size of its page file
  // at that file's DPI (within 1 %), with the file's picture in it at its
  // own size: encoding "jpeg" means the file's very bytes.
  void ExpectPagesOf(const QString& pdf, const QStringList& files, const QString& encoding) {
    const Tool check = RunTool("qpdf", {"--check", pdf});
    EXPECT_EQ(check.status, 0) << check.out.toStdString();
    const Tool info = RunTool("pdfinfo", {"-f", "1", "-l", "1000", pdf});
    QList<QSizeF> sizes;
    const QRegularExpression sizeLine(R"(Page\s+\d+ size:\s+([\d.]+) x ([\d.]+) pts)");
    for (auto m = sizeLine.globalMatch(info.out); m.hasNext();) {
      const auto match = m.next();
      sizes.append(QSizeF(match.captured(1).toDouble(), match.captured(2).toDouble()));
    }
    const Tool list = RunTool("pdfimages", {"-list", pdf});
    QList<Embedded> images;
    for (const QString& line : list.out.split('\n').mid(2)) {
      const QStringList cells = line.simplified().split(' ');
      if (cells.size() > 9) images.append({cells[3].toInt(), cells[4].toInt(), cells[8]});
    }
    ASSERT_EQ(sizes.size(), files.size()) << info.out.toStdString();
    ASSERT_EQ(images.size(), files.size()) << list.out.toStdString();
    ASSERT_TRUE(QDir(root.path()).mkpath("extracted"));
    const QString prefix = Path("extracted/") + QFileInfo(pdf).baseName();
    EXPECT_EQ(RunTool("pdfimages", {"-all", pdf, prefix}).status, 0);
    for (int i = 0; i < files.size(); ++i) {
      const QImage page(Path("out/") + files[i]);
      ASSERT_FALSE(page.isNull()) << files[i].toStdString();
      const double dpiX = page.dotsPerMeterX() * 0.0254;
      const double dpiY = page.dotsPerMeterY() * 0.0254;
      EXPECT_NEAR(sizes[i].width(), page.width() / dpiX * 72, sizes[i].width() / 100) << i;
      EXPECT_NEAR(sizes[i].height(), page.height() / dpiY * 72, sizes[i].height() / 100) << i;
      EXPECT_EQ(images[i].width, page.width()) << i;
      EXPECT_EQ(images[i].height, page.height()) << i;
      EXPECT_EQ(images[i].encoding, encoding) << i;
      if (encoding == "jpeg") {
        QFile original(Path("out/") + files[i]);
        QFile embedded(prefix + QString("-%1.jpg").arg(i, 3, 10, QChar('0')));
        ASSERT_TRUE(original.open(QIODevice::ReadOnly) && embedded.open(QIODevice::ReadOnly)) << i;
        EXPECT_TRUE(original.readAll() == embedded.readAll()) << "page " << i << " was re-encoded";
      }
    }
  }

  // The text of one page as a viewer would copy it.
  QString PageText(const QString& pdf, int page) {
    return RunTool("pdftotext",
                   {"-f", QString::number(page), "-l", QString::number(page), pdf, "-"})
        .out;
  }

  // The number after the page's "Page" title; -1 without one.
  static int TitleNumber(const QString& text) {
    const auto match = QRegularExpression(R"(Page\W{0,4}(?:\w{1,2}\W{1,4})?(\d+))").match(text);
    return match.hasMatch() ? match.captured(1).toInt() : -1;
  }

  // How many of the words the virtual document is written in the text has.
  static int DocumentWords(const QString& text) {
    int found = 0;
    for (const char* word : {"camera", "paper", "margin", "letter", "invoice", "contract",
                             "archive", "account", "notice", "review", "record", "office"})
      found += text.contains(word) ? 1 : 0;
    return found;
  }
};

TEST_F(PdfEndToEnd, ThreePagesBecomeOneSearchablePdfOfTheirTrueSize) {
  WriteSettings(1, 1);
  ASSERT_EQ(Scan("document?turn=1&wait=1", {"--mode", "3", "--count", "3", "--pdf",
                                            Path("doc.pdf").toStdString(), "--ocr", "eng"}),
            0)
      << Text("errors.txt").toStdString();
  const QStringList files = Delivered();
  ASSERT_EQ(files.size(), 3) << files.join(' ').toStdString();
  EXPECT_TRUE(Text("out.txt").contains("wrote " + Path("doc.pdf") + "\n"))
      << Text("out.txt").toStdString();
  ExpectPagesOf(Path("doc.pdf"), files, "jpeg");

  // The reader turns on after each shot, so the titles never count down;
  // the first page may be taken more than once before the first turn (the
  // pictures' order is checked above by their bytes, the text's by the
  // book below).
  int last = 1;
  for (int page = 1; page <= 3; ++page) {
    const QString text = PageText(Path("doc.pdf"), page);
    const int number = TitleNumber(text);
    EXPECT_GE(number, last) << "page " << page << ":\n" << text.toStdString();
    EXPECT_GE(DocumentWords(text), 8) << "page " << page << ":\n" << text.toStdString();
    last = std::max(last, number);
  }
}

TEST_F(PdfEndToEnd, BookSpreadLeftBeforeRightAndABlackAndWhitePageUpsideDownAsG4) {
  WriteSettings(4, 1);
  ASSERT_EQ(Scan("book", {"--mode", "3", "--count", "1", "--pdf", Path("doc.pdf").toStdString(),
                          "--ocr", "eng"}),
            0)
      << Text("errors.txt").toStdString();
  const QStringList spread = Delivered();
  ASSERT_EQ(spread.size(), 2) << spread.join(' ').toStdString();
  ExpectPagesOf(Path("doc.pdf"), spread, "jpeg");
  // The pictures by the number the book prints as blocks, the text by its
  // printed title: left page 1, then right page 2.
  for (int page = 1; page <= 2; ++page) {
    const QImage embedded(Path("extracted/doc-%1.jpg").arg(page - 1, 3, 10, QChar('0')));
    EXPECT_EQ(test::BookPageNumber(embedded), page);
    const QString text = PageText(Path("doc.pdf"), page);
    EXPECT_EQ(TitleNumber(text), page) << text.toStdString();
  }

  // A black-and-white page, written as 1-bit PNG, turned upside down: it is
  // read the right way up, and lands beside the first PDF, not over it.
  const QByteArray first = [&] {
    QFile file(Path("doc.pdf"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }();
  WriteSettings(1, 2);
  ASSERT_EQ(Scan("document", {"--mode", "3", "--count", "1", "--color", "bw", "--rotate", "2",
                              "--pdf", Path("doc.pdf").toStdString(), "--ocr", "eng"}),
            0)
      << Text("errors.txt").toStdString();
  EXPECT_TRUE(Text("out.txt").contains("wrote " + Path("doc-2.pdf") + "\n"))
      << Text("out.txt").toStdString();
  QFile kept(Path("doc.pdf"));
  ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
  EXPECT_TRUE(kept.readAll() == first);
  const QStringList files = Delivered();
  ASSERT_EQ(files.size(), 3);
  ASSERT_EQ(QImageReader(Path("out/") + files[2]).read().depth(), 1);
  ExpectPagesOf(Path("doc-2.pdf"), {files[2]}, "ccitt");
  const QString text = PageText(Path("doc-2.pdf"), 1);
  EXPECT_GE(DocumentWords(text), 8) << text.toStdString();
}

}  // namespace
}  // namespace tavrin
