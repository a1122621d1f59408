#include "lens/src/gui.h"

#include <algorithm>
#include <vector>

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QThread>
#include <QVBoxLayout>

#include "lens/src/errors.h"
#include "lens/src/preview_widget.h"

namespace tavrin::lens {

namespace {

// Touched on the GUI thread only.
std::vector<QPointer<PreviewWidget>>& Previews() {
  static std::vector<QPointer<PreviewWidget>> previews;
  return previews;
}

void RemovePreviews(const std::shared_ptr<CameraView>* view, const QWidget* host) {
  auto& previews = Previews();
  for (auto& preview : previews) {
    if (preview && (view == nullptr || preview->View() == *view ||
                    (host != nullptr && preview->parentWidget() == host))) {
      delete preview.data();
    }
  }
  std::erase_if(previews, [](const QPointer<PreviewWidget>& preview) { return preview.isNull(); });
}

}  // namespace

bool OnGuiThread() {
  const auto* application = qobject_cast<QApplication*>(QCoreApplication::instance());
  return application != nullptr && QThread::currentThread() == application->thread();
}

int AttachPreview(const std::shared_ptr<CameraView>& view, void* window) {
  QWidget* host = QWidget::find(static_cast<WId>(reinterpret_cast<quintptr>(window)));
  if (host == nullptr) return kErrBadArgument;
  RemovePreviews(&view, host);
  auto* preview = new PreviewWidget(host, view);
  Previews().push_back(preview);
  preview->show();
  preview->raise();
  return kOk;
}

void DetachPreview(const std::shared_ptr<CameraView>& view) {
  RemovePreviews(&view, nullptr);
}

void DestroyAllPreviews() {
  RemovePreviews(nullptr, nullptr);
}

int ShowSettingsWindow(Camera& camera, ControlGroup group) {
  std::vector<ControlInfo> controls = camera.Controls();
  std::erase_if(controls, [group](const ControlInfo& control) { return control.group != group; });
  std::vector<int> before;
  for (const auto& control : controls) before.push_back(camera.ControlValue(control.id));

  QDialog dialog(QApplication::activeWindow());
  dialog.setObjectName(group == ControlGroup::kImage ? "TavrinLensImageSettings"
                                                     : "TavrinLensDeviceSettings");
  dialog.setWindowTitle(
      QString::fromStdString(camera.Name()) +
      (group == ControlGroup::kImage ? QStringLiteral(" - Image") : QStringLiteral(" - Device")));
  auto* layout = new QVBoxLayout(&dialog);
  auto* form = new QFormLayout;
  layout->addLayout(form);
  std::vector<QSlider*> sliders;
  for (size_t i = 0; i < controls.size(); ++i) {
    const ControlInfo& control = controls[i];
    auto* slider = new QSlider(Qt::Horizontal, &dialog);
    slider->setObjectName(QString::fromStdString(control.name));
    slider->setRange(control.minimum, control.maximum);
    slider->setSingleStep(control.step);
    slider->setMinimumWidth(220);
    slider->setValue(before[i]);
    auto* number = new QSpinBox(&dialog);
    number->setRange(control.minimum, control.maximum);
    number->setValue(before[i]);
    QObject::connect(slider, &QSlider::valueChanged, number, &QSpinBox::setValue);
    QObject::connect(number, &QSpinBox::valueChanged, slider, &QSlider::setValue);
    // The picture follows the slider at once, as with a real camera.
    const int id = control.id;
    QObject::connect(slider, &QSlider::valueChanged, &dialog,
                     [&camera, id](int value) { camera.SetControl(id, value); });
    auto* row = new QHBoxLayout;
    row->addWidget(slider);
    row->addWidget(number);
    form->addRow(QString::fromStdString(control.name), row);
    sliders.push_back(slider);
  }
  if (controls.empty()) layout->addWidget(new QLabel(QStringLiteral("No settings"), &dialog));

  auto* buttons = new QDialogButtonBox(
      QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::RestoreDefaults, &dialog);
  layout->addWidget(buttons);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  QObject::connect(buttons->button(QDialogButtonBox::RestoreDefaults), &QPushButton::clicked,
                   &dialog, [&] {
                     for (size_t i = 0; i < controls.size(); ++i) {
                       sliders[i]->setValue(controls[i].defaultValue);
                     }
                   });
  if (dialog.exec() != QDialog::Accepted) {
    for (size_t i = 0; i < controls.size(); ++i) camera.SetControl(controls[i].id, before[i]);
  }
  return kOk;
}

}  // namespace tavrin::lens
