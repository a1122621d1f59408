// Writes a PNG of each option dialog into the folder given as the argument.
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include <cstdio>

#include "dialogs/about_dlg.h"
#include "dialogs/merge_option_dlg.h"
#include "dialogs/merge_preview_dlg.h"
#include "dialogs/progress_dlg.h"
#include "dialogs/water_mark_dlg.h"
#include "settings/ui_text_table.h"

namespace {

bool Save(QWidget& dialog, const QDir& folder, const char* name) {
  dialog.show();
  QCoreApplication::processEvents();
  const QString path = folder.filePath(QString::fromUtf8(name));
  const bool saved = dialog.grab().save(path);
  std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
  dialog.hide();
  return saved;
}

// A picture with a page-like pattern, so the preview shows its fit.
QString WriteSample(const QTemporaryDir& scratch, const char* name, int w, int h, QColor colour) {
  QImage image(w, h, QImage::Format_RGB32);
  image.fill(colour);
  QPainter painter(&image);
  painter.setPen(QPen(Qt::darkGray, 4));
  for (int y = h / 8; y < h - h / 8; y += h / 10) painter.drawLine(w / 8, y, w - w / 8, y);
  painter.end();
  const QString path = scratch.filePath(QString::fromUtf8(name));
  image.save(path);
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s output-folder\n", argv[0]);
    return 2;
  }
  const QDir folder(QString::fromLocal8Bit(argv[1]));
  if (!folder.exists() && !QDir().mkpath(folder.path())) {
    std::fprintf(stderr, "cannot create %s\n", argv[1]);
    return 1;
  }
  bool ok = true;

  tavrin::CWaterMarkDlg waterMark;
  waterMark.settings.text = u"TavrinDesk";
  ok &= Save(waterMark, folder, "dialog_130_watermark.png");

  tavrin::CMergeOptionDlg mergeOption;
  mergeOption.mergeType = 4;
  ok &= Save(mergeOption, folder, "dialog_131_merge_option.png");

  QTemporaryDir scratch;
  tavrin::CMergePreviewDlg mergePreview;
  mergePreview.resize(mergePreview.sizeHint().expandedTo(QSize(544, 192)));
  mergePreview.SetLayout(tavrin::kMergeHorizontal);
  mergePreview.firstPicture->LoadPicture(WriteSample(scratch, "1.png", 800, 600, Qt::white));
  mergePreview.secondPicture->LoadPicture(WriteSample(scratch, "2.png", 600, 800, Qt::lightGray));
  ok &= Save(mergePreview, folder, "dialog_138_merge_preview.png");

  tavrin::CProgressDlg progress;
  ok &= Save(progress, folder, "dialog_139_progress.png");

  tavrin::CAboutDlg about;
  ok &= Save(about, folder, "dialog_100_about.png");

  // The longest captions: the watermark settings in French, the merge
  // settings in German.
  if (tavrin::LoadUiTexts(tavrin::LanguageFilePath(u"FR"))) {
    tavrin::CWaterMarkDlg french;
    french.settings.text = u"TavrinDesk";
    ok &= Save(french, folder, "dialog_130_watermark-fr.png");
  }
  if (tavrin::LoadUiTexts(tavrin::LanguageFilePath(u"DE"))) {
    tavrin::CMergeOptionDlg german;
    german.mergeType = 0;
    ok &= Save(german, folder, "dialog_131_merge_option-de.png");
  }
  return ok ? 0 : 1;
}
