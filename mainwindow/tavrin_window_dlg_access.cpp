// The window for the keyboard and the screen reader: names and
// descriptions, labels tied to their lists, the tab order, the shortcuts,
// and the status line that tells what a capture did.
#include <QAbstractButton>
#include <QComboBox>
#include <QGroupBox>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QSet>
#include <QShortcut>
#include <QStatusBar>
#include <QTimer>

#include <array>
#include <utility>

#include "dialogs/merge_preview_dlg.h"
#include "mainwindow/scan_window_template.h"
#include "mainwindow/tavrin_window_dlg.h"
#include "settings/ui_text_table.h"
#include "thumbnails/image_list_ctrl.h"

namespace tavrin {

namespace {

constexpr int kFlashMs = 300;
constexpr int kFlashThicknessPx = 3;

QString Q(const std::u16string& text) {
  return QString::fromStdU16String(text);
}

// Each label and the list it names.
constexpr std::array<std::pair<int, int>, 12> kBuddies = {{
    {kIdColorLabel, kIdColorCombo},
    {kIdCropLabel, kIdCropCombo},
    {kIdFormatLabel, kIdFormatCombo},
    {kIdWebcamDeviceLabel, kIdWebcamDeviceCombo},
    {kIdWebcamResolutionLabel, kIdWebcamResolutionCombo},
    {kIdRotateLabel, kIdRotateCombo},
    {kIdAutoCaptureModeLabel, kIdAutoCaptureModeCombo},
    {kIdDeviceLabel, kIdDeviceCombo},
    {kIdMediaTypeLabel, kIdMediaTypeCombo},
    {kIdUnitLabel, kIdUnitCombo},
    {kIdResolutionLabel, kIdResolutionCombo},
    {kIdLanguageLabel, kIdLanguageCombo},
}};

// The order Tab walks: the left column from the top, the controls under
// the picture from the left, the strip, then the bottom row with Exit last.
constexpr int kTabOrder[] = {
    kIdColorCombo,
    kIdEvenLightCheck,
    kIdCropCombo,
    kIdFormatCombo,
    kIdHandCutCheck,
    kIdMergeCheck,
    kIdVerticalRadio,
    kIdHorizontalRadio,
    kIdWatermarkCheck,
    kIdWatermarkSettingsButton,
    kIdWebcamCheck,
    kIdWebcamDeviceCombo,
    kIdWebcamResolutionCombo,
    kIdWebcamMergeCheck,
    kIdMergeSettingsButton,
    kIdImageSettingsButton,
    kIdDeviceSettingsButton,
    kIdZoomInButton,
    kIdZoomOutButton,
    kIdOriginalSizeButton,
    kIdBestFitButton,
    kIdRotateCombo,
    kIdAutoCaptureModeCombo,
    kIdAutoCaptureButton,
    kIdCaptureButton,
    kIdWebcamCaptureButton,
    kIdThumbnailList,
    kIdDeviceCombo,
    kIdMediaTypeCombo,
    kIdUnitCombo,
    kIdResolutionCombo,
    kIdLanguageCombo,
    kIdSaveButton,
    kIdExitButton,
};

// What a screen reader says for a label: its text without the mnemonic
// marks and the colon at its end.
QString Spoken(QString text) {
  text.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
  text.remove(QLatin1Char('&'));
  text.replace(QStringLiteral("\x01"), QStringLiteral("&"));
  text = text.trimmed();
  while (text.endsWith(QLatin1Char(':')) || text.endsWith(QChar(0xFF1A))) text.chop(1);
  return text.trimmed();
}

// The letter after a single '&', lower case; null when there is none.
QChar MnemonicOf(const QString& text) {
  for (qsizetype i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != QLatin1Char('&')) continue;
    if (text[i + 1] == QLatin1Char('&')) {
      ++i;
      continue;
    }
    return text[i + 1].toLower();
  }
  return {};
}

}  // namespace

