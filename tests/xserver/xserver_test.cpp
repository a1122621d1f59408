// The scan window as a person uses it: the real TavrinDesk, started by
// tavrin-scan in mode 0 from a private copy of the program folder with
// virtual cameras, on a real X server with a window manager. Keys and
// clicks are real input events (xdotool, through XTest); what the person
// sees is read from screen grabs and from the X windows' own geometry.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "recovery/undelivered_pages.h"
#include "tests/support/program_copy_test.h"
#include "tests/support/wait.h"

namespace tavrin {
namespace {

using test::WaitFor;

constexpr int kScreenWidth = 1920;
constexpr int kScreenHeight = 1080;
constexpr int kStartTimeoutMs = 30000;
constexpr int kToolTimeoutMs = 15000;

struct Place {
  int x = 0;
  int y = 0;
  int w = 0;
  int h = 0;
  int CentreX() const { return x + w / 2; }
  int CentreY() const { return y + h / 2; }
};

class XServerLane : public test::ProgramCopyTest {
 protected:
  XServerLane() : ProgramCopyTest("tavrin-xserver") {}

  void SetUp() override {
    if (QStandardPaths::findExecutable("Xvfb").isEmpty()) {
      GTEST_SKIP() << "Xvfb is not installed; scripts/setup installs it with openbox, xdotool "
                      "and imagemagick for the X-server lane";
    }
    ASSERT_NO_FATAL_FAILURE(
        CopyProgramFolder(QStringLiteral(TAVRIN_PROGRAM_FOLDER),
                          {"TavrinDesk", "libTavrinLens.so", "TavrinSource.ds", "tavrin-scan"}));
    ASSERT_NO_FATAL_FAILURE(StartServer());
  }

  void TearDown() override {
    for (QProcess* process : {scan.get(), windowManager.get(), server.get()}) {
      if (process == nullptr || process->state() == QProcess::NotRunning) continue;
      process->terminate();
      if (!process->waitForFinished(5000)) {
        process->kill();
        process->waitForFinished(5000);
      }
    }
  }

