// What the tests of the scanner backend share: a private copy of the
// program folder with the backend installed for the dll backend of the
// real SANE clients, no display, virtual cameras, and the clients started
// as processes of their own with their output in files.
#pragma once

#include <gtest/gtest.h>
#include <sane/sane.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QStandardPaths>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dslink/copied_data.h"
#include "dslink/shared_message_channel.h"
#include "platform/dynamic_library.h"
#include "platform/local_socket.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "tests/support/program_copy_test.h"
#include "tests/support/wait.h"

namespace tavrin::sanetest {

using test::WaitFor;

using Clock = std::chrono::steady_clock;

inline constexpr int kRunTimeoutMs = 90000;
inline constexpr char kScanimage[] = "/usr/bin/scanimage";
inline constexpr char kDevice[] = "tavrin:Virtual Document Camera";

using test::MeanGrey;

inline std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

inline double MeanDifference(const QImage& a, const QImage& b) {
  const QImage greyA = a.convertToFormat(QImage::Format_Grayscale8);
  const QImage greyB = b.convertToFormat(QImage::Format_Grayscale8);
  double sum = 0;
  for (int y = 0; y < greyA.height(); ++y) {
    const uchar* lineA = greyA.constScanLine(y);
    const uchar* lineB = greyB.constScanLine(y);
    for (int x = 0; x < greyA.width(); ++x) sum += std::abs(lineA[x] - lineB[x]);
  }
  return sum / (static_cast<double>(greyA.width()) * greyA.height());
}

// Bit depth and colour type from a PNG's IHDR.
struct PngHeader {
  int bitDepth = -1;
  int colorType = -1;
};
inline PngHeader ReadPngHeader(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QByteArray head = file.read(26);
  if (head.size() < 26 || !head.startsWith("\x89PNG")) return {};
  return {static_cast<uchar>(head[24]), static_cast<uchar>(head[25])};
}

// The scan window processes started from our private program folder.
inline std::vector<int> WindowProcesses(const QString& program) {
  std::vector<int> pids;
  const QString wanted = QFileInfo(program).canonicalFilePath();
  for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
    bool number = false;
    const int pid = entry.toInt(&number);
    if (!number) continue;
    if (QFileInfo("/proc/" + entry + "/exe").symLinkTarget() == wanted) pids.push_back(pid);
  }
  return pids;
}

// The backend's entry points, as a loader binds them.
struct Backend {
  decltype(&sane_init) init = nullptr;
  decltype(&sane_exit) exit = nullptr;
  decltype(&sane_get_devices) getDevices = nullptr;
  decltype(&sane_open) open = nullptr;
  decltype(&sane_close) close = nullptr;
  decltype(&sane_get_option_descriptor) descriptor = nullptr;
  decltype(&sane_control_option) control = nullptr;
  decltype(&sane_get_parameters) parameters = nullptr;
  decltype(&sane_start) start = nullptr;
  decltype(&sane_read) read = nullptr;
  decltype(&sane_cancel) cancel = nullptr;
  decltype(&sane_set_io_mode) setIoMode = nullptr;
  decltype(&sane_get_select_fd) selectFd = nullptr;
};

class Scanimage : public test::ProgramCopyTest {
 protected:
  Scanimage() : ProgramCopyTest("tavrin-sane") {}

  void SetUp() override {
    if (!QFileInfo(kScanimage).isExecutable())
      GTEST_SKIP() << "scanimage is not installed (Debian package sane-utils; scripts/setup)";
    ASSERT_NO_FATAL_FAILURE(
        CopyProgramFolder(QStringLiteral(TAVRIN_PROGRAM_FOLDER),
                          {"TavrinDesk", "libTavrinLens.so", "TavrinSource.ds", "tavrin-cameras"}));
    for (const char* folder : {"sane", "sane.d"}) ASSERT_TRUE(QDir(root.path()).mkpath(folder));
    ASSERT_TRUE(QFile::copy(QStringLiteral(TAVRIN_SANE_BACKEND), Path("sane/libsane-tavrin.so.1")));
    WriteFile("sane.d/dll.conf", "tavrin\n");
    WriteFile("sane.d/tavrin.conf", "# the private program folder\n" + Path("bin").toUtf8() + "\n");
  }

  void TearDown() override {
    // A window left behind would hold the test's folders.
    for (int pid : WindowProcesses(Bin("TavrinDesk"))) {
      ADD_FAILURE() << "a scan window is still running: " << pid;
      ::kill(pid, SIGKILL);
    }
    if (xServer != nullptr) {
      xServer->kill();
      xServer->waitForFinished(5000);
    }
  }

