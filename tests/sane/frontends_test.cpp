// The backend as scanning applications and their users meet it, each run
// bounded in time: a flatbed batch that stops after its page, a feeder batch
// that ends by itself or at the window, the scan area and the preview, a
// second scan while one runs, a scan served by saned over the loopback
// address, and python3-sane setting options the way simple-scan does.
#include <QRegularExpression>
#include <vector>

#include "tests/sane/sane_fixture.h"
#include "tests/support/book_page_number.h"

namespace tavrin {
namespace {

using namespace sanetest;

// The request the backend wrote for the window, without line breaks.
QString RequestOf(const QString& showModel) {
  return QString(showModel).remove(QRegularExpression("\\s"));
}

TEST_F(Scanimage, AFeederBatchFromTheFlatbedIsOnePage) {
  const auto started = Clock::now();
  ASSERT_EQ(Run({"-d", kDevice, "--source", "Flatbed", "--resolution", "100", "--format=png",
                 "--batch=" + Path("out/p%d.png").toStdString()},
                "scanimage.out"),
            0)
      << Errors();
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(60));
  EXPECT_NE(Errors().find("sane_start: Document feeder out of documents"), std::string::npos)
      << Errors();
  EXPECT_NE(Errors().find("Batch terminated, 1 page"), std::string::npos) << Errors();
  EXPECT_EQ(QDir(Path("out")).entryList(QDir::Files), QStringList{"p1.png"});
  EXPECT_TRUE(WindowGone());
}

// The virtual camera turns its page every 6 s, three pages in all; the
// feeder takes each new page once it lies still, and ends the batch when
// nothing new comes within its wait. Page 1 lies there before the run and
// is not new.
TEST_F(Scanimage, AFeederBatchEndsByItselfWhenNoNewPageComes) {
  camera = "document?turn=6&pages=3";
  const auto started = Clock::now();
  ASSERT_EQ(Run({"-d", kDevice, "--source", "Automatic Document Feeder", "--feeder-wait", "20",
                 "--mode", "Gray", "--resolution", "120", "--format=png",
                 "--batch=" + Path("out/p%d.png").toStdString()}),
            0)
      << Errors();
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(80));
  EXPECT_NE(Errors().find("sane_start: Document feeder out of documents"), std::string::npos)
      << Errors();
  const QStringList pages = QDir(Path("out")).entryList({"p*.png"}, QDir::Files, QDir::Name);
  // Pages 2 and 3; a slow machine may start the run after page 2 was down.
  ASSERT_GE(pages.size(), 1) << Errors();
  EXPECT_LE(pages.size(), 2) << Errors();
  for (const QString& name : pages) {
    const QImage page(Path("out/") + name);
    ASSERT_FALSE(page.isNull()) << name.toStdString();
    EXPECT_EQ(ReadPngHeader(Path("out/") + name).colorType, 0);
    EXPECT_NEAR(page.dotsPerMeterX() * 0.0254, 120.0, 1.0);
    EXPECT_GT(page.height(), page.width());
    EXPECT_GT(page.width() / 120.0 * 25.4, 120.0);
  }
  // The window was asked for an automatic run with the page found, hidden
  // no more, and it is gone with nothing left in its folder.
  EXPECT_TRUE(RequestOf(ReadText("home/Documents/DSConfig/ShowModel.xml"))
                  .contains("<ShowMode>1</ShowMode><ColorType>1</ColorType><RotateMode>0</"
                            "RotateMode><DPIMode>120</DPIMode><CropMode>1</CropMode><AutoCapture>"))
      << ReadText("home/Documents/DSConfig/ShowModel.xml").toStdString();
  EXPECT_TRUE(WindowGone());
  EXPECT_TRUE(WindowFiles().isEmpty());
}

