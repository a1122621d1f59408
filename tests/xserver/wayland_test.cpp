// The scan window on Wayland, as GNOME and KDE run it by default: the real
// TavrinDesk under a headless sway (run as an unprivileged user where the
// test runs as root, since sway refuses root), worked through the
// accessibility bus (a headless compositor has no input devices) and looked
// at with grim.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <string>

#include "tests/support/program_copy_test.h"
#include "tests/support/wait.h"

namespace tavrin {
namespace {

using test::WaitFor;

// The virtual document camera's desk, brown, fills the live picture around
// the page; the window's own colours are greys.
bool IsDesk(QRgb pixel) {
  const int r = qRed(pixel);
  const int g = qGreen(pixel);
  const int b = qBlue(pixel);
  return r > 60 && r < 160 && r - b > 25 && g - b > 8;
}

class WaylandLane : public test::ProgramCopyTest {
 protected:
  WaylandLane() : ProgramCopyTest("tavrin-wayland") {}

  void SetUp() override {
    for (const char* tool : {"sway", "grim", "dbus-run-session", "setpriv"}) {
      if (QStandardPaths::findExecutable(tool).isEmpty())
        GTEST_SKIP() << tool << " is missing; scripts/setup installs the Wayland lane's tools";
    }
    if (!QFile::exists("/usr/lib/python3/dist-packages/pyatspi"))
      GTEST_SKIP() << "python3-pyatspi is missing; scripts/setup installs it";
    ASSERT_NO_FATAL_FAILURE(
        CopyProgramFolder(QStringLiteral(TAVRIN_PROGRAM_FOLDER),
                          {"TavrinDesk", "libTavrinLens.so", "TavrinSource.ds", "tavrin-scan"}));
    // sway's runtime folder, its own user's and no one else's; the window
    // (root in CI) reaches the socket all the same.
    runtime = QDir::tempPath() + "/tavrin-wayland-run-" + QString::number(::getpid());
    QDir().mkpath(runtime);
    if (::getuid() == 0) {
      asUser = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"};
      ASSERT_EQ(QProcess::execute("chown", {"nobody", runtime}), 0);
    }
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile config(runtime + "/config");
    ASSERT_TRUE(config.open(QIODevice::WriteOnly));
    config.write("output HEADLESS-1 resolution 1600x900\n");
    config.close();
    if (::getuid() == 0) QProcess::execute("chown", {"nobody", runtime + "/config"});

    compositor = std::make_unique<QProcess>();
    QProcessEnvironment environment;
    environment.insert("PATH", qEnvironmentVariable("PATH"));
    environment.insert("XDG_RUNTIME_DIR", runtime);
    environment.insert("HOME", runtime);
    environment.insert("WLR_BACKENDS", "headless");
    environment.insert("WLR_LIBINPUT_NO_DEVICES", "1");
    environment.insert("WLR_RENDERER", "pixman");
    compositor->setProcessEnvironment(environment);
    compositor->setProcessChannelMode(QProcess::MergedChannels);
    QStringList args = asUser;
    args << "sway"
         << "-c" << runtime + "/config";
    compositor->start(args.takeFirst(), args);
    ASSERT_TRUE(compositor->waitForStarted(5000));
    ASSERT_TRUE(WaitFor([&] { return QFile::exists(runtime + "/wayland-1"); }, 20000, 50))
        << "sway did not start: " << compositor->readAll().toStdString();
  }

  void TearDown() override {
    if (compositor != nullptr && compositor->state() != QProcess::NotRunning) {
      compositor->terminate();
      if (!compositor->waitForFinished(5000)) compositor->kill();
      compositor->waitForFinished(5000);
    }
    if (!runtime.isEmpty()) QDir(runtime).removeRecursively();
  }

  QString GrabCommand(const QString& file) const {
    QString command;
    for (const QString& word : asUser) command += word + " ";
    return command + "env XDG_RUNTIME_DIR=" + runtime + " WAYLAND_DISPLAY=wayland-1 grim " + file;
  }

  QString runtime;
  QStringList asUser;
  std::unique_ptr<QProcess> compositor;
};

TEST_F(WaylandLane, TheWholePictureShowsWithTheTimingPanelBesideItAndExitDelivers) {
  QProcessEnvironment environment;
  environment.insert("PATH", qEnvironmentVariable("PATH"));
  for (const std::string& entry : PrivateEnvironment("document")) {
    const size_t equals = entry.find('=');
    environment.insert(QString::fromStdString(entry.substr(0, equals)),
                       QString::fromStdString(entry.substr(equals + 1)));
  }
  // The sanitized build's settings reach the window as they reach every
  // other program the tests start.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
    if (qEnvironmentVariableIsSet(name)) environment.insert(name, qEnvironmentVariable(name));
  }
  environment.insert("QT_QPA_PLATFORM", "wayland");
  // The window's runtime folder stays its own; the compositor's socket is
  // named by its whole path.
  environment.insert("WAYLAND_DISPLAY", runtime + "/wayland-1");
  environment.insert("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
  // The grab is taken where the compositor's user may write.
  const QString first = runtime + "/first.png";
  const QString running = runtime + "/running.png";
  QProcess session;
  session.setProcessEnvironment(environment);
  session.setProcessChannelMode(QProcess::MergedChannels);
  session.start(
      "dbus-run-session",
      {"--", "sh", "-c",
       "\"$0\" --mode 0 --output \"$1\" --timeout 90 & scan=$!; /usr/bin/python3 \"$2\" "
       "wait=4 \"run=$3\" press=Start wait=3 \"run=$4\" press=Capture wait=3 "
       "press=Exit; status=$?; wait $scan; exit $((status * 10 + $?))",
       Bin("tavrin-scan"), Path("out"), QStringLiteral(TAVRIN_XSERVER_SOURCE "/atspi_press.py"),
       GrabCommand(first), GrabCommand(running)});
  ASSERT_TRUE(session.waitForStarted(5000));
  const bool finished = session.waitForFinished(120000);
  const std::string said = session.readAll().toStdString();
  std::cout << said;
  ASSERT_TRUE(finished) << said;
  // The steps all done (0) and the scan delivered (0).
  EXPECT_EQ(session.exitCode(), 0) << said;
  // The page captured, and one the timed run may have taken meanwhile.
  EXPECT_GE(QDir(Path("out")).entryList(QDir::Files).size(), 1);

  // The live picture, the desk with the page on it, shows whole: as wide as
  // the frame's 4:3 shape makes it, in the first frames and with the
  // continuous-capture panel up.
  for (const QString& file : {first, running}) {
    const QImage grab(file);
    ASSERT_FALSE(grab.isNull()) << file.toStdString();
    const QString folder = qEnvironmentVariable("TAVRIN_XSERVER_SHOTS");
    if (!folder.isEmpty()) grab.save(folder + "/wayland-" + QFileInfo(file).fileName());
    QRect desk;
    for (int y = 0; y < grab.height(); y += 2) {
      for (int x = 0; x < grab.width(); x += 2) {
        if (IsDesk(grab.pixel(x, y))) desk |= QRect(x, y, 1, 1);
      }
    }
    ASSERT_FALSE(desk.isEmpty()) << file.toStdString();
    const double shape = static_cast<double>(desk.width()) / desk.height();
    EXPECT_NEAR(shape, 4.0 / 3.0, 0.08)
        << file.toStdString() << ": " << desk.width() << "x" << desk.height();
  }
}

}  // namespace
}  // namespace tavrin
