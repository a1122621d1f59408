// Scanning end to end: tavrin-scan and TavrinSource.ds drive the real
// TavrinDesk with the real camera library and a virtual document camera,
// offscreen, in a private copy of the program folder with its own HOME and
// TMPDIR. The delivered files are decoded and looked at.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "TavrinSource.h"
#include "datasource/client/source_api.h"
#include "dslink/copied_data.h"
#include "dslink/shared_message_channel.h"
#include "dslink/twain_control.h"
#include "platform/dynamic_library.h"
#include "platform/files.h"
#include "platform/local_socket.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "tests/support/program_copy_test.h"
#include "tests/support/wait.h"

namespace tavrin {
namespace {

constexpr int kScanTimeoutMs = 60000;

using test::MeanGrey;
using test::WaitFor;

class ScanEndToEnd : public test::ProgramCopyTest {
 protected:
  ScanEndToEnd() : ProgramCopyTest("tavrin-e2e") {}

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(
        CopyProgramFolder(QStringLiteral(TAVRIN_PROGRAM_FOLDER),
                          {"TavrinDesk", "libTavrinLens.so", "TavrinSource.ds", "tavrin-scan"}));
  }

  std::vector<std::string> Environment() const {
    std::vector<std::string> entries = PrivateEnvironment(cameras);
    entries.push_back("TAVRIN_DESK_TRACE=" + Path("trace.txt").toStdString());
    for (const std::string& extra : extraEnvironment) {
      const std::string name = extra.substr(0, extra.find('=') + 1);
      std::erase_if(entries, [&](const std::string& entry) { return entry.rfind(name, 0) == 0; });
      entries.push_back(extra);
    }
    return entries;
  }

  // The recorded camera of a file in tests/data/v4l2 instead of the
  // virtual ones.
  void UseRecordedCamera(const std::string& recording) {
    cameras = "";
    extraEnvironment = {"TAVRIN_LENS_V4L2=1", std::string("TAVRIN_LENS_V4L2_REPLAY=") +
                                                  TAVRIN_V4L2_DATA + "/" + recording};
  }

  // The window's shows and hides, one per line.
  QStringList Trace() const {
    QFile file(Path("trace.txt"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
  }

  // Exit status of tavrin-scan, -1 when it did not end in time. Its
  // standard error, with the window's, goes to errors.txt.
  int Scan(std::vector<std::string> args) {
    args.insert(args.end(), {"--output", Path("out").toStdString(), "--timeout", "50"});
    args.insert(args.begin(), {"-c", shellPrefix + "exec \"$0\" \"$@\" 2>\"$ERRORS\"",
                               Bin("tavrin-scan").toStdString()});
    std::vector<std::string> env = Environment();
    env.push_back("ERRORS=" + Path("errors.txt").toStdString());
    std::string error;
    const int pid = platform::SpawnProcess("/bin/sh", args, env, &error);
    EXPECT_GT(pid, 0) << error;
    if (pid <= 0) return -1;
    int status = -1;
    if (!platform::WaitProcess(pid, kScanTimeoutMs, &status)) {
      platform::KillProcess(pid);
      platform::WaitProcess(pid, 1000, nullptr);
      return -1;
    }
    return status;
  }

  QString Errors() const {
    QFile file(Path("errors.txt"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
  }

  // tavrin-scan started in the background, its standard error into
  // errors.txt and its output into output.txt; the process id is
  // tavrin-scan's own.
  int StartScan(std::vector<std::string> args) {
    args.insert(args.end(), {"--output", Path("out").toStdString()});
    args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" 2>\"$ERRORS\" >\"$OUTPUT\"",
                               Bin("tavrin-scan").toStdString()});
    std::vector<std::string> env = Environment();
    env.push_back("ERRORS=" + Path("errors.txt").toStdString());
    env.push_back("OUTPUT=" + Path("output.txt").toStdString());
    std::string error;
    const int pid = platform::SpawnProcess("/bin/sh", args, env, &error);
    EXPECT_GT(pid, 0) << error;
    return pid;
  }

  // The scan window the data source started in process parent; 0 while none.
  static int WindowOf(int parent) {
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(parent));
    if (!children.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& child : children.readAll().split(' ')) {
      QFile name(QStringLiteral("/proc/%1/comm").arg(QString::fromLatin1(child)));
      if (name.open(QIODevice::ReadOnly) && name.readAll().trimmed() == "TavrinDesk")
        return child.toInt();
    }
    return 0;
  }
  static bool Gone(int pid) { return !QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)); }