  // A display for the source that needs a person at the window: Xvfb on a
  // number it picks itself and writes out once it accepts connections.
  void StartDisplay() {
    if (QStandardPaths::findExecutable("Xvfb").isEmpty())
      GTEST_SKIP() << "Xvfb is not installed (scripts/setup)";
    xServer = std::make_unique<QProcess>();
    xServer->start(
        "Xvfb", {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"});
    QByteArray announced;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    // A busy machine may keep Xvfb quiet for more than one wait.
    while (!announced.contains('\n') && Clock::now() < deadline &&
           xServer->state() != QProcess::NotRunning) {
      if (xServer->waitForReadyRead(1000)) announced += xServer->readAllStandardOutput();
    }
    bool number = false;
    announced.trimmed().toInt(&number);
    ASSERT_TRUE(number) << "Xvfb did not start: " << announced.toStdString();
    display = ":" + announced.trimmed().toStdString();
  }

  void WriteFile(const QString& name, const QByteArray& bytes) {
    QFile file(Path(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
  }
  // saned on the loopback address with our backend (server.d), and
  // scanimage's net backend pointed at it (client.d); false when saned or
  // unshare is missing.
  bool SetUpSaned() {
    if (!QFileInfo("/usr/sbin/saned").isExecutable() || !QFileInfo("/usr/bin/unshare").exists())
      return false;
    EXPECT_TRUE(QDir(root.path()).mkpath("server.d"));
    EXPECT_TRUE(QDir(root.path()).mkpath("client.d"));
    WriteFile("server.d/dll.conf", "tavrin\n");
    WriteFile("server.d/tavrin.conf", Path("bin").toUtf8() + "\n");
    WriteFile("server.d/saned.conf", "127.0.0.1\n");
    WriteFile("client.d/dll.conf", "net\n");
    WriteFile("client.d/net.conf", "connect_timeout = 10\n127.0.0.1\n");
    return true;
  }
  QString ReadText(const QString& name) const {
    QFile file(Path(name));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
  }

  // No display (unless StartDisplay gave one), and no platform chosen: the
  // backend must run the window on the offscreen platform by itself, as
  // under ssh or a network daemon.
  std::vector<std::string> Environment() const {
    std::vector<std::string> entries;
    for (std::string& entry : PrivateEnvironment(camera)) {
      if (entry.rfind("QT_QPA_PLATFORM=", 0) != 0) entries.push_back(std::move(entry));
    }
    for (const char* unset : {"WAYLAND_DISPLAY=", "QT_LOGGING_RULES="}) entries.push_back(unset);
    entries.push_back(display.empty() ? "QT_QPA_PLATFORM=" : "QT_QPA_PLATFORM=xcb");
    entries.push_back("DISPLAY=" + display);
    entries.push_back("SANE_CONFIG_DIR=" + Path("sane.d").toStdString());
    entries.push_back("LD_LIBRARY_PATH=" + Path("sane").toStdString());
#ifdef TAVRIN_SANE_PRELOAD
    entries.push_back("LD_PRELOAD=" TAVRIN_SANE_PRELOAD);
    entries.push_back("ASAN_OPTIONS=detect_leaks=0");
#endif
    return entries;
  }

  // Starts scanimage with its output and errors in files; the process id.
  int Start(const std::vector<std::string>& args, const QString& output = "scanimage.out",
            const QString& errors = "scanimage.err") {
    return StartProgram(kScanimage, args, Environment(), output, errors);
  }

  // Any program, with the given environment added to this process's.
  int StartProgram(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& environment, const QString& output,
                   const QString& errors) {
    std::string command = "exec " + Quote(program);
    for (const std::string& arg : args) command += " " + Quote(arg);
    command += " >" + Quote(Path(output).toStdString()) + " 2>" + Quote(Path(errors).toStdString());
    std::string error;
    const int pid = platform::SpawnProcess("/bin/sh", {"-c", command}, environment, &error);
    EXPECT_GT(pid, 0) << error;
    return pid;
  }

  bool WindowGone(int timeoutMs = 10000) {
    return test::WaitFor([&] { return WindowProcesses(Bin("TavrinDesk")).empty(); }, timeoutMs, 50);
  }

  // Exit status of scanimage, -1 when it did not end in time.
  int Wait(int pid, int timeoutMs = kRunTimeoutMs) {
    if (pid <= 0) return -1;
    int status = -1;
    if (!platform::WaitProcess(pid, timeoutMs, &status)) {
      ::kill(pid, SIGKILL);
      platform::WaitProcess(pid, 2000, nullptr);
      return -1;
    }
    return status;
  }

  int Run(const std::vector<std::string>& args, const QString& output = "scanimage.out") {
    return Wait(Start(args, output));
  }

  std::string Errors() const {
    return ReadText("scanimage.err").toStdString();
  }

  // The files the window wrote into its working folder, oldest first.
  QStringList WindowFiles() const {
    return QDir(PrivateTemp("Tavrin")).entryList(QDir::Files, QDir::Time | QDir::Reversed);
  }

  // The window's copied-data socket, where a person at the window is played.
  QString SocketPath() const {
    return PrivateTemp(QString::fromStdString(CopiedDataSocketName()));
  }

  // Sends the window one copied-data record per code, as its buttons do.
  void Send(std::initializer_list<int32_t> codes) {
    std::string records;
    for (int32_t code : codes) {
      ChannelBlock block;
      block.code = code;
      records += EncodeCopiedDataRecord(
          kCopyDataMessageId,
          std::string_view(reinterpret_cast<const char*>(&block), sizeof(block)));
    }
    std::string error;
    ASSERT_TRUE(platform::SendToLocalSocket(SocketPath().toStdString(), records.data(),
                                            records.size(), 5000, &error))
        << error;
  }

  std::string camera = "document";
  std::unique_ptr<QProcess> xServer;
  std::string display;  // none unless StartDisplay
};

}  // namespace tavrin::sanetest
