// Scanning end to end: tavrin-scan and TavrinSource.ds drive the real
// TavrinDesk with the real camera library and a virtual document camera,
// offscreen, in a private copy of the program folder with its own HOME and
// TMPDIR. The delivered files are decoded and looked at.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QTemporaryDir>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "TavrinSource.h"
#include "platform/dynamic_library.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace tavrin {
namespace {

constexpr int kScanTimeoutMs = 60000;

bool CopyFolder(const QString& from, const QString& to) {
  if (!QDir().mkpath(to)) return false;
  bool ok = true;
  for (const QFileInfo& entry :
       QDir(from).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot)) {
    const QString target = to + "/" + entry.fileName();
    ok = (entry.isDir() ? CopyFolder(entry.filePath(), target)
                        : QFile::copy(entry.filePath(), target)) &&
         ok;
  }
  return ok;
}

// Mean grey level of a picture, 0..255.
double MeanGrey(const QImage& image) {
  const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
  double sum = 0;
  for (int y = 0; y < grey.height(); ++y) {
    const uchar* line = grey.constScanLine(y);
    for (int x = 0; x < grey.width(); ++x) sum += line[x];
  }
  return sum / (static_cast<double>(grey.width()) * grey.height());
}

class ScanEndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root.isValid());
    ASSERT_TRUE(QDir(root.path()).mkpath("bin"));
    const QString from = QStringLiteral(TAVRIN_PROGRAM_FOLDER);
    for (const char* name : {"TavrinDesk", "libTavrinLens.so", "TavrinSource.ds", "tavrin-scan"}) {
      ASSERT_TRUE(QFile::copy(from + "/" + name, Bin(name))) << name;
      QFile::setPermissions(Bin(name), QFile::permissions(from + "/" + name));
    }
    ASSERT_TRUE(CopyFolder(from + "/Language", Bin("Language")));
    for (const char* folder : {"home", "tmp", "out"}) ASSERT_TRUE(QDir(root.path()).mkpath(folder));
    // Private, as a runtime folder must be.
    QFile::setPermissions(Path("tmp"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  }

  QString Bin(const QString& name) const { return root.path() + "/bin/" + name; }
  QString Path(const QString& name) const { return root.path() + "/" + name; }

  std::vector<std::string> Environment() const {
    return {"HOME=" + Path("home").toStdString(),
            "TMPDIR=" + Path("tmp").toStdString(),
            "XDG_CONFIG_HOME=" + Path("home/.config").toStdString(),
            "XDG_RUNTIME_DIR=" + Path("tmp").toStdString(),
            "QT_QPA_PLATFORM=offscreen",
            "TAVRIN_LENS_V4L2=0",
            "TAVRIN_LENS_VIRTUAL=document",
            "TAVRIN_LENS_VIRTUAL_FILE="};
  }

  // Exit status of tavrin-scan, -1 when it did not end in time.
  int Scan(std::vector<std::string> args) {
    args.insert(args.end(), {"--output", Path("out").toStdString(), "--timeout", "50"});
    std::string error;
    const int pid =
        platform::SpawnProcess(Bin("tavrin-scan").toStdString(), args, Environment(), &error);
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

  QTemporaryDir root{QDir::tempPath() + "/tavrin-e2e-XXXXXX"};
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
}

// The data source's own API, loaded from the private program folder, so
// that the test can send 205 itself.
struct SourceApi {
  decltype(&tsOpen) open = nullptr;
  decltype(&tsSend) send = nullptr;
  decltype(&tsNextEvent) nextEvent = nullptr;
  decltype(&tsWindowRunning) windowRunning = nullptr;
  decltype(&tsLastError) lastError = nullptr;
  decltype(&tsClose) close = nullptr;
  void* module = nullptr;

  bool Load(const std::string& path) {
    module = platform::LoadLibraryFile(path);
    if (module == nullptr) return false;
    open = reinterpret_cast<decltype(open)>(platform::FindLibrarySymbol(module, "tsOpen"));
    send = reinterpret_cast<decltype(send)>(platform::FindLibrarySymbol(module, "tsSend"));
    nextEvent =
        reinterpret_cast<decltype(nextEvent)>(platform::FindLibrarySymbol(module, "tsNextEvent"));
    windowRunning = reinterpret_cast<decltype(windowRunning)>(
        platform::FindLibrarySymbol(module, "tsWindowRunning"));
    lastError =
        reinterpret_cast<decltype(lastError)>(platform::FindLibrarySymbol(module, "tsLastError"));
    close = reinterpret_cast<decltype(close)>(platform::FindLibrarySymbol(module, "tsClose"));
    return open && send && nextEvent && windowRunning && lastError && close;
  }
};

TEST_F(ScanEndToEnd, ModeZeroClosedBy205CapturesNothingAndSavesTheSettings) {
  // The window started by the module inherits this process's environment.
  for (const std::string& entry : Environment()) {
    const size_t equals = entry.find('=');
    ASSERT_TRUE(
        platform::SetEnvironment(entry.substr(0, equals).c_str(), entry.substr(equals + 1)));
  }
  SourceApi api;
  ASSERT_TRUE(api.Load(Bin("TavrinSource.ds").toStdString())) << platform::LastLibraryError();
  TavrinSession* session = nullptr;
  ASSERT_EQ(api.open(&session, 0, 0, 0, 0, 20000), TS_OK) << api.lastError(session);
  ASSERT_EQ(api.send(session, 205, 10000), TS_OK) << api.lastError(session);

  char path[1024] = {};
  int files = 0;
  int event = TS_EVENT_TIMEOUT;
  do {
    event = api.nextEvent(session, 20000, path, sizeof(path));
    if (event == TS_EVENT_FILE) ++files;
  } while (event == TS_EVENT_FILE);
  EXPECT_EQ(event, TS_EVENT_FINISHED) << api.lastError(session);
  EXPECT_EQ(files, 0);
  for (int i = 0; i < 200 && api.windowRunning(session); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(api.windowRunning(session));
  api.close(session, 5000);

  EXPECT_TRUE(QDir(Path("tmp")).exists());
  EXPECT_TRUE(QFileInfo::exists(Bin("LastSetting.xml")));
  EXPECT_NE(ReadSettings().indexOf("<cutType>"), -1);
  // Nothing was captured into the working folder.
  EXPECT_TRUE(QDir(Path("tmp/Tavrin")).entryList(QDir::Files).isEmpty());
}

}  // namespace
}  // namespace tavrin
