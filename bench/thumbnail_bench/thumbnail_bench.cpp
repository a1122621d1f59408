// AddImage of the thumbnail strip on camera-sized JPEG and PNG files, set
// against vipsthumbnail making the same thumbnail of the same file. The
// vipsthumbnail time is taken net of its start-up (the time it needs for a
// tiny image), so the ratio compares the decoding and scaling alone.
//
// Run: see CMakeLists.txt beside this file.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "thumbnails/image_list_ctrl.h"

namespace {

struct Sample {
  const char* name;
  int width;
  int height;
  const char* format;
};

constexpr Sample kSamples[] = {
    {"8MP.jpg", 3264, 2448, "JPG"},
    {"18MP.jpg", 4912, 3680, "JPG"},
    {"8MP.png", 3264, 2448, "PNG"},
};

QTemporaryDir* g_folder = nullptr;
tavrin::CImageListCtrl* g_strip = nullptr;

// A page with lines of "text" on a shaded desk: detail enough that the
// files are the size a camera writes.
QString WriteSample(const Sample& sample) {
  QImage image(sample.width, sample.height, QImage::Format_RGB32);
  QPainter painter(&image);
  QLinearGradient desk(0, 0, sample.width, sample.height);
  desk.setColorAt(0, QColor(70, 60, 50));
  desk.setColorAt(1, QColor(120, 100, 80));
  painter.fillRect(image.rect(), desk);
  const QRect page = image.rect().adjusted(sample.width / 10, sample.height / 12,
                                           -sample.width / 10, -sample.height / 12);
  painter.fillRect(page, QColor(245, 243, 235));
  QFont font;
  font.setPixelSize(std::max(12, sample.height / 60));
  painter.setFont(font);
  painter.setPen(QColor(30, 30, 30));
  const QString line = QStringLiteral("The quick brown fox jumps over the lazy dog 0123456789 ");
  for (int y = page.top() + font.pixelSize() * 2; y < page.bottom(); y += font.pixelSize() * 2)
    painter.drawText(page.left() + 20, y, line.repeated(4));
  painter.end();
  const QString path = g_folder->filePath(QString::fromUtf8(sample.name));
  image.save(path, sample.format, 90);
  return path;
}

void BM_AddImage(benchmark::State& state, QString path) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(g_strip->AddImage(path));
    // Let the queued items in, as the window's event loop would.
    QCoreApplication::processEvents();
  }
}

// Median wall time of runs of vipsthumbnail on path, in milliseconds.
double VipsMedianMs(const QString& vips, const QString& path, int cellWidth, int cellHeight,
                    int runs) {
  std::vector<double> timesMs;
  const QString output = g_folder->filePath(QStringLiteral("vips_%s.jpg"));
  for (int run = 0; run < runs; ++run) {
    QElapsedTimer timer;
    timer.start();
    QProcess process;
    process.start(
        vips, {path, QStringLiteral("-s"), QStringLiteral("%1x%2").arg(cellWidth).arg(cellHeight),
               QStringLiteral("-o"), output});
    if (!process.waitForFinished(60000) || process.exitCode() != 0) return -1;
    timesMs.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
  }
  std::sort(timesMs.begin(), timesMs.end());
  return timesMs[timesMs.size() / 2];
}

// Keeps the mean real time of each benchmark, in milliseconds.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      meanMs[run.run_name.function_name] =
          run.real_accumulated_time * 1e3 / static_cast<double>(run.iterations);
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> meanMs;
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QTemporaryDir folder;
  g_folder = &folder;

  // The strip of the scan window: a 160-pixel client gives 100 x 75 cells.
  tavrin::CImageListCtrl strip;
  strip.resize(160 + 2 * strip.frameWidth(), 490);
  strip.show();
  strip.Initialise();
  g_strip = &strip;

  std::vector<QString> paths;
  for (const Sample& sample : kSamples) {
    paths.push_back(WriteSample(sample));
    benchmark::RegisterBenchmark((std::string("AddImage/") + sample.name).c_str(), BM_AddImage,
                                 paths.back())
        ->Unit(benchmark::kMillisecond)
        ->MinTime(1.0);
  }
  benchmark::Initialize(&argc, argv);
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const QString vips = QStandardPaths::findExecutable(QStringLiteral("vipsthumbnail"));
  if (vips.isEmpty()) {
    std::printf("\nvipsthumbnail not found (package libvips-tools); no comparison.\n");
    return 0;
  }
  constexpr int kRuns = 15;
  const QString tiny = WriteSample({"tiny.jpg", 64, 48, "JPG"});
  const double startupMs =
      VipsMedianMs(vips, tiny, strip.CellWidthPx(), strip.CellHeightPx(), kRuns);
  std::printf("\nvipsthumbnail start-up (64x48 JPEG, median of %d): %.1f ms\n", kRuns, startupMs);
  std::printf("%-10s %14s %16s %16s %8s\n", "file", "AddImage ms", "vips total ms", "vips net ms",
              "ratio");
  for (size_t i = 0; i < paths.size(); ++i) {
    const double vipsMs =
        VipsMedianMs(vips, paths[i], strip.CellWidthPx(), strip.CellHeightPx(), kRuns);
    const double netMs = std::max(vipsMs - startupMs, 0.1);
    const double addMs = reporter.meanMs[std::string("AddImage/") + kSamples[i].name];
    std::printf("%-10s %14.1f %16.1f %16.1f %7.2fx\n", kSamples[i].name, addMs, vipsMs, netMs,
                addMs / netMs);
  }
  std::printf("ratio = AddImage time / vipsthumbnail time net of start-up; goal <= 1.5 on JPEGs\n");
  return 0;
}