QString CTavrinWindowDlg::WithMnemonic(int labelId, const QString& text) const {
  // Letters the other labels of the window use already.
  QSet<QChar> taken;
  for (const auto& [label, list] : kBuddies) {
    if (label == labelId) continue;
    if (const auto* other = controls.Get<QLabel>(label)) {
      const QChar used = MnemonicOf(other->text());
      if (!used.isNull()) taken.insert(used);
    }
  }
  QString escaped = text;
  escaped.replace(QLatin1Char('&'), QStringLiteral("&&"));
  // A Latin letter only: a mnemonic must be typed on the keyboard as it is.
  for (qsizetype i = 0; i < escaped.size(); ++i) {
    const QChar c = escaped[i];
    if (c.unicode() >= 0x80 || !c.isLetter() || taken.contains(c.toLower())) continue;
    if (i > 0 && escaped[i - 1] == QLatin1Char('&')) continue;
    return escaped.left(i) + QLatin1Char('&') + escaped.mid(i);
  }
  return escaped;
}

void CTavrinWindowDlg::ConnectKeys() {
  for (const auto& [label, list] : kBuddies) {
    controls.Get<QLabel>(label)->setBuddy(controls.Control(list));
  }
  QWidget* previous = nullptr;
  for (const int id : kTabOrder) {
    QWidget* widget = controls.Control(id);
    if (previous != nullptr) setTabOrder(previous, widget);
    previous = widget;
  }

  const auto shortcut = [this](const QKeySequence& keys, int buttonId) {
    auto* key = new QShortcut(keys, this);
    connect(key, &QShortcut::activated, this, [this, buttonId] {
      auto* button = controls.Get<QPushButton>(buttonId);
      // A greyed button is greyed for its keys too.
      if (button->isEnabled() && button->isVisible()) button->click();
    });
  };
  // F5 does not fight text entry or Space, which presses the focused button.
  shortcut(QKeySequence(Qt::Key_F5), kIdCaptureButton);
  shortcut(QKeySequence::ZoomIn, kIdZoomInButton);
  shortcut(QKeySequence(Qt::CTRL | Qt::Key_Equal), kIdZoomInButton);
  shortcut(QKeySequence::ZoomOut, kIdZoomOutButton);
  shortcut(QKeySequence(Qt::CTRL | Qt::Key_0), kIdBestFitButton);
  shortcut(QKeySequence(Qt::CTRL | Qt::Key_1), kIdOriginalSizeButton);

  // Delete acts on the strip's selection while the strip has the focus.
  auto* remove = new QShortcut(QKeySequence::Delete, thumbnails);
  remove->setContext(Qt::WidgetWithChildrenShortcut);
  connect(remove, &QShortcut::activated, this, [this] { thumbnails->DeleteSelectedImage(); });
  auto* undo = new QShortcut(QKeySequence::Undo, this);
  connect(undo, &QShortcut::activated, this, [this] { thumbnails->UndoDelete(); });
  thumbnails->SetRemovalListener(
      [this](bool removed, const QString& name) { OnPageRemoved(removed, name); });
}

void CTavrinWindowDlg::ApplyAccessibleTexts() {
  const UiTextTable& t = g_uiTextTable;
  for (const auto& [label, list] : kBuddies) {
    const auto* caption = controls.Get<QLabel>(label);
    controls.Control(list)->setAccessibleName(Spoken(caption->text()));
  }
  const auto name = [this](int id, const std::u16string& text, const QString& description = {}) {
    QWidget* widget = controls.Control(id);
    widget->setAccessibleName(Q(text));
    widget->setAccessibleDescription(description);
    widget->setToolTip(description.isEmpty() ? QString() : description);
  };
  const auto withKey = [](const std::u16string& text, const QKeySequence& keys) {
    return QStringLiteral("%1 (%2)").arg(Q(text), keys.toString(QKeySequence::NativeText));
  };
  name(kIdPreviewArea, t.LivePicture);
  if (previewHost != nullptr) previewHost->setAccessibleName(Q(t.LivePicture));
  name(kIdThumbnailList, t.CapturedPages);
  name(kIdZoomInButton, t.ZoomIn, withKey(t.ZoomIn, QKeySequence::ZoomIn));
  name(kIdZoomOutButton, t.ZoomOut, withKey(t.ZoomOut, QKeySequence::ZoomOut));
  name(kIdOriginalSizeButton, t.ActualSize, withKey(t.ActualSize, Qt::CTRL | Qt::Key_1));
  name(kIdBestFitButton, t.Best, withKey(t.Best, Qt::CTRL | Qt::Key_0));
  name(kIdCaptureButton, t.Capture, withKey(t.CaptureTip, Qt::Key_F5));
  name(kIdAutoCaptureButton, t.AutoCapture, Q(t.AutoCaptureTip));
  name(kIdExitButton, t.Exit, Q(t.ExitTip));
  // Both say "Settings" on the screen; each is named by what it sets.
  name(kIdWatermarkSettingsButton, t.WaterMarkOption);
  name(kIdMergeSettingsButton, t.WebcamMergeOption);
  name(kIdImageSettingsButton, t.UvcImage);
  name(kIdDeviceSettingsButton, t.UvcDevice);
  // Its caption alone leaves open what it evens out: the scan mode's light.
  name(kIdEvenLightCheck, t.EvenLight, Q(t.Color) + QStringLiteral(": ") + Q(t.EvenLight));
  name(kIdMergeGroup, t.Merge);
  name(kIdWatermarkGroup, t.WaterMark);
  name(kIdWebcamGroup, t.Webcam);
  name(kIdSettingsGroup, t.CameraSettings);
  if (mergePreview != nullptr) mergePreview->setWindowTitle(Q(t.Merge));
  if (undoButton != nullptr) undoButton->setText(Q(t.Undo));
  ShowPageStatus();
}