// An open book under the camera, its page turned by a reader who waits for
// each spread to be taken: the feeder with the book option gives each
// spread as its left and then its right page, and a flatbed scan of the
// same book is one picture.
TEST_F(Scanimage, AFeederBatchOfABookGivesEachSpreadAsItsLeftAndThenRightPage) {
  // The first turn comes ten seconds after the camera last started, before
  // which the window's run must have looked at the first spread (a window
  // of the sanitized build on a busy machine took more than six); the wait
  // for a page covers the window's start on a busy machine.
  camera = "book?turn=10&wait=1&pages=3";
  const std::string device = "tavrin:Virtual Book Camera";
  ASSERT_EQ(Run({"-d", device, "--source", "Automatic Document Feeder", "--book=yes",
                 "--feeder-wait", "30", "--resolution", "100", "--format=png",
                 "--batch=" + Path("out/p%d.png").toStdString()}),
            0)
      << Errors();
  EXPECT_NE(Errors().find("Batch terminated, 4 pages"), std::string::npos) << Errors();
  std::vector<int> numbers;
  for (int page = 1; page <= 4; ++page) {
    const QImage image(Path("out/p%1.png").arg(page));
    ASSERT_FALSE(image.isNull()) << page;
    EXPECT_GT(image.height(), image.width()) << page;
    numbers.push_back(test::BookPageNumber(image));
  }
  // Spreads 2 and 3; the first lay there before the run and is not new.
  EXPECT_EQ(numbers, (std::vector<int>{3, 4, 5, 6}));
  EXPECT_TRUE(RequestOf(ReadText("home/Documents/DSConfig/ShowModel.xml"))
                  .contains("<CropMode>4</CropMode>"))
      << ReadText("home/Documents/DSConfig/ShowModel.xml").toStdString();
  EXPECT_TRUE(WindowGone());

  // Book crop belongs to the feeder: set for the flatbed, which takes one
  // picture, it changes nothing. A smaller frame keeps the sanitized
  // build's first frame well inside the camera's start-up bound.
  camera = "book?sizes=2592x1944";
  ASSERT_EQ(Run({"-d", device, "--book=yes", "--source", "Flatbed", "--resolution", "100",
                 "--format=png", "-o", Path("out/flatbed.png").toStdString()}),
            0)
      << Errors();
  EXPECT_FALSE(QImage(Path("out/flatbed.png")).isNull());
  EXPECT_EQ(QDir(Path("out")).entryList({"flatbed*"}, QDir::Files), QStringList{"flatbed.png"});
  EXPECT_TRUE(WindowGone());
}

// The person ends the run at the window long before the feeder's wait:
// the batch is cancelled, not an empty feeder.
TEST_F(Scanimage, AFeederBatchEndedAtTheWindowIsCancelled) {
  const auto started = Clock::now();
  const int pid = Start({"-d", kDevice, "--source", "Automatic Document Feeder", "--feeder-wait",
                         "120", "--format=png", "--batch=" + Path("out/p%d.png").toStdString()});
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(WaitFor([&] { return QFileInfo::exists(SocketPath()); }, 30000)) << Errors();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_NO_FATAL_FAILURE(Send({205}));
  EXPECT_NE(Wait(pid, 30000), -1) << Errors();
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(60));
  EXPECT_NE(Errors().find("sane_start: Operation was canceled"), std::string::npos) << Errors();
  EXPECT_NE(Errors().find("[tavrin] the batch was ended at the scan window"), std::string::npos)
      << Errors();
  EXPECT_TRUE(QDir(Path("out")).entryList(QDir::Files).isEmpty());
  EXPECT_TRUE(WindowGone());
}

