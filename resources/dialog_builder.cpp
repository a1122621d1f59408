#include "resources/dialog_builder.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFontComboBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>

#include <algorithm>

namespace tavrin {

namespace {

// Rounds a * b / c to the nearest integer, halves away from zero, as the
// dialog manager does when it maps dialog units.
int MulDivRound(int a, int b, int c) {
  const long long product = static_cast<long long>(a) * b;
  const long long half = c / 2;
  return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}

QWidget* MakeStandardControl(const DialogControl& row, QWidget* parent) {
  const QString caption = QString::fromUtf8(row.caption);
  switch (row.kind) {
    case ControlKind::kStatic: {
      auto* label = new QLabel(caption, parent);
      if (row.style & kStyleBorder) label->setFrameStyle(QFrame::Box | QFrame::Plain);
      return label;
    }
    case ControlKind::kIcon: {
      auto* label = new QLabel(parent);
      label->setAlignment(Qt::AlignCenter);
      return label;
    }
    case ControlKind::kEdit: {
      auto* edit = new QLineEdit(caption, parent);
      edit->setFrame((row.style & kStyleBorder) != 0);
      edit->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      return edit;
    }
    case ControlKind::kCheckBox:
      return new QCheckBox(caption, parent);
    case ControlKind::kRadioButton:
      return new QRadioButton(caption, parent);
    case ControlKind::kPushButton: {
      auto* button = new QPushButton(caption, parent);
      button->setAutoDefault(false);
      if (row.style & kStyleDefault) button->setDefault(true);
      return button;
    }
    case ControlKind::kGroupBox:
      return new QGroupBox(caption, parent);
    case ControlKind::kDropDownList:
      return new QComboBox(parent);
    case ControlKind::kDropDownCombo: {
      auto* combo = new QComboBox(parent);
      combo->setEditable(true);
      combo->setInsertPolicy(QComboBox::NoInsert);
      return combo;
    }
    case ControlKind::kFontList: {
      auto* fonts = new QFontComboBox(parent);
      fonts->setEditable(true);
      fonts->setInsertPolicy(QComboBox::NoInsert);
      return fonts;
    }
    case ControlKind::kSlider:
      return new QSlider((row.style & kStyleVertical) ? Qt::Vertical : Qt::Horizontal, parent);
    case ControlKind::kProgressBar: {
      auto* bar = new QProgressBar(parent);
      bar->setOrientation((row.style & kStyleVertical) ? Qt::Vertical : Qt::Horizontal);
      bar->setTextVisible(false);
      return bar;
    }
    case ControlKind::kPlaceholder:
      return new QWidget(parent);
  }
  return new QWidget(parent);
}

bool IsDropDown(ControlKind kind) {
  return kind == ControlKind::kDropDownList || kind == ControlKind::kDropDownCombo ||
         kind == ControlKind::kFontList;
}

}  // namespace

int DialogUnits::XToPixels(int x) const {
  return MulDivRound(x, baseWidthPx, 4);
}

int DialogUnits::YToPixels(int y) const {
  return MulDivRound(y, baseHeightPx, 8);
}

QRect DialogUnits::ToPixels(int x, int y, int w, int h) const {
  const int left = XToPixels(x);
  const int top = YToPixels(y);
  // Right and bottom edges are mapped, not the sizes, so that neighbouring
  // controls meet exactly as they do in the template.
  return QRect(left, top, XToPixels(x + w) - left, YToPixels(y + h) - top);
}

DialogUnits DialogUnitsOf(const QFont& font) {
  const QFontMetrics metrics(font);
  // The average over the Latin letters, rounded, is the width the dialog
  // manager uses; a font's own average field varies too much between fonts.
  static const QString kLetters =
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  DialogUnits units;
  units.baseWidthPx = std::max(1, (metrics.horizontalAdvance(kLetters) / 26 + 1) / 2);
  units.baseHeightPx = std::max(1, metrics.height());
  return units;
}

QFont TemplateFont(const DialogTemplate& dialogTemplate) {
  const QString family = QString::fromUtf8(dialogTemplate.fontFamily);
  QFont font = (family.isEmpty() || family == QStringLiteral("MS Shell Dlg")) ? QApplication::font()
                                                                              : QFont(family);
  if (dialogTemplate.fontPointSize > 0) font.setPointSize(dialogTemplate.fontPointSize);
  return font;
}

DialogControls BuildDialog(QWidget& dialog, const DialogTemplate& dialogTemplate,
                           const ControlFactory& factory) {
  DialogControls built;
  dialog.setFont(TemplateFont(dialogTemplate));
  built.units = DialogUnitsOf(dialog.font());
  const DialogUnits& units = built.units;
  dialog.setFixedSize(units.XToPixels(dialogTemplate.width),
                      units.YToPixels(dialogTemplate.height));
  dialog.setWindowTitle(QString::fromUtf8(dialogTemplate.caption));

  QButtonGroup* currentGroup = nullptr;
  std::vector<QWidget*> frames;
  for (const DialogControl& row : dialogTemplate.controls) {
    QWidget* widget = factory ? factory(row, &dialog) : nullptr;
    if (widget == nullptr) widget = MakeStandardControl(row, &dialog);
    if (row.id != kIdcStatic) {
      widget->setObjectName(ControlName(row.id));
      built.byId.insert(row.id, widget);
    }
    QRect place = units.ToPixels(row.x, row.y, row.w, row.h);
    if (IsDropDown(row.kind)) {
      // The template height is that of the open list; the closed box is as
      // tall as the style draws it.
      place.setHeight(widget->sizeHint().height());
    }
    widget->setGeometry(place);
    if (row.style & kStyleDisabled) widget->setEnabled(false);
    if (row.style & kStyleHidden) widget->hide();

    if (row.kind == ControlKind::kGroupBox) {
      currentGroup = nullptr;
      widget->setAttribute(Qt::WA_TransparentForMouseEvents);
      frames.push_back(widget);
    } else if (row.kind == ControlKind::kRadioButton) {
      if (currentGroup == nullptr || (row.style & kStyleGroup)) {
        currentGroup = new QButtonGroup(&dialog);
        currentGroup->setExclusive(true);
      }
      if (auto* radio = qobject_cast<QAbstractButton*>(widget)) {
        currentGroup->addButton(radio, row.id);
        built.groupOfRadio.insert(row.id, currentGroup);
      }
    }
    built.all.push_back(widget);
  }
  for (QWidget* frame : frames) frame->lower();
  return built;
}

void ClearRadioGroup(QButtonGroup* group) {
  if (group == nullptr) return;
  const bool exclusive = group->exclusive();
  group->setExclusive(false);
  for (QAbstractButton* button : group->buttons()) button->setChecked(false);
  group->setExclusive(exclusive);
}

}  // namespace tavrin