  // Captured pages anywhere under the private temporary folder: the
  // working folder, kept sessions, one-by-one copies.
  QStringList PagesInTemp() const {
    QStringList pages;
    QDirIterator it(Path("tmp"), {"*.jpg", "*.png", "*.bmp"}, QDir::Files | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) pages << it.next();
    return pages;
  }

  QStringList Delivered() const { return QDir(Path("out")).entryList(QDir::Files, QDir::Name); }

  // A LastSetting.xml the window must leave alone or replace.
  void WriteSettings(const QByteArray& bytes) {
    QFile file(Bin("LastSetting.xml"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
  }
  QByteArray ReadSettings() const {
    QFile file(Bin("LastSetting.xml"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }

  std::string cameras = "document";
  // Shell commands run before tavrin-scan (limits for it and its window).
  std::string shellPrefix;
  std::vector<std::string> extraEnvironment;
};

const QByteArray kSettings =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Setting><cutType>1</cutType>"
    "<fileType>1</fileType><colorType>2</colorType></Setting>\n";

TEST_F(ScanEndToEnd, ModeOneDeliversThreeCroppedJpegsAndLeavesTheSettingsAlone) {
  WriteSettings(kSettings);
  ASSERT_EQ(Scan({"--mode", "1", "--count", "3"}), 0);

  const QStringList files = Delivered();
  ASSERT_EQ(files.size(), 3) << files.join(' ').toStdString();
  for (const QString& name : files) {
    QImageReader reader(Path("out/") + name);
    EXPECT_EQ(reader.format(), "jpeg") << name.toStdString();
    const QImage image = reader.read();
    ASSERT_FALSE(image.isNull()) << name.toStdString() << ": "
                                 << reader.errorString().toStdString();
    // The page alone: portrait like a sheet, not the camera's landscape
    // frame, and bright, without the darker desk around it.
    EXPECT_GT(image.height(), image.width()) << name.toStdString();
    EXPECT_GT(image.width(), 200);
    EXPECT_GT(MeanGrey(image), 150.0) << name.toStdString();
  }
  // Settings changed by the request are not saved in mode 1.
  EXPECT_EQ(ReadSettings(), kSettings);
  // Nobody was to see the window.
  EXPECT_FALSE(Trace().contains("show")) << Trace().join(' ').toStdString();
}

// The data source's own API, loaded from each test's private program folder
// (the clients' loader keeps to one folder a process), so that a test can
// send what tavrin-scan never does.
struct PrivateSourceApi : SourceApi {
  bool Load(const std::string& path) {
    void* module = platform::LoadLibraryFile(path);
    return module != nullptr && BindSourceApi(module, *this);
  }
};

// Sessions of the data source in this process, against a window that
// inherits this process's environment.
class SourceEndToEnd : public ScanEndToEnd {
 protected:
  void SetUp() override {
    ScanEndToEnd::SetUp();
    ASSERT_NO_FATAL_FAILURE(test::SetEnvironmentOf(Environment()));
    ASSERT_TRUE(api.Load(Bin("TavrinSource.ds").toStdString())) << platform::LastLibraryError();
  }
  void TearDown() override {
    if (session != nullptr) api.close(session, 5000);
  }

  // Re-reads the camera list: the environment is set at SetUp.
  void UseCameras(const std::string& list) {
    cameras = list;
    platform::SetEnvironment("TAVRIN_LENS_VIRTUAL", list);
  }

  struct Events {
    std::vector<std::string> files;
    int last = TS_EVENT_TIMEOUT;
  };
  // Files until the next event that is not one.
  Events Collect(int timeoutMs) {
    Events events;
    char path[1024] = {};
    do {
      events.last = api.nextEvent(session, timeoutMs, path, sizeof(path));
      if (events.last == TS_EVENT_FILE) events.files.emplace_back(path);
    } while (events.last == TS_EVENT_FILE);
    return events;
  }
  bool WaitForWindowEnd(int timeoutMs) {
    return WaitFor([&] { return !api.windowRunning(session); }, timeoutMs, 20);
  }
  QString ShowModelPath() const { return Path("home/Documents/DSConfig/ShowModel.xml"); }

  PrivateSourceApi api;
  TavrinSession* session = nullptr;
};

TEST_F(SourceEndToEnd, ModeZeroClosedBy205CapturesNothingAndSavesTheSettings) {
  ASSERT_EQ(api.open(&session, 0, 0, 0, 0, 20000), TS_OK) << api.lastError(session);
  ASSERT_EQ(api.send(session, TS_MSG_CLOSE, 10000), TS_OK) << api.lastError(session);

  const Events events = Collect(20000);
  EXPECT_EQ(events.last, TS_EVENT_FINISHED) << api.lastError(session);
  EXPECT_TRUE(events.files.empty());
  EXPECT_TRUE(WaitForWindowEnd(10000));

  EXPECT_TRUE(QFileInfo::exists(Bin("LastSetting.xml")));
  EXPECT_NE(ReadSettings().indexOf("<cutType>"), -1);
  // Nothing was captured into the working folder.
  EXPECT_TRUE(QDir(PrivateTemp("Tavrin")).entryList(QDir::Files).isEmpty());
}

TEST_F(SourceEndToEnd, CopiedData205ClosesLikeTheChannelAndOtherIdentifiersDoNothing) {
  ASSERT_EQ(api.open(&session, 0, 0, 0, 0, 20000), TS_OK) << api.lastError(session);
  const std::string socketPath = PrivateTemp().toStdString() + CopiedDataSocketName();
  // The window listens once its start-up is complete, a little after it
  // attached to the channel.
  ASSERT_TRUE(
      WaitFor([&] { return QFileInfo::exists(QString::fromStdString(socketPath)); }, 5000, 20));

  // The same message under another identifier, and a 1002 too short to
  // hold a code, reach nobody.
  ChannelBlock block;
  block.code = kMsgClose;
  const std::string data(reinterpret_cast<const char*>(&block), sizeof(block));
  std::string records = EncodeCopiedDataRecord(1001, data) +
                        EncodeCopiedDataRecord(kCopyDataMessageId, std::string("\xcd\x00", 2));
  std::string error;
  ASSERT_TRUE(platform::SendToLocalSocket(socketPath, records.data(), records.size(), 5000, &error))
      << error;
  EXPECT_EQ(Collect(1500).last, TS_EVENT_TIMEOUT);
  EXPECT_TRUE(api.windowRunning(session));

  ASSERT_EQ(api.sendCopiedData(session, TS_MSG_CLOSE, 5000), TS_OK) << api.lastError(session);
  const Events events = Collect(20000);
  EXPECT_EQ(events.last, TS_EVENT_FINISHED) << api.lastError(session);
  EXPECT_TRUE(events.files.empty());
  EXPECT_TRUE(WaitForWindowEnd(10000));
  EXPECT_NE(ReadSettings().indexOf("<cutType>"), -1);
  // The window took its socket with it.
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(socketPath)));
  EXPECT_EQ(api.sendCopiedData(session, TS_MSG_CLOSE, 1000), TS_NO_WINDOW);
}

TEST_F(SourceEndToEnd, ModeOneSendEachDeliversCopiesFromTheTemporaryFolder) {
  WriteSettings(
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Setting><cutType>1</cutType>"
      "<fileType>1</fileType><ShowUIUpdataOneByOne>1</ShowUIUpdataOneByOne></Setting>\n");
  ASSERT_EQ(api.open(&session, 1, 2, 0, 0, 20000), TS_OK) << api.lastError(session);
  std::vector<std::string> files;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(api.send(session, TS_MSG_REQUEST, 20000), TS_OK) << api.lastError(session);
    char path[1024] = {};
    ASSERT_EQ(api.nextEvent(session, 30000, path, sizeof(path)), TS_EVENT_FILE)
        << api.lastError(session);
    files.emplace_back(path);
  }
  ASSERT_EQ(api.send(session, TS_MSG_CLOSE, 20000), TS_OK) << api.lastError(session);
  // Send-each mode ends with 205 whatever the mode.
  EXPECT_EQ(Collect(20000).last, TS_EVENT_FINISHED) << api.lastError(session);
  EXPECT_TRUE(WaitForWindowEnd(10000));

  ASSERT_EQ(files.size(), 2u);
  EXPECT_NE(files[0], files[1]);
  for (const std::string& file : files) {
    const QFileInfo info(QString::fromStdString(file));
    // The copy in the temporary folder itself, not the working folder's
    // original, which the next start empties.
    EXPECT_EQ(info.absolutePath() + "/", PrivateTemp()) << file;
    EXPECT_TRUE(QFileInfo::exists(PrivateTemp("Tavrin/") + info.fileName())) << file;
    QImageReader reader(info.filePath());
    EXPECT_EQ(reader.format(), "jpeg") << file;
    EXPECT_FALSE(reader.read().isNull()) << file;
  }
  EXPECT_FALSE(Trace().contains("show"));
  // Once the client has them the copies go: session after session they
  // would pile up in the temporary folder.
  api.close(session, 5000);
  session = nullptr;
  for (const std::string& file : files)
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(file))) << file;
}