  // Xvfb on a display it picks itself, openbox managing it. Xvfb writes the
  // number it took once it accepts connections, so no other run can take
  // the number between our choice and its start. It must not reset when
  // its last client leaves: a reset between our probe and openbox's
  // connection refuses openbox on a loaded machine.
  void StartServer() {
    server = std::make_unique<QProcess>();
    server->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server->start("Xvfb", {"-displayfd", "1", "-screen", "0",
                           QStringLiteral("%1x%2x24").arg(screen.width()).arg(screen.height()),
                           "-nolisten", "tcp", "-noreset"});
    QByteArray announced;
    QElapsedTimer waited;
    waited.start();
    while (!announced.contains('\n') && waited.elapsed() < kStartTimeoutMs &&
           server->waitForReadyRead(kStartTimeoutMs - static_cast<int>(waited.elapsed()))) {
      announced += server->readAllStandardOutput();
    }
    bool number = false;
    announced.trimmed().toInt(&number);
    ASSERT_TRUE(number && server->state() == QProcess::Running)
        << "Xvfb did not start (it said \"" << announced.toStdString() << "\")";
    display = QStringLiteral(":%1").arg(QString::fromLatin1(announced.trimmed()));
    windowManager = std::make_unique<QProcess>();
    windowManager->setProcessChannelMode(QProcess::ForwardedChannels);
    windowManager->setProcessEnvironment(Environment());
    windowManager->start("openbox", {});
    ASSERT_TRUE(windowManager->waitForStarted(5000)) << "openbox is not installed";
    ASSERT_TRUE(WaitFor(
        [&] {
          return Tool("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}).contains("window id");
        },
        30000, 50))
        << "openbox did not take the display (openbox "
        << (windowManager->state() == QProcess::Running ? "runs" : "has ended") << ")";
  }

  QProcessEnvironment Environment() const {
    QProcessEnvironment environment;
    environment.insert("PATH", qEnvironmentVariable("PATH"));
    for (const std::string& entry : PrivateEnvironment(cameras)) {
      const size_t equals = entry.find('=');
      environment.insert(QString::fromStdString(entry.substr(0, equals)),
                         QString::fromStdString(entry.substr(equals + 1)));
    }
    environment.insert("QT_QPA_PLATFORM", "xcb");
    if (scale > 1) environment.insert("QT_SCALE_FACTOR", QString::number(scale));
    environment.insert("DISPLAY", display);
    environment.insert("TAVRIN_DESK_TRACE", Path("trace.txt"));
    return environment;
  }

  // Runs an X tool on the display and returns its standard output.
  QString Tool(const QString& program, const QStringList& args) const {
    QProcess tool;
    tool.setProcessEnvironment(Environment());
    tool.start(program, args);
    if (!tool.waitForFinished(kToolTimeoutMs)) {
      tool.kill();
      tool.waitForFinished(2000);
      ADD_FAILURE() << program.toStdString() << " did not finish";
      return {};
    }
    return QString::fromUtf8(tool.readAllStandardOutput());
  }

  // tavrin-scan in mode 0, as an application scans: it returns once the
  // person has closed the window.
  void StartScan(const QString& timeout = "120") {
    QFile::remove(Path("trace.txt"));
    scan = std::make_unique<QProcess>();
    scan->setProcessEnvironment(Environment());
    scan->setProcessChannelMode(QProcess::ForwardedChannels);
    scan->start(Bin("tavrin-scan"), {"--mode", "0", "--output", Path("out"), "--timeout", timeout});
    ASSERT_TRUE(scan->waitForStarted(5000));
    ASSERT_TRUE(
        WaitFor([&] { return !WindowId().isEmpty() && PlaceOf("capture"); }, kStartTimeoutMs, 50))
        << "the scan window did not appear";
    // The live picture runs; the first frames need a moment.
    QThread::msleep(1500);
  }
  int ScanExitCode(int timeoutMs) {
    if (!scan->waitForFinished(timeoutMs)) return -1;
    return scan->exitStatus() == QProcess::NormalExit ? scan->exitCode() : -2;
  }

  QString WindowId() const {
    return Tool("xdotool", {"search", "--onlyvisible", "--name", "^TavrinDesk$"})
        .section('\n', 0, 0)
        .trimmed();
  }

  // Where the window last said a control is, in screen pixels.
  std::optional<Place> PlaceOf(const QString& name) const {
    QFile file(Path("trace.txt"));
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    std::optional<Place> place;
    const QRegularExpression line(
        QStringLiteral("^place %1 (-?\\d+) (-?\\d+) (\\d+) (\\d+)$").arg(name),
        QRegularExpression::MultilineOption);
    for (auto match = line.globalMatch(QString::fromUtf8(file.readAll())); match.hasNext();) {
      const auto found = match.next();
      place = Place{found.captured(1).toInt(), found.captured(2).toInt(), found.captured(3).toInt(),
                    found.captured(4).toInt()};
    }
    return place;
  }

  // The size of an X window as the server has it.
  QSize XWindowSize(const QString& id) const {
    const QString info = Tool("xwininfo", {"-id", id});
    const auto width = QRegularExpression("Width: (\\d+)").match(info);
    const auto height = QRegularExpression("Height: (\\d+)").match(info);
    return {width.captured(1).toInt(), height.captured(1).toInt()};
  }
  QString PreviewWindowId() const {
    QFile file(Path("trace.txt"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    QString id;
    for (const QString& text : QString::fromUtf8(file.readAll()).split('\n')) {
      if (text.startsWith("window preview ")) id = text.section(' ', 2);
    }
    return id;
  }

  QImage Grab() const {
    const QString file = Path("screen.png");
    QFile::remove(file);
    Tool("import", {"-display", display, "-window", "root", file});
    QImage image(file);
    EXPECT_FALSE(image.isNull()) << "no screen grab";
    return image.convertToFormat(QImage::Format_RGB32);
  }

  // Not "mousemove --sync": it waits for ever when the pointer is there
  // already.
  void MoveTo(int x, int y) const {
    Tool("xdotool", {"mousemove", QString::number(x), QString::number(y)});
    QThread::msleep(150);
  }
  void Click(int x, int y, const QString& button = "1") const {
    MoveTo(x, y);
    Tool("xdotool", {"click", button});
  }
  void Click(const Place& place) const { Click(place.CentreX(), place.CentreY()); }
  // Presses the mouse at from, moves to to and lets go there: a drag as
  // the hand makes it (the custom frame's test draws with this).
  void Drag(QPoint from, QPoint to) const {
    MoveTo(from.x(), from.y());
    Tool("xdotool", {"mousedown", "1"});
    for (int step = 1; step <= 10; ++step) {
      const QPoint at = from + (to - from) * step / 10;
      MoveTo(at.x(), at.y());
    }
    Tool("xdotool", {"mouseup", "1"});
  }
  // Keeps a grab where TAVRIN_XSERVER_SHOTS names a folder, to look at.
  static void Keep(const QImage& image, const QString& name) {
    const QString folder = qEnvironmentVariable("TAVRIN_XSERVER_SHOTS");
    if (!folder.isEmpty()) image.save(folder + "/" + name);
  }
  void Key(const QString& key) const { Tool("xdotool", {"key", key}); }
  void Settle(int ms = 700) const { QThread::msleep(static_cast<unsigned long>(ms)); }

  QStringList Delivered() const { return QDir(Path("out")).entryList(QDir::Files, QDir::Name); }

  // The id of the control that last took the keyboard, as the window says.
  QString Focus() const {
    QFile file(Path("trace.txt"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    QString id;
    for (const QString& text : QString::fromUtf8(file.readAll()).split('\n')) {
      if (text.startsWith("focus ")) id = text.section(' ', 1);
    }
    return id;
  }
  // Presses Tab until the control with this id has the keyboard; false when
  // Tab went round the whole window without reaching it.
  bool TabTo(const QString& id) {
    for (int presses = 0; presses < 60; ++presses) {
      if (Focus() == id) return true;
      Key("Tab");
      QThread::msleep(120);
    }
    return Focus() == id;
  }

  std::string cameras = "document,webcam";
  QSize screen{kScreenWidth, kScreenHeight};
  int scale = 1;
  QString display;
  std::unique_ptr<QProcess> server;
  std::unique_ptr<QProcess> windowManager;
  std::unique_ptr<QProcess> scan;
};

TEST_F(XServerLane, EnterAndEscapeLeaveTheWindowOpen) {
  ASSERT_NO_FATAL_FAILURE(StartScan());
  const QString id = WindowId();
  // Choose a list item with the keys, as a person does, then press Enter
  // and Escape on the window.
  const std::optional<Place> colour = PlaceOf("colour");
  ASSERT_TRUE(colour);
  Click(*colour);
  Settle();
  Key("Down");
  Key("Return");
  Settle();
  for (const char* key : {"Return", "KP_Enter", "Escape"}) {
    Key(key);
    Settle();
    EXPECT_EQ(WindowId(), id) << key;
    EXPECT_EQ(scan->state(), QProcess::Running) << key;
  }
  // Exit ends it, without pages: nothing is delivered.
  Click(*PlaceOf("exit"));
  constexpr int kNothingDelivered = 6;
  EXPECT_EQ(ScanExitCode(30000), kNothingDelivered);
  EXPECT_TRUE(Delivered().isEmpty());
}

// A laptop's screen at 200 %: 1200 pixels of the window's own, fewer than
// its texts fit in. The picture gives up the difference; the strip and Exit
// stay on the screen, apart from the picture, and Exit can be pressed.
class NarrowScreenLane : public XServerLane {
 protected:
  NarrowScreenLane() {
    screen = {2400, 1600};
    scale = 2;
  }
};

TEST_F(NarrowScreenLane, AtTwiceTheScaleTheWholeWindowFitsANarrowScreen) {
  ASSERT_NO_FATAL_FAILURE(StartScan());
  const std::optional<Place> window = PlaceOf("window");
  const std::optional<Place> preview = PlaceOf("preview");
  const std::optional<Place> strip = PlaceOf("strip");
  const std::optional<Place> exit = PlaceOf("exit");
  ASSERT_TRUE(window && preview && strip && exit);
  EXPECT_GE(window->x, 0);
  EXPECT_LE(window->x + window->w, screen.width() / scale);
  EXPECT_LE(strip->x + strip->w, window->x + window->w);
  EXPECT_LE(exit->x + exit->w, window->x + window->w);
  EXPECT_LT(preview->x + preview->w, strip->x);
  Keep(Grab(), "xserver-narrow-200-percent.png");
  // The places are the window's own pixels; the pointer moves in the screen's.
  Click(exit->CentreX() * scale, exit->CentreY() * scale);
  constexpr int kNothingDelivered = 6;
  EXPECT_EQ(ScanExitCode(30000), kNothingDelivered);
}

// A time-out asked for closes the window as Exit would: the pages the
// person captured are delivered, not dropped.
TEST_F(XServerLane, ATimeOutDeliversWhatThePersonCapturedFirst) {
  ASSERT_NO_FATAL_FAILURE(StartScan("20"));
  Click(*PlaceOf("capture"));
  Settle(2500);
  constexpr int kTimedOut = 5;
  EXPECT_EQ(ScanExitCode(40000), kTimedOut);
  EXPECT_EQ(Delivered().size(), 1) << Delivered().join(' ').toStdString();
}

// Pages a killed session left behind: the window opened for a person
// offers them, and "Add to this scan" delivers them with this scan.
TEST_F(XServerLane, PagesLeftByAnEarlierSessionAreOfferedAndAdded) {
  ASSERT_TRUE(platform::SetEnvironment("TMPDIR", Path("tmp").toStdString()));
  const std::string temp = platform::PrivateTempFolder();
  ASSERT_FALSE(temp.empty());
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(recovery::WorkFolder(temp))));
  QImage left(400, 300, QImage::Format_RGB32);
  left.fill(Qt::darkCyan);
  ASSERT_TRUE(left.save(QString::fromStdString(recovery::WorkFolder(temp) + "/1_42.jpg")));
  ASSERT_EQ(recovery::KeepUndelivered(temp).pages.size(), 1u);

  ASSERT_NO_FATAL_FAILURE(StartScan());
  Key("alt+a");
  Settle();
  Click(*PlaceOf("exit"));
  EXPECT_EQ(ScanExitCode(30000), 0);
  const QStringList files = Delivered();
  ASSERT_EQ(files.size(), 1) << files.join(' ').toStdString();
  EXPECT_EQ(QImage(Path("out/") + files.front()).size(), QSize(400, 300));
  EXPECT_TRUE(recovery::ListWaiting(temp).empty());
}

TEST_F(XServerLane, CaptureByMouseShowsAWideThumbnailAndExitDeliversThePage) {
  // Uncropped, so that the picture fills its cell's width: a cropped page
  // stands upright in it, narrower than the cell.
  QFile settings(Bin("LastSetting.xml"));
  ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
  settings.write(
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      "<TavrinWindow><cutType>0</cutType></TavrinWindow>\n");
  settings.close();
  ASSERT_NO_FATAL_FAILURE(StartScan());
  const std::optional<Place> strip = PlaceOf("strip");
  ASSERT_TRUE(strip);
  const QImage before = Grab();
  Click(*PlaceOf("capture"));
  Settle(2500);
  const QImage after = Grab();
  ASSERT_EQ(after.size(), QSize(kScreenWidth, kScreenHeight));
  // The first thumbnail, as the screen shows it: the columns of the strip
  // whose pixels changed in the rows of the first cell.
  int left = strip->w;
  int right = -1;
  for (int y = strip->y; y < strip->y + std::min(strip->h, 120); ++y) {
    for (int x = strip->x; x < strip->x + strip->w; ++x) {
      const QRgb was = before.pixel(x, y);
      const QRgb is = after.pixel(x, y);
      if (std::abs(qGray(was) - qGray(is)) > 24) {
        left = std::min(left, x - strip->x);
        right = std::max(right, x - strip->x);
      }
    }
  }
  ASSERT_GE(right, 0) << "no thumbnail appeared in the strip";
  const int shownWidth = right - left + 1;
  EXPECT_GE(shownWidth, 100) << "thumbnail " << shownWidth << " px wide";
  Keep(after, "xserver-capture.png");
  std::cout << "thumbnail on the screen: " << shownWidth << " px wide\n";

  Click(*PlaceOf("exit"));
  EXPECT_EQ(ScanExitCode(30000), 0);
  const QStringList files = Delivered();
  ASSERT_EQ(files.size(), 1) << files.join(' ').toStdString();
  const QImage page(Path("out/") + files.front());
  EXPECT_FALSE(page.isNull());
  EXPECT_GT(page.width(), 200);
}

TEST_F(XServerLane, ResizeAndMaximiseGrowThePreviewAndTheSizeIsRemembered) {
  ASSERT_NO_FATAL_FAILURE(StartScan());
  const QString id = WindowId();
  const QString preview = PreviewWindowId();
  ASSERT_FALSE(preview.isEmpty());
  const QSize startPreview = XWindowSize(preview);
  const QSize startWindow = XWindowSize(id);
  ASSERT_GT(startPreview.width(), 0);

  Tool("xdotool", {"windowsize", "--sync", id, "1600", "950"});
  Settle();
  const QSize grownWindow = XWindowSize(id);
  EXPECT_EQ(grownWindow, QSize(1600, 950));
  const QSize grownPreview = XWindowSize(preview);
  // Most of the width and all of the height go to the picture.
  EXPECT_GE(grownPreview.width() - startPreview.width(),
            (grownWindow.width() - startWindow.width()) * 3 / 4);
  EXPECT_EQ(grownPreview.height() - startPreview.height(),
            grownWindow.height() - startWindow.height());

  Click(*PlaceOf("exit"));
  constexpr int kNothingDelivered = 6;
  ASSERT_EQ(ScanExitCode(30000), kNothingDelivered);

  // The next session opens at the size the person left.
  ASSERT_NO_FATAL_FAILURE(StartScan());
  const QString again = WindowId();
  EXPECT_EQ(XWindowSize(again), QSize(1600, 950));
  // A double click on the title bar maximises (openbox's own binding).
  const std::optional<Place> window = PlaceOf("window");
  ASSERT_TRUE(window);
  MoveTo(window->CentreX(), window->y - 10);
  Tool("xdotool", {"click", "--repeat", "2", "--delay", "80", "1"});
  Settle(1500);
  const QSize maximised = XWindowSize(again);
  EXPECT_GE(maximised.width(), kScreenWidth - 10);
  EXPECT_GT(maximised.height(), 950);
  EXPECT_GT(XWindowSize(PreviewWindowId()).width(), grownPreview.width() + 200);
  Keep(Grab(), "xserver-maximised.png");
  Click(*PlaceOf("exit"));
  ASSERT_EQ(ScanExitCode(30000), kNothingDelivered);

  // And the next one opens maximised.
  ASSERT_NO_FATAL_FAILURE(StartScan());
  EXPECT_GE(XWindowSize(WindowId()).width(), kScreenWidth - 10);
  Click(*PlaceOf("exit"));
  EXPECT_EQ(ScanExitCode(30000), kNothingDelivered);
}

TEST_F(XServerLane, ACustomFrameDrawnByDraggingGivesACaptureOfThatRegion) {
  cameras = "document";
  ASSERT_NO_FATAL_FAILURE(StartScan());
  const std::optional<Place> handCut = PlaceOf("handcut");
  const std::optional<Place> preview = PlaceOf("preview");
  ASSERT_TRUE(handCut && preview);
  // The check box sits at the left of its control.
  Click(handCut->x + handCut->h / 2, handCut->CentreY());
  Settle();
  // The live picture fits the preview at the frame's shape, centred; the
  // window opens the virtual camera at its first size.
  constexpr int kFrameWidth = 4912;
  constexpr int kFrameHeight = 3680;
  const double scale = std::min(static_cast<double>(preview->w) / kFrameWidth,
                                static_cast<double>(preview->h) / kFrameHeight);
  const auto onPicture = [&](double fx, double fy) {
    return QPoint(preview->x + static_cast<int>((preview->w - kFrameWidth * scale) / 2 +
                                                fx * kFrameWidth * scale),
                  preview->y + static_cast<int>((preview->h - kFrameHeight * scale) / 2 +
                                                fy * kFrameHeight * scale));
  };
  // A hand's drag from 20 % / 20 % to 60 % / 70 % of the picture.
  Drag(onPicture(0.2, 0.2), onPicture(0.6, 0.7));
  Settle();
  Keep(Grab(), "xserver-custom-frame.png");
  Click(*PlaceOf("capture"));
  Settle(2500);
  Click(*PlaceOf("exit"));
  ASSERT_EQ(ScanExitCode(60000), 0);
  const QStringList files = Delivered();
  ASSERT_EQ(files.size(), 1) << files.join(' ').toStdString();
  const QSize size = QImage(Path("out/") + files.front()).size();
  EXPECT_NEAR(size.width(), 0.4 * kFrameWidth, 0.03 * kFrameWidth);
  EXPECT_NEAR(size.height(), 0.5 * kFrameHeight, 0.03 * kFrameHeight);
}

}  // namespace
}  // namespace tavrin

namespace tavrin {
namespace {

TEST_F(XServerLane, AKeyboardOnlyScanChoosesGreyCapturesTakesOutBringsBackAndExits) {
  cameras = "document";
  ASSERT_NO_FATAL_FAILURE(StartScan());
  // Alt and the label's letter reach the colour list ("&Scan Mode"); Down
  // picks the next mode, grey.
  Key("alt+s");
  Settle(300);
  EXPECT_EQ(Focus(), "1004");
  Key("Down");
  Settle(300);
  // Two pages by the shortcut, while the list keeps the keyboard.
  Key("F5");
  Settle(2500);
  Key("F5");
  Settle(2500);
  // In the strip: the first page out, back with Ctrl+Z, then the last out.
  ASSERT_TRUE(TabTo("1029")) << "Tab never reached the strip (last focus " << Focus().toStdString()
                             << ")";
  Key("Home");
  Settle(300);
  Key("Delete");
  Settle(500);
  Key("ctrl+z");
  Settle(500);
  Key("End");
  Settle(300);
  Key("Delete");
  Settle(500);
  Keep(Grab(), "xserver-keyboard.png");
  // Enter and Escape do not end it; Exit, reached with Tab, does.
  for (const char* key : {"Return", "Escape"}) {
    Key(key);
    Settle(300);
    EXPECT_EQ(scan->state(), QProcess::Running) << key;
  }
  ASSERT_TRUE(TabTo("1030")) << "Tab never reached Exit";
  Key("space");
  ASSERT_EQ(ScanExitCode(30000), 0);
  const QStringList files = Delivered();
  // One of two: had Delete done nothing there would be two, had Ctrl+Z
  // done nothing, none.
  ASSERT_EQ(files.size(), 1) << files.join(' ').toStdString();
  const QImage page(Path("out/") + files.front());
  ASSERT_FALSE(page.isNull());
  EXPECT_TRUE(page.isGrayscale()) << "the mode chosen with the keys did not reach the page";
}

TEST_F(XServerLane, AScreenReaderFindsANameOnEveryControlAndTheLabelOnEveryList) {
  if (QStandardPaths::findExecutable("dbus-run-session").isEmpty() ||
      !QFile::exists("/usr/lib/python3/dist-packages/pyatspi")) {
    GTEST_SKIP() << "dbus-run-session or python3-pyatspi is missing; scripts/setup installs them";
  }
  cameras = "document,webcam";
  // The window and the walker on one session bus of their own.
  QProcessEnvironment environment = Environment();
  environment.insert("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
  environment.insert("QT_ACCESSIBILITY", "1");
  QProcess session;
  session.setProcessEnvironment(environment);
  session.setProcessChannelMode(QProcess::MergedChannels);
  const QString script = QStringLiteral(TAVRIN_XSERVER_SOURCE "/atspi_walk.py");
  session.start("dbus-run-session", {"--", "sh", "-c",
                                     "\"$0\" --mode 0 --output \"$1\" --timeout 120 & "
                                     "/usr/bin/python3 \"$2\"; status=$?; wait; exit $status",
                                     Bin("tavrin-scan"), Path("out"), script});
  ASSERT_TRUE(session.waitForStarted(5000));
  const bool finished = session.waitForFinished(150000);
  const QString said = QString::fromUtf8(session.readAll());
  std::cout << said.toStdString();
  ASSERT_TRUE(finished) << "the walk did not finish";
  EXPECT_EQ(session.exitCode(), 0) << said.toStdString();
  EXPECT_TRUE(said.contains("checked ")) << said.toStdString();
}

}  // namespace
}  // namespace tavrin
