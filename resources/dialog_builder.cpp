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
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>

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
    case ControlKind::kSpinBox:
      return new QSpinBox(parent);
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
  built.templateSize =
      QSize(units.XToPixels(dialogTemplate.width), units.YToPixels(dialogTemplate.height));
  dialog.setFixedSize(built.templateSize);
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
    built.places.push_back(place);
    built.hidden.push_back((row.style & kStyleHidden) != 0);
  }
  for (QWidget* frame : frames) frame->lower();
  return built;
}

namespace {

// Room the styles leave beside a list's text inside its edit field.
constexpr int kListTextMarginPx = 4;
// Air between a caption and the control that follows it, and between a
// button's caption and its frame: a text that fills its room exactly
// looks cut.
constexpr int kLabelGapPx = 4;
constexpr int kButtonTextMarginPx = 8;
// What a group box keeps between what it holds and its frame.
constexpr int kGroupMarginPx = 4;

bool IsGroupBox(const QWidget* widget) {
  return qobject_cast<const QGroupBox*>(widget) != nullptr;
}

bool ShareBand(const QRect& a, const QRect& b) {
  return a.top() < b.top() + b.height() && b.top() < a.top() + a.height();
}

}  // namespace

int MissingTextWidth(const QWidget* widget) {
  const QFontMetrics metrics(widget->font());
  const QStyle* style = widget->style();
  if (const auto* label = qobject_cast<const QLabel*>(widget)) {
    if (label->text().isEmpty() || label->wordWrap() || !label->pixmap().isNull()) return 0;
    return std::max(
        0, metrics.horizontalAdvance(label->text()) + kLabelGapPx - label->contentsRect().width());
  }
  if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) {
    if (button->text().isEmpty()) return 0;
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    QStyle::SubElement content = QStyle::SE_PushButtonContents;
    if (qobject_cast<const QCheckBox*>(button) != nullptr) content = QStyle::SE_CheckBoxContents;
    if (qobject_cast<const QRadioButton*>(button) != nullptr) {
      content = QStyle::SE_RadioButtonContents;
    }
    const QRect room = style->subElementRect(content, &option, button);
    // Check boxes and radio buttons start their text at the content's left.
    const int air = content == QStyle::SE_PushButtonContents ? kButtonTextMarginPx : kLabelGapPx;
    return std::max(0, metrics.horizontalAdvance(button->text()) + air - room.width());
  }
  if (const auto* combo = qobject_cast<const QComboBox*>(widget)) {
    // Font names are the system's, not texts of ours.
    if (qobject_cast<const QFontComboBox*>(combo) != nullptr) return 0;
    int widest = 0;
    for (int i = 0; i < combo->count(); ++i) {
      widest = std::max(widest, metrics.horizontalAdvance(combo->itemText(i)));
    }
    if (widest == 0) return 0;
    QStyleOptionComboBox option;
    option.initFrom(combo);
    option.editable = combo->isEditable();
    option.frame = combo->hasFrame();
    option.subControls = QStyle::SC_All;
    const QRect room =
        style->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo);
    return std::max(0, widest + kListTextMarginPx - room.width());
  }
  return 0;
}

QSize FitControlsToTexts(const DialogControls& controls) {
  const std::vector<QWidget*>& all = controls.All();
  const std::vector<QRect>& places = controls.Places();
  const size_t count = std::min(all.size(), places.size());
  // Measured at the template's widths.
  std::vector<int> growth(count, 0);
  std::vector<bool> shown(count, false);
  for (size_t i = 0; i < count; ++i) {
    all[i]->setGeometry(places[i]);
    // A control hidden for now may be shown later and must fit then too.
    shown[i] = !controls.HiddenByTemplate(i) || !all[i]->isHidden();
    if (shown[i] && !IsGroupBox(all[i])) growth[i] = MissingTextWidth(all[i]);
  }
  std::vector<size_t> order(count);
  for (size_t i = 0; i < count; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return places[a].left() < places[b].left(); });
  std::vector<int> shift(count, 0);
  for (size_t at = 0; at < count; ++at) {
    const size_t i = order[at];
    for (size_t before = 0; before < at; ++before) {
      const size_t j = order[before];
      if (!shown[j] || IsGroupBox(all[j])) continue;
      const bool leftOf = places[j].left() + places[j].width() <= places[i].left() + 1;
      if (leftOf && ShareBand(places[i], places[j])) {
        shift[i] = std::max(shift[i], shift[j] + growth[j]);
      }
    }
  }
  std::vector<QRect> fitted(count);
  for (size_t i = 0; i < count; ++i) {
    fitted[i] = places[i].translated(shift[i], 0);
    fitted[i].setWidth(places[i].width() + growth[i]);
  }
  // Group boxes hold what lay inside them in the template.
  for (size_t g = 0; g < count; ++g) {
    if (!IsGroupBox(all[g])) continue;
    int right = fitted[g].left() + fitted[g].width();
    for (size_t i = 0; i < count; ++i) {
      if (i == g || !shown[i] || IsGroupBox(all[i]) || !places[g].contains(places[i])) continue;
      if (growth[i] == 0 && shift[i] == shift[g]) continue;
      right = std::max(right, fitted[i].left() + fitted[i].width() + kGroupMarginPx);
    }
    fitted[g].setWidth(right - fitted[g].left());
  }
  const QSize templateSize = controls.TemplateSize();
  int templateRight = 0;
  int fittedRight = 0;
  for (size_t i = 0; i < count; ++i) {
    if (!shown[i]) continue;
    templateRight = std::max(templateRight, places[i].left() + places[i].width());
    fittedRight = std::max(fittedRight, fitted[i].left() + fitted[i].width());
  }
  for (size_t i = 0; i < count; ++i) all[i]->setGeometry(fitted[i]);
  const int margin = std::max(kGroupMarginPx, templateSize.width() - templateRight);
  return QSize(std::max(templateSize.width(), fittedRight + margin), templateSize.height());
}

void KeepDialogPlain(QWidget& dialog) {
  dialog.setWindowFlags((dialog.windowFlags() & ~Qt::WindowMinMaxButtonsHint) |
                        Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                        Qt::WindowCloseButtonHint);
}

void ClearRadioGroup(QButtonGroup* group) {
  if (group == nullptr) return;
  const bool exclusive = group->exclusive();
  group->setExclusive(false);
  for (QAbstractButton* button : group->buttons()) button->setChecked(false);
  group->setExclusive(exclusive);
}

}  // namespace tavrin