// A watermark of 5000 points, as a damaged or hostile LastSetting.xml may
// hold, with a memory bound on the window: the page still comes, with the
// mark drawn as large as the page allows.
TEST_F(ScanEndToEnd, AWatermarkOfFiveThousandPointsStillGivesThePage) {
  WriteSettings(
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Setting><cutType>0</cutType>"
      "<fileType>1</fileType><WaterMark><isEnable>1</isEnable><text>TAVRIN</text>"
      "<WordSize>5000</WordSize><isAddTimeStamp>0</isAddTimeStamp><transparency>0"
      "</transparency><angle>0</angle><color><R>255</R><G>0</G><B>0</B></color>"
      "</WaterMark></Setting>\n");
#if !defined(__SANITIZE_ADDRESS__)
  // Without the bound the window grew by a third of a gigabyte a second.
  // (The sanitizers' shadow memory needs more address space than this.)
  shellPrefix = "ulimit -v 4000000; ";
#endif
  ASSERT_EQ(Scan({"--mode", "1", "--count", "1"}), 0) << Errors().toStdString();
  ASSERT_EQ(Delivered().size(), 1);
  const QImage page = QImage(Path("out/") + Delivered()[0]).convertToFormat(QImage::Format_RGB32);
  ASSERT_FALSE(page.isNull());
  qsizetype red = 0;
  for (int y = 0; y < page.height(); ++y)
    for (int x = 0; x < page.width(); ++x) {
      const QRgb pixel = page.pixel(x, y);
      if (qRed(pixel) > 200 && qGreen(pixel) < 80) ++red;
    }
  EXPECT_GT(red, page.width() * page.height() / 40) << "no watermark across the page";
}

