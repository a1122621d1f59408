// The settings windows of a camera: one row per control of a group, with the
// widget its type calls for. A change goes to the camera at once, and then
// the whole list is read again: switching an automatic mode takes other
// controls over or lets them go, and the driver may round what it was given.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "lens/src/errors.h"
#include "lens/src/gui.h"

namespace tavrin::lens {
namespace {

constexpr int kSliderWidth = 240;

struct Row {
  ControlInfo info;
  bool gone = false;  // no longer in the device's list (unplugged)
  QLabel* label = nullptr;
  QSlider* slider = nullptr;
  QSpinBox* number = nullptr;
  QCheckBox* check = nullptr;
  QComboBox* choices = nullptr;
};

// The nearest value the control's step allows, inside its range.
int Snap(const ControlInfo& info, int value) {
  const int64_t step = std::max(1, info.step);
  const int64_t low = info.minimum;
  const int64_t high = std::max(info.minimum, info.maximum);
  const int64_t clamped = std::clamp<int64_t>(value, low, high);
  int64_t snapped =
      low + std::llround(static_cast<double>(clamped - low) / static_cast<double>(step)) * step;
  if (snapped > high) snapped -= step;
  return static_cast<int>(std::max(snapped, low));
}

class SettingsWindow {
 public:
  SettingsWindow(Camera& camera, ControlGroup group)
      : camera_(camera), group_(group), dialog_(QApplication::activeWindow()) {}

  int Run() {
    Build();
    const bool accepted = dialog_.exec() == QDialog::Accepted;
    if (!accepted) SetAll(before_);
    camera_.SaveControls();
    return kOk;
  }

 private:
  std::vector<ControlInfo> GroupControls() const {
    std::vector<ControlInfo> controls = camera_.Controls();
    std::erase_if(controls, [this](const ControlInfo& control) { return control.group != group_; });
    return controls;
  }

  void Build() {
    const bool image = group_ == ControlGroup::kImage;
    dialog_.setObjectName(image ? "TavrinLensImageSettings" : "TavrinLensDeviceSettings");
    dialog_.setWindowTitle(QString::fromStdString(camera_.Name()) +
                           (image ? QStringLiteral(" - Image") : QStringLiteral(" - Device")));
    auto* layout = new QVBoxLayout(&dialog_);
    auto* form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
    layout->addLayout(form);
    for (const ControlInfo& control : GroupControls()) {
      before_[control.id] = control.value;
      defaults_[control.id] = control.defaultValue;
      AddRow(*form, control);
    }
    if (rows_.empty()) layout->addWidget(new QLabel(QStringLiteral("No settings"), &dialog_));

    status_ = new QLabel(&dialog_);
    status_->setObjectName("status");
    layout->addWidget(status_);
    auto* buttons = new QDialogButtonBox(
        QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::RestoreDefaults,
        &dialog_);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog_, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog_, &QDialog::reject);
    QObject::connect(buttons->button(QDialogButtonBox::RestoreDefaults), &QPushButton::clicked,
                     &dialog_, [this] {
                       SetAll(defaults_);
                       status_->clear();
                       Refresh();
                     });
    // One width for every number box, so the sliders line up.
    int numberWidth = 0;
    for (const auto& row : rows_) {
      if (row->number != nullptr)
        numberWidth = std::max(numberWidth, row->number->sizeHint().width());
    }
    for (auto& row : rows_) {
      if (row->number != nullptr) row->number->setFixedWidth(numberWidth);
      Show(*row);
    }
  }

