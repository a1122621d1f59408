#include "dialogs/water_mark_dlg.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QFontComboBox>
#include <QGroupBox>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStyledItemDelegate>

#include <algorithm>
#include <utility>

#include "dialogs/colour_button.h"
#include "dialogs/ui_text.h"
#include "resources/app_icon.h"
#include "resources/dialog_ids.h"
#include "resources/dialog_templates.h"

namespace tavrin {

using namespace idd130;

namespace {

// The smallest size the box takes; the largest is the settings file's.
constexpr int kSmallestSize = 1;

}  // namespace

const QStringList& FontSizeEntries() {
  static const QStringList kEntries = {"5",  "8",  "9",  "10", "11", "12", "14", "16", "18",
                                       "20", "22", "24", "26", "28", "36", "48", "72"};
  return kEntries;
}

int FindPrefixFrom(const QStringList& entries, const QString& prefix, int startAfter) {
  const int count = static_cast<int>(entries.size());
  for (int step = 1; step <= count; ++step) {
    const int index = (startAfter + step) % count;
    if (entries[index].startsWith(prefix, Qt::CaseInsensitive)) return index;
  }
  return -1;
}

CWaterMarkDlg::CWaterMarkDlg(QWidget* parent) : QDialog(parent) {
  controls = BuildDialog(*this, kTemplate130,
                         [this](const DialogControl& row, QWidget* owner) -> QWidget* {
                           if (row.id != kFontColor) return nullptr;
                           colourButton = new ColourButton(owner);
                           return colourButton;
                         });
  KeepDialogPlain(*this);
  setWindowIcon(AppIcon());
  sizeBox = controls.Get<QComboBox>(kFontSize);
  sizeBox->setValidator(new QIntValidator(kSmallestSize, kWordSizeRange.max, sizeBox));
  transparencySlider = controls.Get<QSlider>(kTransparency);
  angleSlider = controls.Get<QSlider>(kAngle);
  transparencyValue = controls.Get<QLabel>(kTransparencyValue);
  angleValue = controls.Get<QLabel>(kAngleValue);
  // Names in the dialog's own font rather than each in its face.
  auto* fonts = controls.Get<QFontComboBox>(kFont);
  fonts->setItemDelegate(new QStyledItemDelegate(fonts));

  connect(transparencySlider, &QSlider::valueChanged, this, &CWaterMarkDlg::OnTransparencyMoved);
  connect(angleSlider, &QSlider::valueChanged, this, &CWaterMarkDlg::OnAngleMoved);
  connect(controls.Get<QPushButton>(kIdOk), &QPushButton::clicked, this, &CWaterMarkDlg::accept);
  connect(controls.Get<QPushButton>(kIdCancel), &QPushButton::clicked, this,
          &CWaterMarkDlg::reject);
}

void CWaterMarkDlg::showEvent(QShowEvent* event) {
  // The record is the caller's to fill after construction, so the controls
  // take it when the dialog first appears.
  if (!initialised) {
    initialised = true;
    OnInitDialog();
  }
  QDialog::showEvent(event);
}

void CWaterMarkDlg::OnInitDialog() {
  auto* fonts = controls.Get<QFontComboBox>(kFont);
  const QString face = QString::fromStdU16String(settings.font);
  const int faceIndex = fonts->findText(face, Qt::MatchFixedString);
  if (faceIndex >= 0) {
    fonts->setCurrentIndex(faceIndex);
  } else {
    // A face that is not installed stays as typed, rather than turning into
    // whatever the font list would put in its place.
    fonts->setEditText(face);
  }

  sizeBox->clear();
  sizeBox->addItems(FontSizeEntries());
  const QString sizeText = QString::number(settings.WordSize);
  const int sizeIndex = FindPrefixFrom(FontSizeEntries(), sizeText, 0);
  if (sizeIndex >= 0) {
    sizeBox->setCurrentIndex(sizeIndex);
  } else {
    // A size the list lacks is kept, so that OK does not turn it into 0.
    sizeBox->setCurrentIndex(-1);
    sizeBox->setEditText(sizeText);
  }

  colourButton->SetColour(QColor(settings.R & 0xFF, settings.G & 0xFF, settings.B & 0xFF));

  transparencySlider->setRange(0, 100);
  transparencySlider->setValue(static_cast<int>(settings.transparency));
  transparencyValue->setText(QString::asprintf("%.0f%%", settings.transparency));
  angleSlider->setRange(0, 360);
  angleSlider->setValue(static_cast<int>(settings.angle));
  angleValue->setText(QString::asprintf("%.0f°", settings.angle));

  controls.Get<QCheckBox>(kWeight)->setChecked(settings.isWeight);
  controls.Get<QCheckBox>(kItalic)->setChecked(settings.isItalic);
  controls.Get<QCheckBox>(kUnderline)->setChecked(settings.isUnderline);
  controls.Get<QCheckBox>(kTimeStamp)->setChecked(settings.isAddTimeStamp);
  controls.Get<QLineEdit>(kWmText)->setText(QString::fromStdU16String(settings.text));

  if (settings.position >= 0 && settings.position <= 8) {
    controls.Get<QRadioButton>(kPos[settings.position])->setChecked(true);
  } else {
    ClearRadioGroup(controls.RadioGroup(kPos[0]));
  }

  setWindowTitle(UiText(&UiTextTable::WaterMarkOption));
  controls.Get<QLabel>(kWmTextLabel)->setText(UiText(&UiTextTable::WMText));
  controls.Get<QCheckBox>(kTimeStamp)->setText(UiText(&UiTextTable::TimeStamp));
  controls.Get<QLabel>(kFontLabel)->setText(UiText(&UiTextTable::Font));
  controls.Get<QLabel>(kFontSizeLabel)->setText(UiText(&UiTextTable::FontSize));
  controls.Get<QLabel>(kFontColorLabel)->setText(UiText(&UiTextTable::FontColor));
  controls.Get<QCheckBox>(kWeight)->setText(UiText(&UiTextTable::Weight));
  controls.Get<QCheckBox>(kItalic)->setText(UiText(&UiTextTable::Italic));
  controls.Get<QCheckBox>(kUnderline)->setText(UiText(&UiTextTable::Underline));
  controls.Get<QLabel>(kTransparencyLabel)->setText(UiText(&UiTextTable::Transparency));
  controls.Get<QLabel>(kAngleLabel)->setText(UiText(&UiTextTable::Angle));
  controls.Get<QLabel>(kPosLabel)->setText(UiText(&UiTextTable::Pos));
  static constexpr std::u16string UiTextTable::*kPosTexts[9] = {
      &UiTextTable::Pos0, &UiTextTable::Pos1, &UiTextTable::Pos2,
      &UiTextTable::Pos3, &UiTextTable::Pos4, &UiTextTable::Pos5,
      &UiTextTable::Pos6, &UiTextTable::Pos7, &UiTextTable::Pos8};
  for (int position = 0; position < 9; ++position)
    controls.Get<QRadioButton>(kPos[position])->setText(UiText(kPosTexts[position]));
  controls.Get<QPushButton>(kIdOk)->setText(UiText(&UiTextTable::IDOK));
  controls.Get<QPushButton>(kIdCancel)->setText(UiText(&UiTextTable::IDCancel));
  NameControls();
  setFixedSize(FitControlsToTexts(controls));
}

void CWaterMarkDlg::NameControls() {
  // Each label names the control beside it; the group of places and the
  // values shown beside the sliders are named by what they show.
  static constexpr std::pair<int, int> kBuddies[] = {
      {kWmTextLabel, kWmText},
      {kFontLabel, kFont},
      {kFontSizeLabel, kFontSize},
      {kFontColorLabel, kFontColor},
      {kTransparencyLabel, kTransparency},
      {kAngleLabel, kAngle},
  };
  for (const auto& [labelId, controlId] : kBuddies) {
    auto* label = controls.Get<QLabel>(labelId);
    QWidget* control = controls.Control(controlId);
    label->setBuddy(control);
    control->setAccessibleName(label->text());
  }
  transparencyValue->setAccessibleName(UiText(&UiTextTable::Transparency));
  angleValue->setAccessibleName(UiText(&UiTextTable::Angle));
  for (QWidget* widget : controls.All()) {
    if (qobject_cast<QGroupBox*>(widget) != nullptr)
      widget->setAccessibleName(UiText(&UiTextTable::Pos));
  }
}

void CWaterMarkDlg::OnTransparencyMoved(int value) {
  transparencyValue->setText(QString::asprintf("%d%%", value));
}

void CWaterMarkDlg::OnAngleMoved(int value) {
  angleValue->setText(QString::asprintf("%d°", value));
}

void CWaterMarkDlg::accept() {
  // Controls that never took the record must not overwrite it.
  if (!initialised) {
    QDialog::accept();
    return;
  }
  settings.font = controls.Get<QFontComboBox>(kFont)->currentText().toStdU16String();
  // A typed size is brought into the box's range: a size of thousands of
  // points is no watermark anyone can want, only a capture that never ends.
  bool isNumber = false;
  const qlonglong size = sizeBox->currentText().trimmed().toLongLong(&isNumber, 10);
  settings.WordSize =
      isNumber ? static_cast<int>(std::clamp<qlonglong>(size, kSmallestSize, kWordSizeRange.max))
               : 0;
  const QColor colour = colourButton->Colour();
  settings.R = colour.red();
  settings.G = colour.green();
  settings.B = colour.blue();
  settings.transparency = static_cast<float>(transparencySlider->value());
  settings.angle = static_cast<float>(angleSlider->value());
  settings.isWeight = controls.Get<QCheckBox>(kWeight)->isChecked();
  settings.isItalic = controls.Get<QCheckBox>(kItalic)->isChecked();
  settings.isUnderline = controls.Get<QCheckBox>(kUnderline)->isChecked();
  settings.isAddTimeStamp = controls.Get<QCheckBox>(kTimeStamp)->isChecked();
  settings.text = controls.Get<QLineEdit>(kWmText)->text().toStdU16String();
  for (int position = 0; position < 9; ++position) {
    if (controls.Get<QRadioButton>(kPos[position])->isChecked()) {
      settings.position = position;
      break;
    }
  }
  QDialog::accept();
}

}  // namespace tavrin