TEST_F(ScanEndToEnd, ModeThreeDeliversItsFilesAsAListAtClose) {
  WriteSettings(kSettings);
  ASSERT_EQ(Scan({"--mode", "3", "--count", "2"}), 0) << Errors().toStdString();
  EXPECT_EQ(Delivered().size(), 2) << Delivered().join(' ').toStdString();

  // The data source took the list away once it had read it.
  EXPECT_FALSE(QFileInfo::exists(Path("home/Documents/DSConfig/FileList.xml")));
  // Delivered pages leave the working folder: nothing waits for recovery.
  EXPECT_TRUE(QDir(PrivateTemp("Tavrin")).entryList(QDir::Files).isEmpty());
  EXPECT_FALSE(Errors().contains("--recover")) << Errors().toStdString();
  EXPECT_EQ(ReadSettings(), kSettings);
}

TEST_F(SourceEndToEnd, ModeTwoWithoutDpiModeSetsImageDpi200) {
  WriteSettings(
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Setting><cutType>1</cutType>"
      "<DPI><ImageDPI>300</ImageDPI></DPI></Setting>\n");
  ASSERT_EQ(api.open(&session, 2, 2, 0, 0, 20000), TS_OK) << api.lastError(session);
  {
    QFile model(ShowModelPath());
    ASSERT_TRUE(model.open(QIODevice::WriteOnly | QIODevice::Truncate));
    model.write(
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<cfg><ShowMode>2</ShowMode>"
        "<ColorType>2</ColorType><RotateMode>0</RotateMode></cfg>\r\n");
  }
  ASSERT_EQ(api.send(session, TS_MSG_REQUEST, 20000), TS_OK) << api.lastError(session);
  ASSERT_EQ(api.send(session, TS_MSG_CLOSE, 20000), TS_OK) << api.lastError(session);
  EXPECT_EQ(Collect(20000).last, TS_EVENT_FINISHED) << api.lastError(session);
  EXPECT_TRUE(WaitForWindowEnd(10000));
  // Mode 2 saves what the request set.
  EXPECT_NE(ReadSettings().indexOf("<ImageDPI>200</ImageDPI>"), -1) << ReadSettings().toStdString();
  EXPECT_TRUE(Trace().contains("show"));
}