// The first page of a batch gets longer than the wait between pages: the
// person has only just pressed Scan. The feeder's options may come before
// the source on scanimage's command line. Asked for, the page lying there
// when the batch starts is its first page.
TEST_F(Scanimage, TheFeedersFirstPageMayComeLateOrBeThePageLyingThere) {
  camera = "document?turn=6&pages=2";
  auto started = Clock::now();
  ASSERT_EQ(Run({"-d", kDevice, "--feeder-wait", "3", "--source", "Automatic Document Feeder",
                 "--resolution", "75", "--format=png",
                 "--batch=" + Path("out/late%d.png").toStdString()}),
            0)
      << Errors();
  EXPECT_GT(Clock::now() - started, std::chrono::seconds(6));
  EXPECT_NE(Errors().find("Batch terminated, 1 page"), std::string::npos) << Errors();
  EXPECT_EQ(QDir(Path("out")).entryList({"late*"}, QDir::Files), QStringList{"late1.png"});

  // A page that lies still all along is the batch's one page when asked.
  camera = "document";
  ASSERT_EQ(Run({"-d", kDevice, "--feeder-page-lying=yes", "--feeder-wait", "2", "--source",
                 "Automatic Document Feeder", "--resolution", "75", "--format=png",
                 "--batch=" + Path("out/lying%d.png").toStdString()}),
            0)
      << Errors();
  EXPECT_NE(Errors().find("Batch terminated, 1 page"), std::string::npos) << Errors();
  const QImage page(Path("out/lying1.png"));
  ASSERT_FALSE(page.isNull());
  EXPECT_GT(page.height(), page.width());
  EXPECT_TRUE(WindowGone());
}

// A capture that fails in the middle of a batch is an error with its
// cause, never the end of the pages: here the disk of the window's working
// folder is full (a small file system, in a mount namespace of the run).
TEST_F(Scanimage, AFailedCaptureInTheFeederIsAnErrorWithItsCause) {
  camera = "document?turn=3&pages=2";
  const std::string tmp = Path("tmp").toStdString();
  // Room for the window's lock and socket, not for a page.
  std::string command = "mount -t tmpfs -o size=3m,mode=0700 tavrin-full " + Quote(tmp) +
                        " || exit 77; head -c 2900k /dev/zero >" + Quote(tmp + "/filler") +
                        "; exec " + Quote(kScanimage);
  const std::vector<std::string> args = {"-d",
                                         kDevice,
                                         "--source",
                                         "Automatic Document Feeder",
                                         "--feeder-wait",
                                         "20",
                                         "--resolution",
                                         "150",
                                         "--format=png",
                                         "--batch=" + Path("out/p%d.png").toStdString()};
  for (const std::string& arg : args) command += " " + Quote(arg);
  const int status = Wait(StartProgram("/usr/bin/unshare", {"-m", "/bin/sh", "-c", command},
                                       Environment(), "scanimage.out", "scanimage.err"),
                          60000);
  if (status == 77 || (status != 0 && Errors().find("unshare") != std::string::npos))
    GTEST_SKIP() << "no mount namespace may be made here: " << Errors();
  EXPECT_NE(status, 0) << Errors();
  EXPECT_NE(Errors().find("sane_start: Error during device I/O"), std::string::npos) << Errors();
  EXPECT_NE(Errors().find("[tavrin] the capture failed: the disk of the window's working folder"),
            std::string::npos)
      << Errors();
  EXPECT_EQ(Errors().find("Document feeder out of documents"), std::string::npos) << Errors();
  EXPECT_TRUE(WindowGone());
}

