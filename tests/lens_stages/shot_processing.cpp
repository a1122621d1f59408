// Writes processed captures of the virtual document camera, scaled down, as
// PNGs into the folder given as the only argument: what a user sees of the
// single and multiple crops, the black-and-white document mode, the
// watermark and an open book flattened into its two pages. Each sheet shows the camera's frame on
// the left and the files the capture wrote on the right; the open book also
// comes as a larger before (the frame) and after (its two pages) pair.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include "camera/camera_library.h"

namespace {

constexpr int kSheetHeight = 420;
constexpr int kGap = 12;
constexpr int kPairHeight = 900;
constexpr int kWidth = 2448;
constexpr int kHeight = 1836;
constexpr int kDocument = 0;
constexpr int kPages = 1;
constexpr int kBook = 2;

struct Shot {
  const char* name;
  int dev;
  int crop;
  int colour;
  bool watermark;
  // Also the frame and the pages at a readable size, as a before and an
  // after picture of their own, named after the sheet.
  bool pair = false;
};

std::vector<QImage> Capture(tavrin::CameraLibrary& lens, int dev, const QString& path) {
  std::vector<char> buffer(kTavrinLensPathBuffer, '\0');
  const std::string narrow = path.toStdString();
  narrow.copy(buffer.data(), std::min(narrow.size(), buffer.size() - 1));
  std::vector<QImage> images;
  if (lens.camCaptureImageFile(dev, buffer.data()) != 0) return images;
  for (const QString& file : QString::fromUtf8(buffer.data()).split(QLatin1Char(';'))) {
    images.emplace_back(file);
  }
  return images;
}

// Several pieces go side by side at half height, in the order written.
QImage Sheet(const QImage& frame, const std::vector<QImage>& results) {
  const int pieceHeight = results.size() > 1 ? kSheetHeight / 2 : kSheetHeight;
  const QImage before = frame.scaledToHeight(kSheetHeight, Qt::SmoothTransformation);
  std::vector<QImage> after;
  int width = before.width();
  for (const QImage& result : results) {
    after.push_back(result.scaledToHeight(pieceHeight, Qt::SmoothTransformation));
    width += kGap + after.back().width();
  }
  QImage sheet(width, kSheetHeight, QImage::Format_RGB32);
  sheet.fill(QColor(48, 48, 52));
  QPainter painter(&sheet);
  painter.drawImage(0, 0, before);
  int x = before.width() + kGap;
  for (const QImage& image : after) {
    painter.drawImage(x, (kSheetHeight - image.height()) / 2, image);
    x += image.width() + kGap;
  }
  return sheet;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
    return 2;
  }
  ::setenv("TAVRIN_LENS_VIRTUAL",
           "document?sizes=2448x1836,pages?sizes=2448x1836,book?sizes=2448x1836", 1);
  ::setenv("TAVRIN_LENS_V4L2", "0", 1);
  ::unsetenv("TAVRIN_LENS_VIRTUAL_FILE");
  QGuiApplication app(argc, argv);
  const QDir folder(QString::fromLocal8Bit(argv[1]));
  QTemporaryDir work;
  if (!QDir().mkpath(folder.path()) || !work.isValid()) {
    std::fprintf(stderr, "cannot create %s\n", argv[1]);
    return 1;
  }
  tavrin::CameraLibrary lens;
  if (!lens.LoadFromFolder(QCoreApplication::applicationDirPath().toStdString()) ||
      lens.camInitCameraLib() != 0) {
    std::fprintf(stderr, "cannot load the camera library: %s\n", lens.LastError().c_str());
    return 1;
  }
  bool ok = lens.camOpenDev(kDocument, 0, kWidth, kHeight) == 0 &&
            lens.camOpenDev(kPages, 0, kWidth, kHeight) == 0 &&
            lens.camOpenDev(kBook, 0, kWidth, kHeight) == 0;
  const Shot shots[] = {
      {"processing-single-crop.png", kDocument, 1, 0, false},
      {"processing-multiple-crop.png", kPages, 2, 0, false},
      {"processing-black-and-white.png", kDocument, 1, 1, false},
      {"processing-watermark.png", kDocument, 1, 0, true},
      {"processing-book.png", kBook, 4, 0, false, true},
      {"processing-book-black-and-white.png", kBook, 4, 1, false},
  };
  for (const Shot& shot : shots) {
    if (!ok) break;
    lens.camSetImageAutoCrop(shot.dev, 0);
    lens.camSetImageAdjust(shot.dev, 0);
    lens.camSetImageWaterMark(shot.dev, "", 4, 36, "", 0, 0, 0, 0, 0, 0, 0, 0, 0);
    const auto frame = Capture(lens, shot.dev, work.filePath(QStringLiteral("frame.png")));
    lens.camSetImageAutoCrop(shot.dev, shot.crop);
    lens.camSetImageAdjust(shot.dev, shot.colour);
    if (shot.watermark) {
      lens.camSetImageWaterMark(shot.dev, "TavrinDesk 水印 2024-05-01 09:03:07", 4, 36, "Arial", 0,
                                0, 1, 30.0F, 40.0F, 255, 0, 0, 1);
    }
    const auto results = Capture(lens, shot.dev, work.filePath(QStringLiteral("shot.jpg")));
    ok = frame.size() == 1 && !frame[0].isNull() && !results.empty();
    for (const QImage& result : results) ok = ok && !result.isNull();
    if (!ok) break;
    const QString path = folder.filePath(QString::fromLatin1(shot.name));
    ok = Sheet(frame[0], results).save(path);
    if (ok) std::printf("%s\n", path.toLocal8Bit().constData());
    if (ok && shot.pair) {
      const QString stem = path.chopped(4);
      ok =
          frame[0].scaledToHeight(kPairHeight, Qt::SmoothTransformation).save(stem + "-before.png");
      std::vector<QImage> pages;
      int width = -kGap;
      for (const QImage& result : results) {
        pages.push_back(result.scaledToHeight(kPairHeight, Qt::SmoothTransformation));
        width += kGap + pages.back().width();
      }
      QImage after(width, kPairHeight, QImage::Format_RGB32);
      after.fill(QColor(48, 48, 52));
      QPainter painter(&after);
      int x = 0;
      for (const QImage& page : pages) {
        painter.drawImage(x, 0, page);
        x += page.width() + kGap;
      }
      painter.end();
      ok = ok && after.save(stem + "-after.png");
      if (ok)
        std::printf("%s-before.png\n%s-after.png\n", stem.toLocal8Bit().constData(),
                    stem.toLocal8Bit().constData());
    }
  }
  lens.camUnInitCameraLib();
  lens.UnloadModule();
  if (!ok) std::fprintf(stderr, "a capture failed\n");
  return ok ? 0 : 1;
}