// A documents folder of 255 characters: the list's own path does not fit
// the 259 units of a message, so the window writes it to a short folder
// under the private temporary folder instead of sending nothing.
TEST_F(ScanEndToEnd, ALongDocumentsFolderStillGetsTheListThroughAShortFolder) {
  WriteSettings(kSettings);
  std::string documents = Path("docs").toStdString();
  while (255 - documents.size() > 52) documents += "/" + std::string(50, 'd');
  documents += "/" + std::string(255 - documents.size() - 1, 'e');
  ASSERT_EQ(documents.size(), 255u);
  ASSERT_TRUE(QDir().mkpath(Path("home/.config")));
  QFile dirs(Path("home/.config/user-dirs.dirs"));
  ASSERT_TRUE(dirs.open(QIODevice::WriteOnly));
  dirs.write(("XDG_DOCUMENTS_DIR=\"" + documents + "\"\n").c_str());
  dirs.close();

  ASSERT_EQ(Scan({"--mode", "3", "--count", "2"}), 0) << Errors().toStdString();
  EXPECT_EQ(Delivered().size(), 2) << Delivered().join(' ').toStdString();
  EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(documents + "/DSConfig/ShowModel.xml")));
  EXPECT_FALSE(QFileInfo::exists(PrivateTemp("DSConfig/FileList.xml"))) << "read once, then gone";
}

TEST_F(ScanEndToEnd, ModeOneWithoutACameraShowsTheWindowAndReportsTheFailedCapture) {
  cameras = "";
  WriteSettings(kSettings);
  const int status = Scan({"--mode", "1", "--count", "1"});
  // tavrin-scan's "nothing delivered".
  EXPECT_EQ(status, 6) << Errors().toStdString();
  EXPECT_TRUE(Delivered().isEmpty());
  const QString errors = Errors();
  EXPECT_TRUE(errors.contains("Capture Failed.")) << errors.toStdString();
  EXPECT_TRUE(errors.contains("nothing delivered")) << errors.toStdString();
  EXPECT_TRUE(Trace().contains("show"));
  EXPECT_EQ(ReadSettings(), kSettings);
}