TEST_F(Scanimage, APreviewIsTheWholeFieldAndTheAreaIsCutFromIt) {
  // The preview: the camera's whole field, landscape, at low resolution.
  ASSERT_EQ(Run({"-d", kDevice, "--preview=yes", "--mode", "Gray", "--format=png", "-o",
                 Path("out/preview.png").toStdString()}),
            0)
      << Errors();
  // Labelled with the resolution it has: the option reads so in a preview.
  const QImage preview(Path("out/preview.png"));
  ASSERT_FALSE(preview.isNull());
  EXPECT_NEAR(preview.dotsPerMeterX() * 0.0254, 75.0, 1.0);
  EXPECT_GT(preview.width(), preview.height());
  EXPECT_NEAR(preview.width(), 1240, 12);  // 420 mm at 75 DPI
  // It holds the desk round the page: darker than a page alone.
  EXPECT_LT(MeanGrey(preview), 150.0);

  // A scan area, 100 x 50 mm at 200 DPI: exactly the pixels that gives.
  ASSERT_EQ(Run({"-d", kDevice, "--find-page=no", "-l", "10", "-t", "20", "-x", "100", "-y", "50",
                 "--resolution", "200", "--format=png", "-o", Path("out/area.png").toStdString()}),
            0)
      << Errors();
  const QImage area(Path("out/area.png"));
  EXPECT_EQ(area.size(), QSize(787, 394));

  // An area past the field is set to the field, and scanimage is told so.
  ASSERT_EQ(Run({"-d", kDevice, "--find-page=no", "-x", "1000", "-y", "1000", "--resolution", "50",
                 "--format=png", "-o", Path("out/field.png").toStdString()}),
            0)
      << Errors();
  EXPECT_NE(Errors().find("rounded value of br-x from 1000 to 420"), std::string::npos) << Errors();
  EXPECT_EQ(QImage(Path("out/field.png")).size(), QSize(827, 620));

  // The area is what the frontend gets with the page finding on too, as a
  // frontend's page size sets it.
  ASSERT_EQ(Run({"-d", kDevice, "-l", "10", "-t", "10", "-x", "100", "-y", "50", "--resolution",
                 "100", "--format=png", "-o", Path("out/sized.png").toStdString()}),
            0)
      << Errors();
  EXPECT_EQ(QImage(Path("out/sized.png")).size(), QSize(394, 197));
  // The whole field, as it is by default, has the page found in it.
  ASSERT_EQ(Run({"-d", kDevice, "--resolution", "50", "--format=png", "-o",
                 Path("out/page.png").toStdString()}),
            0);
  const QImage page(Path("out/page.png"));
  EXPECT_GT(page.height(), page.width());
  EXPECT_GT(page.width(), 295);  // more than 150 mm at 50 DPI
  EXPECT_TRUE(WindowGone());
}

// Three cards on the desk, each 126 x 94.5 mm; an area drawn round the
// second, top right, has that card found in it, straightened and alone,
// and an area cutting through the first is that area as it is.
TEST_F(Scanimage, APageLyingWhollyInsideANarrowedAreaIsFoundThere) {
  camera = "pages";
  const std::string device = "tavrin:Virtual Pages Camera";
  ASSERT_EQ(
      Run({"-d", device, "-l", "215", "-t", "25", "-x", "180", "-y", "140", "--resolution", "100",
           "--mode", "Gray", "--format=png", "-o", Path("out/card.png").toStdString()}),
      0)
      << Errors();
  const QImage card(Path("out/card.png"));
  EXPECT_NEAR(card.width(), 496, 8);   // 126 mm at 100 DPI, not the area's 709
  EXPECT_NEAR(card.height(), 372, 8);  // 94.5 mm, not 551
  EXPECT_GT(MeanGrey(card), 200.0) << "desk round the card";
  // A5 from the field's corner, as a frontend's page size sets it: the
  // first card reaches past it, so it is the area.
  ASSERT_EQ(Run({"-d", device, "-x", "148", "-y", "210", "--resolution", "100", "--mode", "Gray",
                 "--format=png", "-o", Path("out/a5.png").toStdString()}),
            0)
      << Errors();
  const QImage a5(Path("out/a5.png"));
  EXPECT_EQ(a5.size(), QSize(583, 827));
  EXPECT_LT(MeanGrey(a5), 150.0) << "the desk round the card's corner";
  EXPECT_TRUE(WindowGone());
}

