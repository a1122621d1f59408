// Press-to-handed-on time of a plain capture: from the press of Capture to
// the file being handed to the data source (and shown in the strip), with
// the virtual document camera at 3264 x 2448, single-page crop and JPEG.
// Runs the real window in this process, from a private copy of the program
// folder; one capture warms up, the next ones are measured.
//
//   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVRIN_BENCH=ON
//   cmake --build build-bench --target capture_bench
//   build-bench/bin/capture_bench [captures]
//
// Prints the camera library's capture call alone, then the whole press:
//   library_capture_call size=3264x2448 captures=50 median_ms=... p95_ms=...
//   press_to_handed_on size=3264x2448 captures=50 median_ms=... p95_ms=...
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QImageReader>
#include <QPushButton>
#include <QThread>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "camera/camera_library.h"
#include "mainwindow/message_box.h"
#include "mainwindow/scan_window_template.h"
#include "mainwindow/tavrin_window_dlg.h"
#include "platform/paths.h"
#include "settings/scan_settings.h"
#include "tests/mainwindow/private_program_folder.h"
#include "tests/mainwindow/window_probe.h"

namespace {

constexpr int kWidth = 3264;
constexpr int kHeight = 2448;
constexpr int kDefaultCaptures = 50;
// Between presses the window runs as it would for a user: preview frames
// arrive and are drawn.
constexpr int kPauseMs = 150;

void RunEventsFor(int durationMs) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < durationMs) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
}

double Percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  // Nearest rank.
  const size_t rank = static_cast<size_t>(std::ceil(fraction * values.size()));
  return values[std::max<size_t>(rank, 1) - 1];
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

int Measure(int captures) {
  using namespace tavrin;
  bool failed = false;
  SetMessageBoxObserver([&failed](const QString& text) {
    std::fprintf(stderr, "message: %s\n", text.toLocal8Bit().constData());
    failed = true;
  });
  ScanSettings settings;
  settings.cutType = 1;
  settings.fileType = 1;
  settings.SizeUnit = 0;
  settings.DPI.MainWidth = kWidth;
  settings.DPI.MainHeight = kHeight;
  if (!SaveLastSettings(LastSettingsPath(), settings)) return 1;

  CTavrinWindowDlg window;
  const ScanWindowProbe probe(window);
  if (!window.OnInitDialog()) return 1;
  const auto* resolution = qobject_cast<QComboBox*>(window.Control(kIdResolutionCombo));
  const std::string size = std::to_string(kWidth) + "x" + std::to_string(kHeight);
  if (resolution == nullptr || !resolution->currentText().contains(QString::fromStdString(size))) {
    std::fprintf(stderr, "the camera is not at %s\n", size.c_str());
    return 1;
  }
  auto* capture = qobject_cast<QPushButton*>(window.Control(kIdCaptureButton));
  RunEventsFor(1000);

  // The same library module the window loaded, to time its capture call
  // alone on the window's open camera: the rest is the window's share.
  CameraLibrary lens;
  if (!lens.LoadFromFolder(platform::ProgramFolder())) return 1;
  std::vector<double> libraryMs;
  for (int i = 0; i <= captures; ++i) {
    std::array<char, 1024> path{};
    std::snprintf(path.data(), path.size(), "%s/library_%d.jpg", probe.WorkFolder().c_str(), i);
    const auto start = std::chrono::steady_clock::now();
    const int result = lens.camCaptureImageFile(probe.CurrentCamera(), path.data());
    const auto end = std::chrono::steady_clock::now();
    if (result != 0) {
      std::fprintf(stderr, "library capture %d failed: %d\n", i, result);
      return 1;
    }
    if (i > 0) libraryMs.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    RunEventsFor(kPauseMs);
  }

  std::vector<double> elapsedMs;
  for (int i = 0; i <= captures && !failed; ++i) {
    const size_t before = probe.Twain().FileList().size();
    const auto start = std::chrono::steady_clock::now();
    capture->click();
    const auto end = std::chrono::steady_clock::now();
    if (probe.Twain().FileList().size() != before + 1) {
      std::fprintf(stderr, "capture %d handed nothing on\n", i);
      return 1;
    }
    if (i > 0) elapsedMs.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    RunEventsFor(kPauseMs);
  }
  if (failed) return 1;
  const std::u16string last = probe.Twain().FileList().back();
  const QSize written = QImageReader(QString::fromStdU16String(last)).size();
  std::fprintf(stderr, "last file %dx%d (cropped page)\n", written.width(), written.height());
  window.reject();

  std::printf("library_capture_call size=%dx%d captures=%d median_ms=%.1f p95_ms=%.1f\n", kWidth,
              kHeight, captures, Median(libraryMs), Percentile(libraryMs, 0.95));
  std::printf("press_to_handed_on size=%dx%d captures=%d median_ms=%.1f p95_ms=%.1f\n", kWidth,
              kHeight, captures, Median(elapsedMs), Percentile(elapsedMs, 0.95));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int captures = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultCaptures;
  if (!tavrin::test::InPrivateFolder()) {
    // The window writes LastSetting.xml beside the program and empties its
    // working folder: a private copy keeps the real ones as they are.
    return tavrin::test::RunInPrivateFolder(argc, argv, {"TAVRIN_LENS_VIRTUAL=document"});
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("TavrinDesk"));
  return Measure(captures);
}