TEST_F(ScanEndToEnd, DataSourceKilledMidScanLetsTheWindowClose) {
  WriteSettings(kSettings);
  std::vector<std::string> args = {"--mode", "1",        "--count",
                                   "1000",   "--output", Path("out").toStdString()};
  std::string error;
  const int scan =
      platform::SpawnProcess(Bin("tavrin-scan").toStdString(), args, Environment(), &error);
  ASSERT_GT(scan, 0) << error;
  // The first page arrives, then the scan is in full swing.
  ASSERT_TRUE(WaitFor([&] { return !Delivered().isEmpty(); }, 30000, 50));
  const QString socket = PrivateTemp(QString::fromStdString(CopiedDataSocketName()));
  ASSERT_TRUE(QFileInfo::exists(socket));
  platform::KillProcess(scan);
  ASSERT_TRUE(platform::WaitProcess(scan, 5000, nullptr));

  // The window ends within the channel's bounds: a send may wait 10 s for
  // the vanished peer, its close 2 s more. Its socket goes with it.
  EXPECT_TRUE(WaitFor([&] { return !QFileInfo::exists(socket); }, 30000, 100))
      << "the scan window still listens 30 s after its data source died";
  EXPECT_EQ(ReadSettings(), kSettings);
}

// The close arrives by the copied-data path on the window's thread while a
// request arrives by the channel on the receiver thread.
TEST_F(SourceEndToEnd, RequestArrivingWhileTheWindowClosesNeverDeadlocks) {
  constexpr int kRounds = 50;
  const QString socket = PrivateTemp(QString::fromStdString(CopiedDataSocketName()));
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_EQ(api.open(&session, 1, 2, 0, 0, 20000), TS_OK) << api.lastError(session);
    WaitFor([&] { return QFileInfo::exists(socket); }, 5000, 20);
    std::thread request([this] { api.send(session, TS_MSG_REQUEST, 5000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 7 * 15));
    const int closed = api.sendCopiedData(session, TS_MSG_CLOSE, 5000);
    request.join();
    EXPECT_EQ(closed, TS_OK) << "round " << round << ": " << api.lastError(session);
    EXPECT_TRUE(WaitForWindowEnd(20000)) << "round " << round;
    api.close(session, 5000);
    session = nullptr;
    if (HasFailure()) break;
  }
}