// A second scan while a person is at the window of the first: it fails at
// once as busy with a reason, and the first goes on unharmed. The one-
// session lock of the data source makes the second tsOpen busy.
TEST_F(Scanimage, ASecondScanWhileOneRunsIsBusyAtOnceAndTheFirstGoesOn) {
  ASSERT_NO_FATAL_FAILURE(StartDisplay());
  if (IsSkipped()) return;
  const int first = Start({"-d", kDevice, "--source", "Camera (interactive)", "--format=png",
                           "--batch=" + Path("out/p%d.png").toStdString()},
                          "first.out", "first.err");
  ASSERT_GT(first, 0);
  ASSERT_TRUE(WaitFor([&] { return QFileInfo::exists(SocketPath()); }, 30000))
      << ReadText("first.err").toStdString();

  const auto started = Clock::now();
  const int second = Start({"-d", kDevice, "--format=png", "-o", Path("out/b.png").toStdString()});
  EXPECT_NE(Wait(second, 30000), 0);
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(10)) << "the second scan waited";
  EXPECT_NE(Errors().find("[tavrin] the camera is busy"), std::string::npos) << Errors();
  EXPECT_NE(Errors().find("sane_start: Device busy"), std::string::npos) << Errors();
  EXPECT_FALSE(QFileInfo::exists(Path("out/b.png")) && QFileInfo(Path("out/b.png")).size() > 0);

  // The first still has its window and ends as the person ends it.
  EXPECT_EQ(WindowProcesses(Bin("TavrinDesk")).size(), 1u);
  ASSERT_NO_FATAL_FAILURE(Send({205}));
  EXPECT_NE(Wait(first, 30000), -1);
  EXPECT_NE(ReadText("first.err").indexOf("Document feeder out of documents"), -1)
      << ReadText("first.err").toStdString();
  EXPECT_TRUE(WindowGone());
}

// simple-scan tries to start again and again while the camera is busy; the
// reason is said once, not once a try.
TEST_F(Scanimage, ABusyCameraIsSaidOnceToAFrontendThatKeepsTrying) {
  if (!QFileInfo::exists("/usr/lib/python3/dist-packages/sane.py"))
    GTEST_SKIP() << "python3-sane is not installed (scripts/setup)";
  const int first = Start({"-d", kDevice, "--source", "Automatic Document Feeder", "--feeder-wait",
                           "60", "--format=png", "--batch=" + Path("out/p%d.png").toStdString()},
                          "first.out", "first.err");
  ASSERT_TRUE(WaitFor([&] { return QFileInfo::exists(SocketPath()); }, 30000))
      << ReadText("first.err").toStdString();
  const int pid =
      StartProgram("/usr/bin/python3", {TAVRIN_SANE_TEST_FOLDER "/busy_retry.py", kDevice, "40"},
                   Environment(), "python.out", "python.err");
  EXPECT_EQ(Wait(pid, 60000), 0) << ReadText("python.out").toStdString();
  EXPECT_EQ(ReadText("python.out").count("Device busy"), 40)
      << ReadText("python.out").toStdString();
  EXPECT_EQ(ReadText("python.err").count("[tavrin] the camera is busy"), 1)
      << ReadText("python.err").toStdString();
  ASSERT_NO_FATAL_FAILURE(Send({205}));
  EXPECT_NE(Wait(first, 30000), -1);
  EXPECT_TRUE(WindowGone());
}

// saned, SANE's network daemon, serves the camera to scanimage's net
// backend: no display, and only the loopback address of a network
// namespace made for the run.
TEST_F(Scanimage, SanedServesTheCameraOverTheLoopbackAddress) {
  if (!SetUpSaned()) GTEST_SKIP() << "saned or unshare is not installed (scripts/setup)";
  const int pid = StartProgram(
      "/usr/bin/unshare",
      {"-n", TAVRIN_SANE_TEST_FOLDER "/saned_scan.sh", Path("server.d").toStdString(),
       Path("client.d").toStdString(), "tavrin:Virtual Document Camera", "--mode", "Gray",
       "--resolution", "100", "--format=png", "-o", Path("out/net.png").toStdString()},
      Environment(), "saned.out", "scanimage.err");
  const int status = Wait(pid, 120000);
  if (status != 0 && Errors().find("unshare") != std::string::npos &&
      Errors().find("Operation not permitted") != std::string::npos)
    GTEST_SKIP() << "no network namespace may be made here: " << Errors();
  ASSERT_EQ(status, 0) << Errors() << ReadText("saned.out").toStdString()
                       << ReadText("server.d/saned.log").toStdString();
  const QImage page(Path("out/net.png"));
  ASSERT_FALSE(page.isNull());
  EXPECT_TRUE(page.isGrayscale());
  EXPECT_GT(page.height(), page.width());
  EXPECT_GT(page.width() / 100.0 * 25.4, 120.0);
  EXPECT_TRUE(WindowGone());
}

