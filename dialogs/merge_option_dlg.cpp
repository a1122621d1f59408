#include "dialogs/merge_option_dlg.h"

#include <QButtonGroup>
#include <QPushButton>
#include <QRadioButton>

#include "TavrinLens.h"
#include "dialogs/ui_text.h"
#include "resources/app_icon.h"
#include "resources/dialog_ids.h"
#include "resources/dialog_templates.h"
#include "settings/scan_settings.h"

namespace tavrin {

using namespace idd131;

namespace {
constexpr int kFirstOutside = kTavrinMergeLeftUpper;
constexpr int kLastOutside = kTavrinMergeLeftLower;
constexpr int kFirstInside = kInsideCentre;
constexpr int kLastInside = kInsideBottomLeft;
}  // namespace

CMergeOptionDlg::CMergeOptionDlg(QWidget* parent) : QDialog(parent) {
  controls = BuildDialog(*this, kTemplate131);
  KeepDialogPlain(*this);
  setWindowIcon(AppIcon());
  connect(controls.Get<QRadioButton>(kOutSide), &QRadioButton::clicked, this,
          &CMergeOptionDlg::OnOutSide);
  connect(controls.Get<QRadioButton>(kInSide), &QRadioButton::clicked, this,
          &CMergeOptionDlg::OnInSide);
  for (int place = kFirstOutside; place <= kLastOutside; ++place) {
    connect(controls.Get<QRadioButton>(kOutsidePlace[place]), &QRadioButton::clicked, this,
            [this, place] { OnOutsidePlace(place); });
  }
  for (int place = kFirstInside; place <= kLastInside; ++place) {
    connect(controls.Get<QRadioButton>(kInsidePlace[place]), &QRadioButton::clicked, this,
            [this, place] { OnInsidePlace(place); });
  }
  connect(controls.Get<QPushButton>(kIdOk), &QPushButton::clicked, this, &CMergeOptionDlg::accept);
  connect(controls.Get<QPushButton>(kIdCancel), &QPushButton::clicked, this,
          &CMergeOptionDlg::reject);
}

void CMergeOptionDlg::showEvent(QShowEvent* event) {
  if (!initialised) {
    initialised = true;
    OnInitDialog();
  }
  QDialog::showEvent(event);
}

void CMergeOptionDlg::OnInitDialog() {
  ClearRadioGroup(controls.RadioGroup(kOutsidePlace[kFirstOutside]));
  ClearRadioGroup(controls.RadioGroup(kInsidePlace[kFirstInside]));
  if (mergeType != kTavrinMergeInside) {
    if (mergeType >= kFirstOutside && mergeType <= kLastOutside) Check(kOutsidePlace[mergeType]);
  } else if (mergePosition >= kFirstInside && mergePosition <= kLastInside) {
    Check(kInsidePlace[mergePosition]);
  }
  SetMergeKind(mergeType != kTavrinMergeInside);
  setWindowTitle(UiText(&UiTextTable::WebcamMergeOption));
  controls.Get<QRadioButton>(kOutSide)->setText(UiText(&UiTextTable::OutSide));
  controls.Get<QRadioButton>(kInSide)->setText(UiText(&UiTextTable::InSide));
  controls.Get<QPushButton>(kIdOk)->setText(UiText(&UiTextTable::IDOK));
  controls.Get<QPushButton>(kIdCancel)->setText(UiText(&UiTextTable::IDCancel));
  // The places have no caption: each is named by its side and its corner.
  const auto pos = [](std::u16string UiTextTable::*key) { return UiText(key); };
  const QString outside = UiText(&UiTextTable::OutSide);
  const std::pair<std::u16string UiTextTable::*, std::u16string UiTextTable::*> sides[9] = {
      {},
      {&UiTextTable::Pos3, &UiTextTable::Pos1},
      {&UiTextTable::Pos1, &UiTextTable::Pos3},
      {&UiTextTable::Pos1, &UiTextTable::Pos5},
      {&UiTextTable::Pos5, &UiTextTable::Pos1},
      {&UiTextTable::Pos5, &UiTextTable::Pos7},
      {&UiTextTable::Pos7, &UiTextTable::Pos5},
      {&UiTextTable::Pos7, &UiTextTable::Pos3},
      {&UiTextTable::Pos3, &UiTextTable::Pos7},
  };
  for (int place = kFirstOutside; place <= kLastOutside; ++place) {
    controls.Control(kOutsidePlace[place])
        ->setAccessibleName(QStringLiteral("%1: %2, %3")
                                .arg(outside, pos(sides[place].first), pos(sides[place].second)));
  }
  const QString inside = UiText(&UiTextTable::InSide);
  std::u16string UiTextTable::*const corners[5] = {&UiTextTable::Pos4, &UiTextTable::Pos0,
                                                   &UiTextTable::Pos2, &UiTextTable::Pos8,
                                                   &UiTextTable::Pos6};
  for (int place = kFirstInside; place <= kLastInside; ++place) {
    controls.Control(kInsidePlace[place])
        ->setAccessibleName(QStringLiteral("%1: %2").arg(inside, pos(corners[place])));
  }
  setFixedSize(FitControlsToTexts(controls));
}

void CMergeOptionDlg::SetMergeKind(bool outside) {
  controls.Get<QRadioButton>(kOutSide)->setChecked(outside);
  controls.Get<QRadioButton>(kInSide)->setChecked(!outside);
  for (int place = kFirstOutside; place <= kLastOutside; ++place)
    controls.Control(kOutsidePlace[place])->setEnabled(outside);
  for (int place = kFirstInside; place <= kLastInside; ++place)
    controls.Control(kInsidePlace[place])->setEnabled(!outside);
}

void CMergeOptionDlg::Check(int radioId) {
  controls.Get<QRadioButton>(radioId)->setChecked(true);
}

void CMergeOptionDlg::OnOutSide() {
  SetMergeKind(true);
  // Every click starts again above on the left, even when outside was
  // already on.
  mergeType = kTavrinMergeAboveLeft;
  Check(kOutsidePlace[kTavrinMergeAboveLeft]);
}

void CMergeOptionDlg::OnInSide() {
  SetMergeKind(false);
  mergeType = kTavrinMergeInside;
  mergePosition = kInsideTopRight;
  Check(kInsidePlace[kInsideTopRight]);
}

void CMergeOptionDlg::OnOutsidePlace(int place) {
  Check(kOutsidePlace[place]);
  mergeType = place;
}

void CMergeOptionDlg::OnInsidePlace(int place) {
  Check(kInsidePlace[place]);
  mergePosition = place;
}

}  // namespace tavrin