// The window and the client killed at each stage of a session; then one
// run of --recover delivers every page captured, each exactly once, and
// leaves nothing behind in the temporary folder or in /dev/shm.
TEST_F(ScanEndToEnd, CrashLaneRecoverDeliversEveryCapturedPageOnce) {
  WriteSettings(kSettings);
  std::vector<int> clients;
  auto waitForEnd = [&](int scan) {
    int status = -1;
    EXPECT_TRUE(platform::WaitProcess(scan, 30000, &status));
    return status;
  };
  auto pagesCaptured = [&](int atLeast) {
    return WaitFor([&] { return PagesInTemp().size() >= atLeast; }, 30000, 20);
  };

  // The client killed while its window starts: its shared memory stays
  // until the next session's start removes it.
  int scan = StartScan({"--mode", "3", "--count", "3"});
  clients.push_back(scan);
  ASSERT_TRUE(WaitFor([&] { return WindowOf(scan) != 0; }, 20000, 1));
  platform::KillProcess(scan);
  waitForEnd(scan);

  // The window killed before it captured anything.
  scan = StartScan({"--mode", "3", "--count", "3"});
  clients.push_back(scan);
  int window = 0;
  ASSERT_TRUE(WaitFor([&] { return (window = WindowOf(scan)) != 0; }, 20000, 1));
  platform::KillProcess(window);
  EXPECT_NE(waitForEnd(scan), 0);

  // The window killed after two captures: the client says where they are.
  scan = StartScan({"--mode", "3", "--count", "1000"});
  clients.push_back(scan);
  ASSERT_TRUE(pagesCaptured(2)) << Errors().toStdString();
  platform::KillProcess(WindowOf(scan));
  EXPECT_EQ(waitForEnd(scan), 4);
  EXPECT_TRUE(Errors().contains("not delivered")) << Errors().toStdString();
  EXPECT_TRUE(Errors().contains("tavrin-scan --recover --output")) << Errors().toStdString();
  const int keptBefore = static_cast<int>(PagesInTemp().size());

  // The client killed while the window hands pages on: the window ends
  // at once instead of running on into the next session.
  scan = StartScan({"--mode", "3", "--count", "1000"});
  clients.push_back(scan);
  ASSERT_TRUE(pagesCaptured(keptBefore + 2));
  window = WindowOf(scan);
  platform::KillProcess(scan);
  waitForEnd(scan);
  EXPECT_TRUE(WaitFor([&] { return Gone(window); }, 5000, 20))
      << "the window runs on after its client died";
  // It says why on standard error; the client's output holds only pages.
  EXPECT_TRUE(Errors().contains("TavrinDesk: the program that asked for the scan has ended"))
      << Errors().toStdString();
  QFile output(Path("output.txt"));
  ASSERT_TRUE(output.open(QIODevice::ReadOnly));
  for (const QByteArray& line : output.readAll().split('\n'))
    EXPECT_TRUE(line.isEmpty() || line.startsWith("wrote ")) << line.toStdString();

  // The client killed in the middle of copying a page: a file-size limit
  // set on it alone ends it with SIGXFSZ partway through the first page.
  scan = StartScan({"--mode", "3", "--count", "2"});
  clients.push_back(scan);
  ASSERT_TRUE(WaitFor([&] { return WindowOf(scan) != 0; }, 20000, 1));
  const std::string limit = "--fsize=" + std::to_string(16 * 1024);
  const int prlimit =
      platform::SpawnProcess("/usr/bin/prlimit", {"--pid", std::to_string(scan), limit}, {});
  ASSERT_TRUE(platform::WaitProcess(prlimit, 5000, nullptr));
  EXPECT_EQ(waitForEnd(scan), 128 + SIGXFSZ) << Errors().toStdString();
  // It had heard of the pages kept before, in one line.
  EXPECT_EQ(Errors().count("waiting to be delivered: tavrin-scan --recover --output"), 1)
      << Errors().toStdString();
  for (const QString& name : Delivered()) EXPECT_FALSE(name.startsWith("page-")) << "cut short";

  const int captured = static_cast<int>(PagesInTemp().size() + Delivered().size());
  ASSERT_GE(captured, keptBefore + 4);
  std::string error;
  const int recover = platform::SpawnProcess(Bin("tavrin-scan").toStdString(),
                                             {"--recover", "--output", Path("out").toStdString()},
                                             Environment(), &error);
  ASSERT_GT(recover, 0) << error;
  EXPECT_EQ(waitForEnd(recover), 0);

  const QStringList delivered = Delivered();
  EXPECT_EQ(delivered.size(), captured) << delivered.join(' ').toStdString();
  for (const QString& name : delivered) {
    QFile page(Path("out/") + name);
    ASSERT_TRUE(page.open(QIODevice::ReadOnly));
    EXPECT_TRUE(page.readAll().endsWith("\xff\xd9")) << name.toStdString() << " is cut short";
  }
  EXPECT_TRUE(PagesInTemp().isEmpty()) << PagesInTemp().join(' ').toStdString();
  EXPECT_TRUE(QDir(Path("out")).entryList(QDir::Hidden | QDir::Files).size() == delivered.size());
  for (const int client : clients) {
    const QStringList left = QDir("/dev/shm")
                                 .entryList({QStringLiteral("TavrinSource-%1-*").arg(client)},
                                            QDir::Files | QDir::System);
    EXPECT_TRUE(left.isEmpty()) << left.join(' ').toStdString();
  }
}

