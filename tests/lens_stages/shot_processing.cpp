// Writes processed synthetic captures, scaled down, as PNGs into the folder
// given as the only argument: what a user would see of the crops, the
// black-and-white document mode and the watermark.
#include <cstdio>
#include <string>

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <opencv2/imgproc.hpp>

#include "lens/src/stages/pipeline.h"
#include "tests/lens_stages/synthetic_scene.h"

namespace {

using tavrin::lens::ProcessingOptions;
using tavrin::lens::RunPipeline;

constexpr int kShotLongSide = 800;
constexpr int kCameraDpi = 197;
const cv::Size kFrame(2448, 1836);

QImage ToQImage(const cv::Mat& image) {
  cv::Mat rgb;
  cv::cvtColor(image, rgb, image.channels() == 1 ? cv::COLOR_GRAY2RGB : cv::COLOR_BGR2RGB);
  return QImage(rgb.data, rgb.cols, rgb.rows, static_cast<qsizetype>(rgb.step),
                QImage::Format_RGB888)
      .copy();
}

QImage Shrunk(const QImage& image, int longSide) {
  return image.scaled(longSide, longSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

// The input frame on the left, what the capture keeps on the right.
QImage BeforeAfter(const cv::Mat& frame, const std::vector<QImage>& results) {
  const int half = kShotLongSide / 2;
  const QImage before = Shrunk(ToQImage(frame), half);
  const int gap = 12;
  int width = before.width() + gap;
  int height = before.height();
  std::vector<QImage> after;
  const int each = results.size() > 1 ? half / 2 : half;
  for (const QImage& result : results) {
    after.push_back(Shrunk(result, each));
    width += after.back().width() + gap;
    height = std::max(height, after.back().height());
  }
  QImage sheet(width, height, QImage::Format_RGB32);
  sheet.fill(QColor(48, 48, 52));
  QPainter painter(&sheet);
  painter.drawImage(0, 0, before);
  int x = before.width() + gap;
  for (const QImage& image : after) {
    painter.drawImage(x, 0, image);
    x += image.width() + gap;
  }
  return sheet;
}

bool Shoot(const QDir& folder, const char* name, const cv::Mat& frame,
           const ProcessingOptions& options) {
  const auto processed = RunPipeline(frame, kCameraDpi, options);
  if (processed.empty()) return false;
  std::vector<QImage> results;
  for (const auto& piece : processed) results.push_back(ToQImage(piece.image));
  const QString path = folder.filePath(QString::fromLatin1(name));
  if (!BeforeAfter(frame, results).save(path)) return false;
  std::printf("%s\n", path.toLocal8Bit().constData());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
    return 2;
  }
  QGuiApplication app(argc, argv);
  const QDir folder(QString::fromLocal8Bit(argv[1]));
  if (!QDir().mkpath(folder.path())) {
    std::fprintf(stderr, "cannot create %s\n", argv[1]);
    return 1;
  }
  namespace t = tavrin::lens::testing;
  const cv::Mat document = t::DrawScene(kFrame, {t::DocumentPage(kFrame, 5.0F)});
  cv::Mat lit = document.clone();
  t::ApplyUnevenLight(lit, 0.55);

  ProcessingOptions single;
  single.autoCrop = 1;
  ProcessingOptions multiple;
  multiple.autoCrop = 2;
  ProcessingOptions blackAndWhite;
  blackAndWhite.autoCrop = 1;
  blackAndWhite.colorMode = 1;
  ProcessingOptions watermark;
  watermark.autoCrop = 1;
  watermark.dpiX = 300;
  watermark.dpiY = 300;
  watermark.watermark.enable = true;
  watermark.watermark.text = "TavrinDesk 水印 2024-05-01 09:03:07";
  watermark.watermark.fontSize = 36;
  watermark.watermark.angleDegrees = 30;
  watermark.watermark.transparencyPercent = 40;
  watermark.watermark.red = 255;
  watermark.watermark.position = 4;

  bool ok = Shoot(folder, "processing-single-crop.png", document, single);
  ok = Shoot(folder, "processing-multiple-crop.png", t::DrawScene(kFrame, t::ThreeCards(kFrame)),
             multiple) &&
       ok;
  ok = Shoot(folder, "processing-black-and-white.png", lit, blackAndWhite) && ok;
  ok = Shoot(folder, "processing-watermark.png", document, watermark) && ok;
  return ok ? 0 : 1;
}