// saned reads nothing from its client while a start runs: the backend
// refuses the interactive source there, and ends the window as soon as the
// client of a feeder batch is killed, so that the next scan finds the
// camera free rather than busy for the rest of the feeder's wait.
TEST_F(Scanimage, SanedEndsTheWindowWhenItsClientGoesAndRefusesTheInteractiveSource) {
  if (!SetUpSaned()) GTEST_SKIP() << "saned or unshare is not installed (scripts/setup)";
  const int pid = StartProgram(
      "/usr/bin/unshare",
      {"-n", TAVRIN_SANE_TEST_FOLDER "/saned_client_gone.sh", Path("server.d").toStdString(),
       Path("client.d").toStdString(), "tavrin:Virtual Document Camera", Path("out").toStdString(),
       Bin("TavrinDesk").toStdString()},
      Environment(), "saned.out", "saned.err");
  const int status = Wait(pid, 150000);
  const std::string steps = ReadText("saned.out").toStdString();
  if (status != 0 && ReadText("saned.err").contains("Operation not permitted"))
    GTEST_SKIP() << "no network namespace may be made here: "
                 << ReadText("saned.err").toStdString();
  ASSERT_EQ(status, 0) << steps << ReadText("saned.err").toStdString();
  const std::string log = ReadText("server.d/saned.log").toStdString();
  EXPECT_NE(steps.find("interactive: status 1"), std::string::npos) << steps;
  EXPECT_NE(log.find("[tavrin] the source \"Camera (interactive)\" needs a person"),
            std::string::npos)
      << log;
  const QRegularExpressionMatch ended =
      QRegularExpression("feeder: window ended (\\d+) ms after the client was killed, 0 left")
          .match(QString::fromStdString(steps));
  ASSERT_TRUE(ended.hasMatch()) << steps << log;
  EXPECT_LT(ended.captured(1).toInt(), 3000) << steps;
  EXPECT_NE(steps.find("flatbed after: status 0"), std::string::npos) << steps << log;
  EXPECT_FALSE(QImage(Path("out/after.png")).isNull());
  EXPECT_TRUE(WindowGone());
}

TEST_F(Scanimage, Python3SaneSetsOptionsAsSimpleScanDoes) {
  if (!QFileInfo::exists("/usr/lib/python3/dist-packages/sane.py"))
    GTEST_SKIP() << "python3-sane is not installed (scripts/setup)";
  const int pid =
      StartProgram("/usr/bin/python3", {TAVRIN_SANE_TEST_FOLDER "/simple_scan_like.py", kDevice},
                   Environment(), "python.out", "python.err");
  ASSERT_EQ(Wait(pid, 200000), 0) << ReadText("python.out").toStdString()
                                  << ReadText("python.err").toStdString();
  const QString out = ReadText("python.out");
  // A found page of a sheet at 150 DPI, in grey; the whole field without
  // page finding; one page from a flatbed's batch; the feeder by its name.
  EXPECT_TRUE(out.contains(
      QRegularExpression("^Flatbed Gray 150 \\d+x\\d+ L$", QRegularExpression::MultilineOption)))
      << out.toStdString();
  EXPECT_TRUE(out.contains("Flatbed Color 300 ")) << out.toStdString();
  EXPECT_TRUE(out.contains("Flatbed Lineart 600 ")) << out.toStdString();
  EXPECT_TRUE(out.contains("Flatbed Gray 75 1240x930 L field")) << out.toStdString();
  EXPECT_TRUE(out.contains("Flatbed Gray 75 620x877 L A4")) << out.toStdString();
  EXPECT_TRUE(out.contains("Preview 75 dpi landscape")) << out.toStdString();
  EXPECT_TRUE(out.contains("Flatbed batch 1")) << out.toStdString();
  EXPECT_TRUE(out.contains("Automatic Document Feeder wait 10")) << out.toStdString();
  EXPECT_TRUE(WindowGone());
}

}  // namespace
}  // namespace tavrin