// The camera pulled out partway through: the pages that came are
// delivered, and the scan fails saying how many of those asked for arrived.
TEST_F(ScanEndToEnd, FewerPagesThanCountIsAFailureThatSaysHowManyArrived) {
  WriteSettings(kSettings);
  cameras = "";
  const QString list = Path("cameras.txt");
  auto writeList = [&](const char* text) {
    QFile file(list);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
  };
  writeList("document\n");
  extraEnvironment = {"TAVRIN_LENS_VIRTUAL_FILE=" + list.toStdString()};
  const int scan = StartScan({"--mode", "1", "--count", "1000", "--timeout", "50"});
  ASSERT_TRUE(WaitFor([&] { return !Delivered().isEmpty(); }, 30000, 20));
  writeList("");
  int status = -1;
  ASSERT_TRUE(platform::WaitProcess(scan, 60000, &status));
  EXPECT_NE(status, 0);
  const qsizetype arrived = Delivered().size();
  EXPECT_TRUE(Errors().contains(QStringLiteral("only %1 of 1000 pages arrived").arg(arrived)))
      << Errors().toStdString();
}

// A page name someone takes while the session runs: the page moves on to
// the next free number instead of being refused.
TEST_F(ScanEndToEnd, ANameTakenDuringTheSessionMovesThePageOn) {
  WriteSettings(kSettings);
  // Mode 3 copies the pages at the end: the name goes once the first page
  // is captured, when the numbers of this session are counted already.
  const int scan = StartScan({"--mode", "3", "--count", "3", "--timeout", "50"});
  ASSERT_TRUE(WaitFor([&] { return !PagesInTemp().isEmpty(); }, 30000, 1));
  {
    QFile taken(Path("out/page-002.jpg"));
    ASSERT_TRUE(taken.open(QIODevice::WriteOnly));
    taken.write("someone else's");
  }
  int status = -1;
  ASSERT_TRUE(platform::WaitProcess(scan, 60000, &status));
  EXPECT_EQ(status, 0) << Errors().toStdString();
  EXPECT_EQ(Delivered().join(' '), "page-001.jpg page-002.jpg page-003.jpg page-004.jpg");
  QFile taken(Path("out/page-002.jpg"));
  ASSERT_TRUE(taken.open(QIODevice::ReadOnly));
  EXPECT_EQ(taken.readAll(), "someone else's");
}

// The README's recorded camera, as it is: its frames are 640x480 and the
// window starts at its largest size.
TEST_F(ScanEndToEnd, TheReadmeRecordedCameraDeliversAPageAtItsDefaultSize) {
  UseRecordedCamera("doccam_8mp.rec");
  ASSERT_EQ(Scan({"--mode", "1"}), 0) << Errors().toStdString();
  const QStringList files = Delivered();
  ASSERT_EQ(files.size(), 1);
  EXPECT_FALSE(QImage(Path("out/") + files.front()).isNull());
}

// A camera that never gives a frame at its size fails in seconds, saying
// so, instead of after a minute of retries.
TEST_F(ScanEndToEnd, ACameraThatGivesNoFrameFailsInSecondsSayingWhy) {
  UseRecordedCamera("doccam_silent.rec");
  // Within the scan's 50 s time-out, which the retries used to outlast.
  EXPECT_EQ(Scan({"--mode", "1"}), 6) << Errors().toStdString();
  EXPECT_TRUE(Errors().contains("The camera gives no picture at ")) << Errors().toStdString();
}

}  // namespace
}  // namespace tavrin