void CTavrinWindowDlg::BuildStatusLine() {
  pagesLabel = new QLabel(statusBar);
  pagesLabel->setObjectName(QStringLiteral("pages"));
  lastFileLabel = new QLabel(statusBar);
  lastFileLabel->setObjectName(QStringLiteral("lastFile"));
  undoButton = new QPushButton(statusBar);
  undoButton->setObjectName(QStringLiteral("undo"));
  undoButton->setAutoDefault(false);
  undoButton->setFlat(true);
  undoButton->hide();
  connect(undoButton, &QPushButton::clicked, this, [this] { thumbnails->UndoDelete(); });
  statusBar->addPermanentWidget(lastFileLabel);
  statusBar->addPermanentWidget(pagesLabel);
  statusBar->addPermanentWidget(undoButton);
  // Four thin bars around the live picture.
  for (QWidget*& bar : flashBars) {
    bar = new QWidget(this);
    bar->setAttribute(Qt::WA_TransparentForMouseEvents);
    bar->setAutoFillBackground(true);
    QPalette palette = bar->palette();
    palette.setColor(QPalette::Window, palette.color(QPalette::Highlight));
    bar->setPalette(palette);
    bar->hide();
  }
  flashTimer = new QTimer(this);
  flashTimer->setSingleShot(true);
  flashTimer->setInterval(kFlashMs);
  connect(flashTimer, &QTimer::timeout, this, [this] {
    for (QWidget* bar : flashBars) bar->hide();
  });
}

void CTavrinWindowDlg::ShowPageStatus() {
  if (pagesLabel == nullptr) return;
  const UiTextTable& t = g_uiTextTable;
  pagesLabel->setText(Q(t.PageCount).arg(pageCount));
  lastFileLabel->setText(lastFileName.isEmpty() ? QString() : Q(t.LastFile).arg(lastFileName));
  undoButton->setVisible(thumbnails != nullptr && thumbnails->CanUndo());
}

void CTavrinWindowDlg::OnPageHandedOn(const QString& name) {
  ++pageCount;
  lastFileName = name;
  ShowPageStatus();
  if (previewHost == nullptr || !previewHost->isVisible()) return;
  // Just outside the picture, in the margin around it: nothing of the page
  // is hidden, and the picture's own window is not covered.
  const int k = kFlashThicknessPx;
  const QRect r = previewHost->geometry().adjusted(-k, -k, k, k);
  flashBars[0]->setGeometry(r.left(), r.top(), r.width(), k);
  flashBars[1]->setGeometry(r.left(), r.bottom() + 1 - k, r.width(), k);
  flashBars[2]->setGeometry(r.left(), r.top(), k, r.height());
  flashBars[3]->setGeometry(r.right() + 1 - k, r.top(), k, r.height());
  for (QWidget* bar : flashBars) {
    bar->show();
    bar->raise();
  }
  flashTimer->start();
}

void CTavrinWindowDlg::OnPageRemoved(bool removed, const QString& name) {
  pageCount += removed ? -1 : 1;
  ShowPageStatus();
  statusBar->showMessage(removed ? Q(g_uiTextTable.Removed).arg(name) : VersionMessage());
}

}  // namespace tavrin
