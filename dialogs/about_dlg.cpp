#include "dialogs/about_dlg.h"

#include <QLabel>
#include <QPushButton>

#include "resources/app_icon.h"
#include "resources/dialog_ids.h"
#include "resources/dialog_templates.h"

namespace tavrin {

QString ProgramVersionText() {
  return QStringLiteral(TAVRIN_VERSION_TEXT);
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  controls = BuildDialog(*this, kTemplate100);
  KeepDialogPlain(*this);
  setWindowIcon(AppIcon());
  auto* icon = controls.Get<QLabel>(idd100::kIcon);
  const int sidePx = std::min(icon->width(), icon->height());
  icon->setPixmap(QPixmap::fromImage(AppIconImage(std::min(sidePx, 32))));
  controls.Get<QLabel>(idd100::kNameVersion)
      ->setText(QStringLiteral("TavrinDesk, Version %1").arg(ProgramVersionText()));
  connect(controls.Get<QPushButton>(kIdOk), &QPushButton::clicked, this, &CAboutDlg::accept);
}

}  // namespace tavrin