  void AddRow(QFormLayout& form, const ControlInfo& control) {
    auto row = std::make_unique<Row>();
    Row* r = row.get();
    r->info = control;
    const QString name = QString::fromStdString(control.name);
    r->label = new QLabel(name, &dialog_);
    switch (control.type) {
      case ControlType::kBoolean: {
        r->check = new QCheckBox(&dialog_);
        r->check->setObjectName(name);
        QObject::connect(r->check, &QCheckBox::toggled, &dialog_,
                         [this, r](bool on) { Change(*r, on ? 1 : 0); });
        r->label->setBuddy(r->check);
        form.addRow(r->label, r->check);
        break;
      }
      case ControlType::kMenu: {
        r->choices = new QComboBox(&dialog_);
        r->choices->setObjectName(name);
        for (const ControlChoice& choice : control.choices)
          r->choices->addItem(QString::fromStdString(choice.name), choice.value);
        QObject::connect(r->choices, &QComboBox::currentIndexChanged, &dialog_,
                         [this, r](int index) {
                           if (index >= 0) Change(*r, r->choices->itemData(index).toInt());
                         });
        r->label->setBuddy(r->choices);
        form.addRow(r->label, r->choices);
        break;
      }
      case ControlType::kInteger: {
        const int step = std::max(1, control.step);
        r->slider = new QSlider(Qt::Horizontal, &dialog_);
        r->slider->setObjectName(name);
        r->slider->setRange(control.minimum, control.maximum);
        r->slider->setSingleStep(step);
        // A tenth of the range, in whole steps.
        r->slider->setPageStep(
            std::max(step, (control.maximum - control.minimum) / 10 / step * step));
        r->slider->setMinimumWidth(kSliderWidth);
        r->number = new QSpinBox(&dialog_);
        r->number->setObjectName(name + QStringLiteral(" value"));
        r->number->setRange(control.minimum, control.maximum);
        r->number->setSingleStep(step);
        // Typing "150" must not set 1 and 15 on the way.
        r->number->setKeyboardTracking(false);
        QObject::connect(r->slider, &QSlider::valueChanged, &dialog_,
                         [this, r](int value) { Change(*r, value); });
        QObject::connect(r->number, &QSpinBox::valueChanged, &dialog_,
                         [this, r](int value) { Change(*r, value); });
        auto* field = new QHBoxLayout;
        field->addWidget(r->slider, 1);
        field->addWidget(r->number);
        r->label->setBuddy(r->slider);
        form.addRow(r->label, field);
        break;
      }
    }
    rows_.push_back(std::move(row));
  }

  // The user picked value on row's widget.
  void Change(Row& row, int value) {
    if (row.info.type == ControlType::kInteger) value = Snap(row.info, value);
    if (camera_.SetControl(row.info.id, value)) {
      status_->clear();
    } else {
      status_->setText(QStringLiteral("%1: the camera did not take %2")
                           .arg(QString::fromStdString(row.info.name))
                           .arg(value));
    }
    // Also puts a refused value back to what the camera holds.
    Refresh();
  }

  void Refresh() {
    std::map<int, ControlInfo> now;
    for (ControlInfo& control : GroupControls()) now[control.id] = std::move(control);
    for (auto& row : rows_) {
      const auto found = now.find(row->info.id);
      row->gone = found == now.end();
      if (!row->gone) row->info = found->second;
      Show(*row);
    }
  }

  void Show(Row& row) {
    const ControlInfo& info = row.info;
    const bool enabled = !row.gone && !info.inactive && !info.readOnly;
    const QString why = row.gone        ? QStringLiteral("The camera is not there")
                        : info.inactive ? QStringLiteral("Set by an automatic mode")
                        : info.readOnly ? QStringLiteral("Read only")
                                        : QString();
    row.label->setEnabled(enabled);
    for (QWidget* widget : {static_cast<QWidget*>(row.slider), static_cast<QWidget*>(row.number),
                            static_cast<QWidget*>(row.check), static_cast<QWidget*>(row.choices)}) {
      if (widget == nullptr) continue;
      widget->setEnabled(enabled);
      widget->setToolTip(why);
    }
    if (row.slider != nullptr) {
      const QSignalBlocker blockSlider(row.slider);
      const QSignalBlocker blockNumber(row.number);
      row.slider->setValue(info.value);
      row.number->setValue(info.value);
    }
    if (row.check != nullptr) {
      const QSignalBlocker block(row.check);
      row.check->setChecked(info.value != 0);
    }
    if (row.choices != nullptr) {
      const QSignalBlocker block(row.choices);
      row.choices->setCurrentIndex(row.choices->findData(info.value));
    }
  }

  // Sets every control to its target. Plain values go first while the modes
  // that may own them are as they are now, then the modes, then the plain
  // values a mode let go of; so turning an automatic mode back on or off
  // both end with the values that were asked for.
  void SetAll(const std::map<int, int>& targets) {
    for (const bool modes : {false, true, false}) {
      for (const ControlInfo& control : GroupControls()) {
        if ((control.type != ControlType::kInteger) != modes) continue;
        const auto target = targets.find(control.id);
        if (target == targets.end() || control.value == target->second || control.inactive ||
            control.readOnly)
          continue;
        camera_.SetControl(control.id, target->second);
      }
    }
  }

  Camera& camera_;
  const ControlGroup group_;
  QDialog dialog_;
  QLabel* status_ = nullptr;
  std::vector<std::unique_ptr<Row>> rows_;  // stable addresses for the connections
  std::map<int, int> before_;
  std::map<int, int> defaults_;
};

}  // namespace

int ShowSettingsWindow(Camera& camera, ControlGroup group) {
  SettingsWindow window(camera, group);
  return window.Run();
}

}  // namespace tavrin::lens
