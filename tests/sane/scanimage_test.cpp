// The backend as the scanning applications meet it: Debian's scanimage
// loads it through the dll backend from a private SANE_CONFIG_DIR that
// names only tavrin, and it drives the real TavrinDesk with the real camera
// library and a virtual document camera, offscreen, from a private copy of
// the program folder with its own HOME and TMPDIR. The pages scanimage
// writes are decoded and compared with the files the window delivered.
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

#include <chrono>
#include <cmath>
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

namespace tavrin {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRunTimeoutMs = 90000;
const char kScanimage[] = "/usr/bin/scanimage";
const char kDevice[] = "tavrin:Virtual Document Camera";

using test::MeanGrey;

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

double MeanDifference(const QImage& a, const QImage& b) {
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
PngHeader ReadPngHeader(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QByteArray head = file.read(26);
  if (head.size() < 26 || !head.startsWith("\x89PNG")) return {};
  return {static_cast<uchar>(head[24]), static_cast<uchar>(head[25])};
}

// The scan window processes started from our private program folder.
std::vector<int> WindowProcesses(const QString& program) {
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
  }

  void WriteFile(const QString& name, const QByteArray& bytes) {
    QFile file(Path(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
  }
  QString ReadText(const QString& name) const {
    QFile file(Path(name));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
  }

  std::vector<std::string> Environment() const {
    std::vector<std::string> entries = PrivateEnvironment(camera);
    entries.push_back("SANE_CONFIG_DIR=" + Path("sane.d").toStdString());
    entries.push_back("LD_LIBRARY_PATH=" + Path("sane").toStdString());
#ifdef TAVRIN_SANE_PRELOAD
    entries.push_back("LD_PRELOAD=" TAVRIN_SANE_PRELOAD);
    entries.push_back("ASAN_OPTIONS=detect_leaks=0");
#endif
    return entries;
  }

  // Starts scanimage with its output and errors in files; the process id.
  int Start(const std::vector<std::string>& args, const QString& output = "scanimage.out") {
    std::string command = "exec " + Quote(kScanimage);
    for (const std::string& arg : args) command += " " + Quote(arg);
    command += " >" + Quote(Path(output).toStdString()) + " 2>" +
               Quote(Path("scanimage.err").toStdString());
    std::string error;
    const int pid = platform::SpawnProcess("/bin/sh", {"-c", command}, Environment(), &error);
    EXPECT_GT(pid, 0) << error;
    return pid;
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
    return QDir(Path("tmp/Tavrin")).entryList(QDir::Files, QDir::Time | QDir::Reversed);
  }

  std::string camera = "document";
};

TEST_F(Scanimage, ListsTheWindowsCameraAsADocumentCamera) {
  ASSERT_EQ(Run({"-L"}), 0) << Errors();
  EXPECT_EQ(ReadText("scanimage.out").trimmed().toStdString(),
            "device `tavrin:Virtual Document Camera' is a TavrinDesk Virtual Document Camera "
            "document camera");

  // Without a camera there is no device, rather than one that cannot scan.
  camera = "";
  ASSERT_EQ(Run({"-L"}), 0) << Errors();
  EXPECT_FALSE(ReadText("scanimage.out").contains("tavrin:"))
      << ReadText("scanimage.out").toStdString();
}

TEST_F(Scanimage, GreyPngOfTheCroppedPageAt300Dpi) {
  ASSERT_EQ(Run({"-d", kDevice, "--resolution", "300", "--mode", "Gray", "--format=png", "-o",
                 Path("out/page.png").toStdString()}),
            0)
      << Errors();
  const PngHeader header = ReadPngHeader(Path("out/page.png"));
  EXPECT_EQ(header.bitDepth, 8);
  EXPECT_EQ(header.colorType, 0);  // grey
  const QImage page(Path("out/page.png"));
  ASSERT_FALSE(page.isNull());
  // The page alone: a portrait sheet, bright, without the desk round it.
  EXPECT_GT(page.height(), page.width());
  EXPECT_GT(MeanGrey(page), 150.0);
  EXPECT_NEAR(page.dotsPerMeterX() * 0.0254, 300.0, 1.0);
  const double widthMm = page.width() / 300.0 * 25.4;
  EXPECT_GT(widthMm, 120.0);
  EXPECT_LT(widthMm, 300.0);

  // Pixel for pixel the file the window delivered, and it was asked for grey.
  const QStringList files = WindowFiles();
  ASSERT_EQ(files.size(), 1) << files.join(' ').toStdString();
  QImageReader reader(Path("tmp/Tavrin/") + files.front());
  const QImage delivered = reader.read();
  ASSERT_FALSE(delivered.isNull()) << reader.errorString().toStdString();
  EXPECT_TRUE(delivered.isGrayscale());
  ASSERT_EQ(delivered.size(), page.size());
  EXPECT_LT(MeanDifference(delivered, page), 0.5);
}

TEST_F(Scanimage, LineartIsOneBitAndColourAt100DpiIsRgb) {
  ASSERT_EQ(Run({"-d", kDevice, "--mode", "Lineart", "--resolution", "200", "--format=png", "-o",
                 Path("out/line.png").toStdString()}),
            0)
      << Errors();
  const PngHeader line = ReadPngHeader(Path("out/line.png"));
  EXPECT_EQ(line.bitDepth, 1);
  EXPECT_EQ(line.colorType, 0);
  const QImage lineart(Path("out/line.png"));
  ASSERT_FALSE(lineart.isNull());
  // A white sheet with black print: mostly white, but not blank.
  const double mean = MeanGrey(lineart);
  EXPECT_GT(mean, 150.0);
  EXPECT_LT(mean, 254.5);

  ASSERT_EQ(Run({"-d", kDevice, "--mode", "Color", "--resolution", "100", "--format=png", "-o",
                 Path("out/colour.png").toStdString()}),
            0)
      << Errors();
  const PngHeader colour = ReadPngHeader(Path("out/colour.png"));
  EXPECT_EQ(colour.bitDepth, 8);
  EXPECT_EQ(colour.colorType, 2);  // RGB
  const QImage small(Path("out/colour.png"));
  ASSERT_FALSE(small.isNull());
  // The same sheet at half the resolution is half as many pixels across.
  EXPECT_NEAR(static_cast<double>(lineart.width()) / small.width(), 2.0, 0.1);
  EXPECT_NEAR(static_cast<double>(lineart.height()) / small.height(), 2.0, 0.1);
}

TEST_F(Scanimage, SelfTestPasses) {
  ASSERT_EQ(Run({"-d", kDevice, "-T"}), 0) << Errors();
  const std::string errors = Errors();
  EXPECT_NE(errors.find("PASS"), std::string::npos) << errors;
  EXPECT_EQ(errors.find("FAIL"), std::string::npos) << errors;
}

TEST_F(Scanimage, InterruptWhileThePersonIsAtTheWindowEndsTheWindow) {
  const int pid = Start({"-d", kDevice, "--source", "Camera (interactive)", "--format=png", "-o",
                         Path("out/never.png").toStdString()});
  ASSERT_GT(pid, 0);
  const auto shownBy = Clock::now() + std::chrono::seconds(30);
  while (WindowProcesses(Bin("TavrinDesk")).empty() && Clock::now() < shownBy)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_FALSE(WindowProcesses(Bin("TavrinDesk")).empty()) << Errors();
  // scanimage cancels on its first interrupt.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  ::kill(pid, SIGINT);
  const int status = Wait(pid, 20000);
  EXPECT_NE(status, -1) << "scanimage did not end after the interrupt";
  EXPECT_NE(status, 0);
  const auto goneBy = Clock::now() + std::chrono::seconds(10);
  while (!WindowProcesses(Bin("TavrinDesk")).empty() && Clock::now() < goneBy)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(WindowProcesses(Bin("TavrinDesk")).empty());
  EXPECT_NE(Errors().find("sane_start: Operation was canceled"), std::string::npos) << Errors();
}

// The person at the window, played through its copied-data socket.
class InteractiveScan : public Scanimage {
 protected:
  QString SocketPath() const {
    return Path("tmp/") + QString::fromStdString(CopiedDataSocketName());
  }

  // Waits until the window listens and has taken the backend's request.
  void WaitForTheWindow() {
    const auto by = Clock::now() + std::chrono::seconds(30);
    while (!QFileInfo::exists(SocketPath()) && Clock::now() < by)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(QFileInfo::exists(SocketPath())) << Errors();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  }

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

  // Mode 3 captures at each request and, like a person's captures in mode
  // 0, keeps the files for the list sent when the window closes.
  void CaptureOnRequest() {
    WriteFile("home/Documents/DSConfig/ShowModel.xml",
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<cfg><ShowMode>3</ShowMode>"
              "<ColorType>1</ColorType><RotateMode>0</RotateMode><DPIMode>300</DPIMode></cfg>\r\n");
  }

  QStringList ListedFiles() const {
    const QString list = ReadText("home/Documents/DSConfig/FileList.xml");
    QStringList files;
    qsizetype at = 0;
    while ((at = list.indexOf("<FileName>", at)) >= 0) {
      at += 10;
      files << list.mid(at, list.indexOf("</FileName>", at) - at);
    }
    return files;
  }
};

TEST_F(InteractiveScan, PagesCapturedAtTheWindowArriveAsAFeedersBatch) {
  const int pid = Start({"-d", kDevice, "--source", "Camera (interactive)", "--mode", "Gray",
                         "--format=png", "--batch=" + Path("out/p%d.png").toStdString()});
  ASSERT_GT(pid, 0);
  WaitForTheWindow();
  CaptureOnRequest();
  Send({206, 206});
  const auto by = Clock::now() + std::chrono::seconds(30);
  while (WindowFiles().size() < 2 && Clock::now() < by)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_GE(WindowFiles().size(), 2) << Errors();
  Send({205});
  ASSERT_EQ(Wait(pid), 0) << Errors();

  const QStringList listed = ListedFiles();
  ASSERT_GE(listed.size(), 2);
  const QStringList pages = QDir(Path("out")).entryList({"p*.png"}, QDir::Files, QDir::Name);
  ASSERT_EQ(pages.size(), listed.size()) << pages.join(' ').toStdString();
  EXPECT_NE(Errors().find("Batch terminated, " + std::to_string(listed.size()) + " pages scanned"),
            std::string::npos)
      << Errors();
  // In the order of the list, each page is the file the window captured.
  for (int i = 0; i < listed.size(); ++i) {
    const QImage page(Path("out/p%1.png").arg(i + 1));
    const QImage captured(listed[i]);
    ASSERT_FALSE(page.isNull()) << i;
    ASSERT_FALSE(captured.isNull()) << listed[i].toStdString();
    EXPECT_EQ(ReadPngHeader(Path("out/p%1.png").arg(i + 1)).colorType, 0);
    ASSERT_EQ(page.size(), captured.size()) << i;
    EXPECT_LT(MeanDifference(page, captured), 0.5) << i;
  }
}

TEST_F(InteractiveScan, AWindowClosedWithoutPagesIsAnEmptyFeeder) {
  const int pid = Start({"-d", kDevice, "--source", "Camera (interactive)", "--format=png",
                         "--batch=" + Path("out/p%d.png").toStdString()});
  ASSERT_GT(pid, 0);
  WaitForTheWindow();
  Send({205});
  const int status = Wait(pid, 30000);
  EXPECT_NE(status, -1);
  EXPECT_NE(Errors().find("Document feeder out of documents"), std::string::npos) << Errors();
  EXPECT_TRUE(QDir(Path("out")).entryList(QDir::Files).isEmpty());
  const auto goneBy = Clock::now() + std::chrono::seconds(10);
  while (!WindowProcesses(Bin("TavrinDesk")).empty() && Clock::now() < goneBy)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(WindowProcesses(Bin("TavrinDesk")).empty());
}

// As a GUI frontend does it: cancel after a page and keep the handle.
TEST_F(Scanimage, ACancelEndsTheHiddenWindowWhileTheHandleStaysOpen) {
  ASSERT_NO_FATAL_FAILURE(test::SetEnvironmentOf(Environment()));
  // The private copy, so this process holds its own instance of it.
  void* module = platform::LoadLibraryFile(Path("sane/libsane-tavrin.so.1").toStdString());
  ASSERT_NE(module, nullptr) << platform::LastLibraryError();
  auto bind = [&](const char* name) { return platform::FindLibrarySymbol(module, name); };
  auto init = reinterpret_cast<decltype(&sane_init)>(bind("sane_tavrin_init"));
  auto exit = reinterpret_cast<decltype(&sane_exit)>(bind("sane_tavrin_exit"));
  auto open = reinterpret_cast<decltype(&sane_open)>(bind("sane_tavrin_open"));
  auto close = reinterpret_cast<decltype(&sane_close)>(bind("sane_tavrin_close"));
  auto start = reinterpret_cast<decltype(&sane_start)>(bind("sane_tavrin_start"));
  auto parameters =
      reinterpret_cast<decltype(&sane_get_parameters)>(bind("sane_tavrin_get_parameters"));
  auto read = reinterpret_cast<decltype(&sane_read)>(bind("sane_tavrin_read"));
  auto cancel = reinterpret_cast<decltype(&sane_cancel)>(bind("sane_tavrin_cancel"));
  ASSERT_TRUE(init && exit && open && close && start && parameters && read && cancel);

  ASSERT_EQ(init(nullptr, nullptr), SANE_STATUS_GOOD);
  SANE_Handle handle = nullptr;
  ASSERT_EQ(open("", &handle), SANE_STATUS_GOOD);
  ASSERT_EQ(start(handle), SANE_STATUS_GOOD);
  EXPECT_EQ(WindowProcesses(Bin("TavrinDesk")).size(), 1u);
  std::vector<SANE_Byte> buffer(65536);
  SANE_Int length = 0;
  ASSERT_EQ(read(handle, buffer.data(), static_cast<SANE_Int>(buffer.size()), &length),
            SANE_STATUS_GOOD);
  EXPECT_GT(length, 0);

  cancel(handle);
  EXPECT_EQ(read(handle, buffer.data(), static_cast<SANE_Int>(buffer.size()), &length),
            SANE_STATUS_CANCELLED);
  const auto goneBy = Clock::now() + std::chrono::seconds(10);
  while (!WindowProcesses(Bin("TavrinDesk")).empty() && Clock::now() < goneBy)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(WindowProcesses(Bin("TavrinDesk")).empty()) << "the camera would stay in use";

  // The next scan starts the window again and streams the whole page.
  ASSERT_EQ(start(handle), SANE_STATUS_GOOD);
  SANE_Parameters page{};
  ASSERT_EQ(parameters(handle, &page), SANE_STATUS_GOOD);
  long total = 0;
  SANE_Status status = SANE_STATUS_GOOD;
  while ((status = read(handle, buffer.data(), static_cast<SANE_Int>(buffer.size()), &length)) ==
         SANE_STATUS_GOOD)
    total += length;
  EXPECT_EQ(status, SANE_STATUS_EOF);
  EXPECT_EQ(total, static_cast<long>(page.bytes_per_line) * page.lines);
  cancel(handle);
  close(handle);
  exit();
  EXPECT_TRUE(WindowProcesses(Bin("TavrinDesk")).empty());
}

TEST_F(Scanimage, AWrongProgramFolderIsNamedInTheError) {
  WriteFile("sane.d/tavrin.conf", Path("nowhere").toUtf8() + "\n");
  ASSERT_EQ(Run({"-L"}), 0) << Errors();
  EXPECT_FALSE(ReadText("scanimage.out").contains("tavrin:"));
  EXPECT_NE(Errors().find("[tavrin] no camera list program at " + Path("nowhere").toStdString() +
                          "/tavrin-cameras"),
            std::string::npos)
      << Errors();
  EXPECT_NE(Run({"-d", kDevice, "--format=png", "-o", Path("out/none.png").toStdString()}), 0);
  EXPECT_TRUE(WindowFiles().isEmpty());
}

}  // namespace
}  // namespace tavrin
